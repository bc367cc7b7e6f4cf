#include "preload/guest/fd_table.h"

#include <atomic>
#include <cstring>

#include "preload/guest/large_table.h"
#include "preload/guest/thread_block.h"

namespace drel::guest {
namespace {

constinit std::atomic<uint32_t> g_name_generation{0};

// One counter per low descriptor number; all higher numbers share the last one, which only
// costs them a readlink more now and then.
constexpr int kTrackedDescriptors = 1024;
DREL_LARGE_TABLE
constinit std::atomic<uint32_t> g_descriptor_generation[kTrackedDescriptors + 1] = {};

std::atomic<uint32_t>& descriptor_counter(int fd) {
  return g_descriptor_generation[fd >= 0 && fd < kTrackedDescriptors ? fd : kTrackedDescriptors];
}

// The table itself is in the thread's block (thread_block.h). A fork child inherits a copy and a
// vfork child shares it: the pid the table was filled under tells them apart.
constinit thread_local bool t_table_busy = false;

}  // namespace

void note_name_change() noexcept { g_name_generation.fetch_add(1, std::memory_order_relaxed); }

uint32_t name_generation() noexcept { return g_name_generation.load(std::memory_order_relaxed); }

void note_descriptor_opened(int fd) noexcept {
  descriptor_counter(fd).fetch_add(1, std::memory_order_relaxed);
}

void note_descriptor_closed(int fd) noexcept { note_descriptor_opened(fd); }

void note_descriptors_closed(unsigned first, unsigned last) noexcept {
  if (last >= kTrackedDescriptors) last = kTrackedDescriptors;  // the shared counter included
  for (unsigned fd = first; fd <= last; ++fd)
    g_descriptor_generation[fd].fetch_add(1, std::memory_order_relaxed);
}

uint32_t descriptor_generation(int fd) noexcept {
  return descriptor_counter(fd).load(std::memory_order_relaxed);
}

void FdTable::revalidate(uint32_t pid, uint32_t names) noexcept {
  if (pid == pid_ && names == names_) return;
  for (FdEntry& e : entries_) e.used = false;
  pid_ = pid;
  names_ = names;
}

bool FdTable::sends_nothing(int fd, uint32_t opened, uint8_t kinds) const noexcept {
  for (const FdEntry& e : entries_)
    if (e.used && e.fd == fd)
      return e.opened == opened && (!e.is_file || (kinds & ~e.sent) == 0);
  return false;
}

FdEntry* FdTable::find(int fd, dev_t dev, ino_t ino, uint32_t opened) noexcept {
  for (FdEntry& e : entries_)
    if (e.used && e.fd == fd) {
      if (e.opened != opened) return nullptr;
      if (e.ino == kUnknownInode) {  // learned at its open, still the same number's file
        e.dev = dev;
        e.ino = ino;
      }
      return e.dev == dev && e.ino == ino ? &e : nullptr;
    }
  return nullptr;
}

FdEntry& FdTable::fill(int fd, dev_t dev, ino_t ino, uint32_t opened, const char* path,
                       size_t path_len) noexcept {
  FdEntry* slot = nullptr;
  for (FdEntry& e : entries_)
    if (e.used && e.fd == fd) slot = &e;
  for (size_t i = 0; slot == nullptr && i < kEntries; ++i)
    if (!entries_[i].used) slot = &entries_[i];
  if (slot == nullptr) {
    slot = &entries_[next_victim_ % kEntries];
    next_victim_ = (next_victim_ + 1) % kEntries;
  }
  FdEntry& e = *slot;
  e.used = true;
  e.fd = fd;
  e.dev = dev;
  e.ino = ino;
  e.opened = opened;
  e.sent = 0;
  e.is_file = path != nullptr;
  e.has_path = e.is_file && path_len > 0 && path_len <= FdEntry::kPathCapacity;
  e.path_len = e.has_path ? static_cast<uint16_t>(path_len) : 0;
  if (e.has_path) memcpy(e.path, path, path_len);
  return e;
}

FdTable* acquire_thread_fd_table() noexcept {
  if (t_table_busy) return nullptr;
  t_table_busy = true;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  FdTable* table = thread_fd_table();
  if (table == nullptr) release_thread_fd_table();
  return table;
}

void release_thread_fd_table() noexcept {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t_table_busy = false;
}

}  // namespace drel::guest
