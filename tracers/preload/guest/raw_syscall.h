// The library's own system calls, made by an instruction of its own. Inside the library a call
// of syscall() reaches the library's exported syscall wrapper, whose bookkeeping is for the
// program's calls, and the C library's close, connect and sendmsg are cancellation points, which
// must not end a thread inside a wrapper (holding the shared connection, or half-way through a
// frame). Inline, so they add no frame to the caller's stack; the result is the
// kernel's (-errno on failure) and errno is left alone.
#pragma once

#include <fcntl.h>
#include <sys/syscall.h>

#include <cerrno>

namespace drel::guest {

// On i386 five arguments at most: a sixth would go in the frame pointer's register.
inline long raw_syscall(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0,
                        long f = 0) noexcept {
  long rc;
#if defined(__x86_64__)
  register long r10 asm("r10") = d;
  register long r8 asm("r8") = e;
  register long r9 asm("r9") = f;
  asm volatile("syscall"
               : "=a"(rc)
               : "0"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
               : "rcx", "r11", "memory");
#elif defined(__i386__)
  (void)f;
  asm volatile("int $0x80"
               : "=a"(rc)
               : "0"(number), "b"(a), "c"(b), "d"(c), "S"(d), "D"(e)
               : "memory");
#elif defined(__aarch64__)
  register long x0 asm("x0") = a;
  register long x1 asm("x1") = b;
  register long x2 asm("x2") = c;
  register long x3 asm("x3") = d;
  register long x4 asm("x4") = e;
  register long x5 asm("x5") = f;
  register long x8 asm("x8") = number;
  asm volatile("svc 0"
               : "+r"(x0)
               : "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5), "r"(x8)
               : "memory");
  rc = x0;
#else
#error "raw_syscall: no system call sequence for this processor"
#endif
  return rc;
}

// A raw call's result the C library's way: -1 with errno set on failure.
inline long with_errno(long rc) noexcept {
  if (rc < 0 && rc > -4096) {
    errno = static_cast<int>(-rc);
    return -1;
  }
  return rc;
}

// Closes the library's own descriptors (its sockets, the directories it opens to name paths):
// not through the close wrapper, nor the C library's close.
inline void close_own(int fd) noexcept { raw_syscall(SYS_close, fd); }

// readlink, -1 on failure (errno untouched).
inline long own_readlink(const char* path, char* buf, unsigned long size) noexcept {
  const long n = raw_syscall(SYS_readlinkat, AT_FDCWD, reinterpret_cast<long>(path),
                             reinterpret_cast<long>(buf), static_cast<long>(size));
  return n < 0 ? -1 : n;
}

}  // namespace drel::guest
