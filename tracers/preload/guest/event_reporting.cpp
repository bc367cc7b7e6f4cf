#include "preload/guest/event_reporting.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "preload/guest/calling_pid.h"
#include "preload/guest/event_sending.h"
#include "preload/guest/fd_path.h"
#include "preload/guest/fd_table.h"
#include "preload/guest/open_classification.h"
#include "preload/guest/open_path.h"
#include "preload/guest/path_text.h"
#include "preload/guest/resolve_at_path.h"
#include "preload/guest/thread_block.h"
#include "preload/guest/trace_session.h"

namespace drel::guest {
namespace {

// Every path is built in the thread's buffer for the report's nesting level; without one (reports
// nested too deep, or no memory for the block) the events are counted as lost.
void lose_events(int count) {
  for (int i = 0; i < count; ++i) note_lost_event();
}

void lose_open_events(int flags) {
  OpenAccess access = classify_open(flags);
  lose_events((access.read ? 1 : 0) + (access.write ? 1 : 0));
}

void lose_data_events(uint8_t kinds) {
  lose_events(((kinds & kSentRead) != 0 ? 1 : 0) + ((kinds & kSentWrite) != 0 ? 1 : 0));
}

// Sends the Read-like and Write-like events named in kinds, Read first; both in one write
// where the process's own connections serve (trace_session.h). Returns the kinds that went
// out, so that a dropped event is tried again at the next transfer.
__attribute__((always_inline)) inline uint8_t send_kinds(uint8_t kinds, EventKind read,
                                                         EventKind write, const char* path,
                                                         size_t len, CallerIds ids) {
  if (kinds == (kSentRead | kSentWrite) && in_own_process(ids.pid))
    return send_event_pair(read, write, path, len, ids) ? kinds : 0;
  uint8_t sent = 0;
  if ((kinds & kSentRead) != 0 && send_event(read, path, len, ids)) sent |= kSentRead;
  if ((kinds & kSentWrite) != 0 && send_event(write, path, len, ids)) sent |= kSentWrite;
  return sent;
}

// Sends the open's events; returns the data kinds they stand for (an OpenRead and a Read of
// one path by one thread land the same in the report, likewise OpenWrite and Write).
uint8_t send_open_events(const PathText& path, int flags, CallerIds ids) {
  OpenAccess access = classify_open(flags);
  const auto kinds =
      static_cast<uint8_t>((access.read ? kSentRead : 0) | (access.write ? kSentWrite : 0));
  return send_kinds(kinds, EventKind::OpenRead, EventKind::OpenWrite, path.bytes, path.len, ids);
}

uint8_t send_data_events(uint8_t kinds, const char* path, size_t len, CallerIds ids) {
  return send_kinds(kinds, EventKind::Read, EventKind::Write, path, len, ids);
}

// The thread's table made current for fd, with the file fd now holds; null when the table
// is in use further up the stack or fd cannot be examined (then everything is looked up).
// Keyed by the calling process, read without a system call (calling_pid.h).
FdTable* table_for(const ThreadFdTable& use, int fd, struct stat& st) {
  FdTable* table = use.get();
  if (table == nullptr || fstat(fd, &st) != 0) return nullptr;
  table->revalidate(calling_pid(), name_generation());
  return table;
}

// fd_path into the report's buffer; null when there is none (the events are then lost) or fd
// names no file.
PathText* named_fd(int fd, uint8_t kinds) {
  PathText* path = report_path_buffer();
  if (path == nullptr) {
    lose_data_events(kinds);
    return nullptr;
  }
  return fd_path(fd, *path) ? path : nullptr;
}

// Most transfers send nothing, and the table tells them without a system call; the file is
// examined, and the frame's ids read, only for the ones that may send.
void report_data(int fd, uint8_t kinds) {
  if (fd < 0 || kinds == 0) return;
  ThreadFdTable use;
  if (FdTable* known = use.get()) {
    known->revalidate(calling_pid(), name_generation());
    if (known->sends_nothing(fd, descriptor_generation(fd), kinds)) return;
  }
  struct stat st;
  FdTable* table = table_for(use, fd, st);
  if (table == nullptr) {
    if (PathText* path = named_fd(fd, kinds))
      send_data_events(kinds, path->bytes, path->len, caller_ids());
    return;
  }
  uint32_t opened = descriptor_generation(fd);
  if (FdEntry* known = table->find(fd, st.st_dev, st.st_ino, opened)) {
    if (!known->is_file) return;
    auto missing = static_cast<uint8_t>(kinds & ~known->sent);
    if (missing == 0) return;
    if (known->has_path) {
      known->sent |= send_data_events(missing, known->path, known->path_len, caller_ids());
    } else if (PathText* path = named_fd(fd, missing)) {
      known->sent |= send_data_events(missing, path->bytes, path->len, caller_ids());
    }
    return;
  }
  PathText* path = report_path_buffer();
  if (path == nullptr) return lose_data_events(kinds);
  bool file = fd_path(fd, *path);
  FdEntry& fresh = table->fill(fd, st.st_dev, st.st_ino, opened, file ? path->bytes : nullptr,
                               file ? path->len : 0);
  if (file) fresh.sent = send_data_events(kinds, path->bytes, path->len, caller_ids());
}

// fd_path through the thread's table: directory descriptors of openat and friends are looked
// up once per directory instead of once per call.
bool kept_fd_path(int fd, PathText& out) {
  if (fd < 0) return false;
  struct stat st;
  ThreadFdTable use;
  FdTable* table = table_for(use, fd, st);
  if (table == nullptr) return fd_path(fd, out);
  uint32_t opened = descriptor_generation(fd);
  if (FdEntry* known = table->find(fd, st.st_dev, st.st_ino, opened)) {
    if (!known->is_file) return false;
    if (known->has_path) {
      memcpy(out.bytes, known->path, known->path_len);
      out.bytes[known->path_len] = '\0';
      out.len = known->path_len;
      return true;
    }
    return fd_path(fd, out);
  }
  bool file = fd_path(fd, out);
  table->fill(fd, st.st_dev, st.st_ino, opened, file ? out.bytes : nullptr, file ? out.len : 0);
  return file;
}

struct KeptDirPath {
  bool operator()(int fd, PathText& out) const { return kept_fd_path(fd, out); }
};

// Teaches the thread's table the kernel's name of a new descriptor and, in sent, what the open
// already told of it (the first read or write then sends nothing). The file was opened just
// now, so it is not examined: the entry takes its identity at its first lookup.
void learn_path(int fd, const PathText& path, uint8_t sent) {
  if (fd < 0) return;
  ThreadFdTable use;
  FdTable* table = use.get();
  if (table == nullptr) return;
  table->revalidate(calling_pid(), name_generation());
  FdEntry& e = table->fill(fd, 0, kUnknownInode, descriptor_generation(fd),
                           path.bytes, path.len);
  // A Read or Write sends the kept path, the same bytes as the open's events.
  if (e.has_path) e.sent = sent;
}

bool ends_with(const char* s, size_t n, const char* suffix) {
  size_t k = c_length(suffix);
  return n >= k && memcmp(s + n - k, suffix, k) == 0;
}

// dir + "/" + name is the kernel's name of what openat opened when dir is the kernel's name
// of the directory (not the root, which would give "//name"), name is one plain component,
// and O_NOFOLLOW ruled out a symbolic link in its place.
bool joined_name_is_canonical(size_t dir_len, const char* name, int flags) {
  if ((flags & O_NOFOLLOW) == 0 || dir_len <= 1 || name == nullptr) return false;
  if (name[0] == '\0' || strchr(name, '/') != nullptr) return false;
  if (!is_valid_utf8(name, c_length(name))) return false;
  return strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

}  // namespace

void report_fd_access(int fd, EventKind kind) noexcept {
  report_data(fd, kind == EventKind::Read ? kSentRead : kSentWrite);
}

void report_fd_accesses(int fd, bool read, bool write) noexcept {
  report_data(fd, static_cast<uint8_t>((read ? kSentRead : 0) | (write ? kSentWrite : 0)));
}

void report_open(const char* path, int flags, int fd) noexcept {
  PathText* text = report_path_buffer();
  if (text == nullptr) return lose_open_events(flags);
  bool canonical = false;
  if (!open_path(path, fd, flags, *text, &canonical) || text->len == 0) return;
  send_open_events(*text, flags, caller_ids());
  if (canonical) learn_path(fd, *text, 0);
}

void report_open_at(int dirfd, const char* path, int flags, int fd) noexcept {
  if (dirfd == AT_FDCWD) return report_open(path, flags, fd);
  PathText* at = report_path_buffer();
  if (at == nullptr) return lose_open_events(flags);
  if (!resolve_at_path(dirfd, path, *at, KeptDirPath{})) return;
  // A directory without a name leaves the path relative: named as a plain open names it.
  if (at->bytes[0] != '/') return report_open(path, flags, fd);
  // Under a directory descriptor the path arrives absolute and is taken as it is.
  // Opened by name under a directory (the way tree walkers open every file), the open's events
  // stand for the thread's first transfer too. Plain opens send their first transfer still,
  // which keeps every transfer wrapper visible on the wire.
  const uint8_t sent = send_open_events(*at, flags, caller_ids());
  size_t name_len = c_length(path);
  if (name_len < at->len && joined_name_is_canonical(at->len - name_len - 1, path, flags) &&
      !ends_with(at->bytes, at->len - name_len - 1, " (deleted)"))
    learn_path(fd, *at, sent);
}

void report_open_fd(int fd, int flags) noexcept {
  PathText* text = report_path_buffer();
  if (text == nullptr) return lose_open_events(flags);
  if (fd_path(fd, *text) && text->len > 0) send_open_events(*text, flags, caller_ids());
}

void report_path_write(const char* path) noexcept {
  PathText* text = report_path_buffer();
  if (text == nullptr) return note_lost_event();
  if (name_path(path, *text) && text->len > 0)
    send_event(EventKind::Write, text->bytes, text->len);
}

void report_path_write_at(int dirfd, const char* path) noexcept {
  if (dirfd == AT_FDCWD || (path != nullptr && path[0] == '/')) return report_path_write(path);
  PathText* text = report_path_buffer();
  if (text == nullptr) return note_lost_event();
  if (resolve_at_path(dirfd, path, *text, KeptDirPath{}))
    send_event(EventKind::Write, text->bytes, text->len);
}

// The absolute name that dirfd and path give a changed name.
static bool changed_name_at(int dirfd, const char* path, PathText& out) {
  if (dirfd == AT_FDCWD || (path != nullptr && path[0] == '/'))
    return name_path(path, out) && out.len > 0;
  return resolve_at_path(dirfd, path, out, KeptDirPath{});
}

void report_rename(int old_dirfd, const char* old_path, int new_dirfd, const char* new_path,
                   bool exchange, uint64_t time) noexcept {
  PathText* from = report_path_buffer();
  PathText* to = report_path_buffer(true);
  if (from == nullptr || to == nullptr) return note_lost_event();
  if (!changed_name_at(old_dirfd, old_path, *from) || !changed_name_at(new_dirfd, new_path, *to))
    return;
  // The frame's head is laid out around the old name, in its own buffer.
  CallerIds ids = caller_ids();
  size_t head_len = frame_rename_head(ids.pid, ids.tid, time, exchange, from->len, to->len,
                                      from->bytes, sizeof from->bytes);
  send_event_frame(from->bytes, head_len, to->bytes, to->len, ids);
}

}  // namespace drel::guest
