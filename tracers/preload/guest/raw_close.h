// Closes the library's own descriptors (its sockets, the directories it opens to name paths)
// by a system call of its own: not through the close wrapper, whose bookkeeping is for the
// program's descriptors, and not through the C library's close, a cancellation point that must
// not end a thread inside a wrapper. Inline, so it adds no frame to the caller's stack.
#pragma once

#include <sys/syscall.h>

namespace drel::guest {

inline void close_own(int fd) noexcept {
#if defined(__x86_64__)
  long rc;
  asm volatile("syscall" : "=a"(rc) : "0"(static_cast<long>(SYS_close)), "D"(static_cast<long>(fd))
               : "rcx", "r11", "memory");
  (void)rc;
#elif defined(__i386__)
  long rc;
  asm volatile("int $0x80" : "=a"(rc) : "0"(static_cast<long>(SYS_close)), "b"(fd) : "memory");
  (void)rc;
#elif defined(__aarch64__)
  register long x0 asm("x0") = fd;
  register long x8 asm("x8") = SYS_close;
  asm volatile("svc 0" : "+r"(x0) : "r"(x8) : "memory");
  (void)x0;
#else
#error "close_own: no system call sequence for this processor"
#endif
}

}  // namespace drel::guest
