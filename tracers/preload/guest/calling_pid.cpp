#include "preload/guest/calling_pid.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "preload/guest/raw_pages.h"
#include "preload/guest/trace_session.h"
#include "preload/guest/raw_syscall.h"

namespace drel::guest {
namespace {

// mmap and madvise round up to whole pages of any size.
constexpr size_t kPageBytes = 4096;

struct PidPage {
  std::atomic<uint32_t> pid;  // 0: wiped in a fork child, not looked at since
};

constinit std::atomic<PidPage*> g_page{nullptr};

enum Sharing : uint8_t { kUnshared = 0, kUntilParentRuns = 1, kForLife = 2 };
constinit thread_local uint8_t t_sharing = kUnshared;

uint32_t kernel_pid() { return static_cast<uint32_t>(raw_syscall(SYS_getpid)); }

// Only the parent has the memory's own pid: when it runs again, the child it waited for has
// executed another program or ended. A zero page (a fork child that has not looked yet) cannot
// tell the parent from its child: the mark then stays, which costs only the system call.
uint32_t pid_while_marked(PidPage* page) {
  uint32_t pid = kernel_pid();
  if (t_sharing == kUntilParentRuns && pid == page->pid.load(std::memory_order_relaxed))
    t_sharing = kUnshared;
  return pid;
}

// The page is mapped at the first look, so that a process that never asks (most programs a
// shell starts only to exit) makes no mapping. Only the process that loaded the library, or a
// child its at-fork handler has seen, maps it, on its own memory: a child on this memory that
// came past the wrappers must not leave its pid where its parent reads. A failed attempt is
// not repeated; every call then asks the kernel.
constinit std::atomic<bool> g_page_tried{false};

uint32_t pid_without_page() {
  const uint32_t pid = kernel_pid();
#ifdef MADV_WIPEONFORK
  if (t_sharing != kUnshared || pid != session_process_pid() ||
      g_page_tried.exchange(true, std::memory_order_relaxed))
    return pid;
  void* at = map_private_pages(kPageBytes);
  if (at == nullptr) return pid;
  if (raw_syscall(SYS_madvise, reinterpret_cast<long>(at), kPageBytes, MADV_WIPEONFORK) != 0) {
    unmap_private_pages(at, kPageBytes);
    return pid;
  }
  auto* page = static_cast<PidPage*>(at);
  page->pid.store(pid, std::memory_order_relaxed);
  g_page.store(page, std::memory_order_release);
#endif
  return pid;
}

}  // namespace

uint32_t calling_pid() noexcept {
  PidPage* page = g_page.load(std::memory_order_acquire);
  if (page == nullptr) return pid_without_page();
  if (t_sharing != kUnshared) return pid_while_marked(page);
  uint32_t pid = page->pid.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  // Every thread of the child that races here stores the same value.
  pid = kernel_pid();
  page->pid.store(pid, std::memory_order_relaxed);
  return pid;
}

void note_sharing_child(SharingChild kind) noexcept {
  // The page is filled while only the parent runs here.
  (void)calling_pid();
  if (kind == SharingChild::AlongSide)
    t_sharing = kForLife;
  else if (t_sharing == kUnshared)
    t_sharing = kUntilParentRuns;
}

void check_calling_pid(uint32_t kernel_pid) noexcept {
  PidPage* page = g_page.load(std::memory_order_acquire);
  if (page == nullptr || t_sharing != kUnshared) return;
  uint32_t pid = page->pid.load(std::memory_order_relaxed);
  if (pid != 0 && pid != kernel_pid) t_sharing = kUntilParentRuns;
}

}  // namespace drel::guest
