// The library's own system calls, made by an instruction of its own. Inside the library a call
// of syscall() reaches the library's exported syscall wrapper, whose bookkeeping is for the
// program's calls, and the C library's close is a cancellation point that must not end a thread
// inside a wrapper. Inline, so they add no frame to the caller's stack; the result is the
// kernel's (-errno on failure) and errno is left alone.
#pragma once

#include <sys/syscall.h>

namespace drel::guest {

inline long raw_syscall(long number, long a = 0, long b = 0, long c = 0) noexcept {
  long rc;
#if defined(__x86_64__)
  asm volatile("syscall"
               : "=a"(rc)
               : "0"(number), "D"(a), "S"(b), "d"(c)
               : "rcx", "r11", "memory");
#elif defined(__i386__)
  asm volatile("int $0x80" : "=a"(rc) : "0"(number), "b"(a), "c"(b), "d"(c) : "memory");
#elif defined(__aarch64__)
  register long x0 asm("x0") = a;
  register long x1 asm("x1") = b;
  register long x2 asm("x2") = c;
  register long x8 asm("x8") = number;
  asm volatile("svc 0" : "+r"(x0) : "r"(x1), "r"(x2), "r"(x8) : "memory");
  rc = x0;
#else
#error "raw_syscall: no system call sequence for this processor"
#endif
  return rc;
}

// Closes the library's own descriptors (its sockets, the directories it opens to name paths):
// not through the close wrapper, nor the C library's close.
inline void close_own(int fd) noexcept { raw_syscall(SYS_close, fd); }

}  // namespace drel::guest
