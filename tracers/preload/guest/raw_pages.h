// Private anonymous pages straight from the kernel: the mmap wrapper has nothing to report for
// the library's own storage, and a program's mmap hooks (or its syscall) should not see it.
#pragma once

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

#include "preload/guest/raw_syscall.h"

namespace drel::guest {

// Null when the kernel refuses.
inline void* map_private_pages(size_t size) noexcept {
#if defined(__i386__)
  // Its old mmap takes the six arguments from memory, which the five-register call can pass.
  const unsigned long args[6] = {0, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                                 static_cast<unsigned long>(-1), 0};
  const long addr = raw_syscall(SYS_mmap, reinterpret_cast<long>(args));
#else
  const long addr = raw_syscall(SYS_mmap, 0, static_cast<long>(size), PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#endif
  return with_errno(addr) == -1 ? nullptr : reinterpret_cast<void*>(addr);
}

inline void unmap_private_pages(void* at, size_t size) noexcept {
  raw_syscall(SYS_munmap, reinterpret_cast<long>(at), static_cast<long>(size));
}

}  // namespace drel::guest
