// What this thread already told the launcher about its open descriptors. The launcher keeps
// per path only whether it was read or written and by which threads, so repeating a Read or
// Write this thread already sent for the same file cannot change the report; skipping it
// saves the readlink and the send of every further transfer.
//
// Every kind of descriptor is kept: the kernel's name for an open file, device or directory
// changes only when a name changes, and pipes, sockets and anonymous inodes never have one.
// Name changes this process makes through the wrappers are seen; a rename or removal by
// another process, or through a call not wrapped here (renameat2, a raw system call), is not:
// transfers on a descriptor already used keep the name it had then.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace drel::guest {

// Kinds of data events, as bits of FdEntry::sent.
inline constexpr uint8_t kSentRead = 1;
inline constexpr uint8_t kSentWrite = 2;

// Raised after every name change this process makes (rename, link, unlink, truncate and their
// at-variants): a kept path may name something else now. Relaxed atomics, no lock.
void note_name_change() noexcept;
uint32_t name_generation() noexcept;

// Raised for a descriptor number each time a wrapped open returns it or a wrapped close (close,
// dup2 onto it, fclose, ...) ends what it held, in any thread, so that no thread mistakes a new
// file on a reused number for the one it knew. Closes are noted after the real call: an entry
// filled before the note is stale by then.
void note_descriptor_opened(int fd) noexcept;
void note_descriptor_closed(int fd) noexcept;
void note_descriptors_closed(unsigned first, unsigned last) noexcept;
uint32_t descriptor_generation(int fd) noexcept;

// The identity of an entry filled right after its open, without examining the file: no file
// has inode 0.
inline constexpr ino_t kUnknownInode = 0;

struct FdEntry {
  static constexpr size_t kPathCapacity = 200;  // longer paths are looked up again each time

  bool used;
  bool is_file;   // false: a pipe, socket or anonymous inode, never reported
  bool has_path;  // false for a file whose path did not fit
  uint8_t sent;   // kSentRead / kSentWrite already sent by this thread for this descriptor
  int fd;
  uint32_t opened;  // descriptor_generation(fd) when filled
  dev_t dev;
  ino_t ino;
  uint16_t path_len;
  char path[kPathCapacity];
};

// A small fixed table, one per thread; all zero is a valid empty table.
class FdTable {
 public:
  static constexpr size_t kEntries = 6;

  // Empties the table unless it was filled by process pid under name generation names.
  void revalidate(uint32_t pid, uint32_t names) noexcept;

  // Whether a transfer of kinds on fd can send nothing, told without a system call: the entry
  // for fd was filled at the descriptor's current generation (no wrapped close or open of the
  // number since) and is not a file or already sent kinds. Only a close the library does not
  // see (inline assembly) followed by an open it does not see either can make this wrong: a
  // transfer then goes unreported, or, on an entry its open filled and no lookup examined yet,
  // goes out under the earlier name.
  bool sends_nothing(int fd, uint32_t opened, uint8_t kinds) const noexcept;

  // The entry for fd if it still describes the same file (device, inode) opened at the same
  // descriptor generation; null otherwise. An entry filled without an identity takes this one.
  FdEntry* find(int fd, dev_t dev, ino_t ino, uint32_t opened) noexcept;

  // Makes a fresh entry for fd (replacing any old one for fd, else a free one, else the
  // oldest): path null means not a file. Nothing marked sent.
  FdEntry& fill(int fd, dev_t dev, ino_t ino, uint32_t opened, const char* path,
                size_t path_len) noexcept;

 private:
  uint32_t pid_ = 0;  // no process has pid 0: a new table is emptied at its first use
  uint32_t names_ = 0;
  uint32_t next_victim_ = 0;
  FdEntry entries_[kEntries] = {};
};

// The calling thread's table, or null while the thread is already using it (a signal handler
// that interrupted an update) or when it has none (no memory for it): such a caller goes
// without the table.
FdTable* acquire_thread_fd_table() noexcept;
void release_thread_fd_table() noexcept;

class ThreadFdTable {
 public:
  ThreadFdTable() noexcept : table_(acquire_thread_fd_table()) {}
  ~ThreadFdTable() {
    if (table_ != nullptr) release_thread_fd_table();
  }
  ThreadFdTable(const ThreadFdTable&) = delete;
  ThreadFdTable& operator=(const ThreadFdTable&) = delete;
  FdTable* get() const noexcept { return table_; }

 private:
  FdTable* table_;
};

}  // namespace drel::guest
