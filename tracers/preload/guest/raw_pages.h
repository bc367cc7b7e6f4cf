// Private anonymous pages straight from the kernel: the mmap wrapper has nothing to report for
// the library's own storage, and a program's mmap hooks should not see it.
#pragma once

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

namespace drel::guest {

// Null when the kernel refuses.
inline void* map_private_pages(size_t size) noexcept {
#ifdef SYS_mmap2
  long addr = syscall(SYS_mmap2, nullptr, size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#else
  long addr = syscall(SYS_mmap, nullptr, size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#endif
  return addr == -1 ? nullptr : reinterpret_cast<void*>(addr);
}

inline void unmap_private_pages(void* at, size_t size) noexcept {
  syscall(SYS_munmap, at, size);
}

}  // namespace drel::guest
