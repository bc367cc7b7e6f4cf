// The 29 wrapped C library functions. Each calls the real function, returns its result
// unchanged, and after a success that touches a file reports the access.
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include "preload/guest/event_reporting.h"
#include "preload/guest/fd_table.h"
#include "preload/guest/open_classification.h"
#include "preload/guest/real_functions.h"
#include "preload/guest/recursion_guard.h"
#include "preload/guest/trace_session.h"

#define DREL_WRAPPER extern "C" __attribute__((visibility("default")))

namespace {

namespace guest = drel::guest;

using guest::EventKind;
using guest::RealFunction;

template <typename Fn>
Fn real(RealFunction which) noexcept {
  return reinterpret_cast<Fn>(guest::real_function(which));
}

// Reporting runs only outside another report, and leaves errno as the real call set it.
// Without a launcher to send to, the path work is skipped as well.
template <typename Report>
void report_quietly(Report report) noexcept {
  if (guest::in_hook() || !guest::trace_session_active()) return;
  guest::HookScope hook;
  guest::ErrnoKeeper keep_errno;
  report();
}

void after_fd_access(int fd, EventKind kind) noexcept {
  report_quietly([&] { guest::report_fd_access(fd, kind); });
}

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);

mode_t mode_argument(int flags, va_list args) {
  return guest::open_needs_mode(flags) ? va_arg(args, mode_t) : 0;
}

int call_open(RealFunction which, const char* path, int flags, mode_t mode) {
  auto fn = real<OpenFn>(which);
  if (fn == nullptr) return -1;
  int fd = guest::open_needs_mode(flags) ? fn(path, flags, mode) : fn(path, flags);
  if (fd >= 0) {
    guest::note_descriptor_opened(fd);
    report_quietly([&] { guest::report_open(path, flags, fd); });
  }
  return fd;
}

int call_openat(RealFunction which, int dirfd, const char* path, int flags, mode_t mode) {
  auto fn = real<OpenatFn>(which);
  if (fn == nullptr) return -1;
  int fd = guest::open_needs_mode(flags) ? fn(dirfd, path, flags, mode) : fn(dirfd, path, flags);
  if (fd >= 0) {
    guest::note_descriptor_opened(fd);
    report_quietly([&] { guest::report_open_at(dirfd, path, flags, fd); });
  }
  return fd;
}

template <RealFunction which, EventKind kind, typename Fn, typename... Args>
ssize_t fd_transfer(int fd, Args... args) {
  auto fn = real<Fn>(which);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  ssize_t n = fn(fd, args...);
  if (n > 0) after_fd_access(fd, kind);
  return n;
}

// Calls that create, change or remove a name: on success the per-thread descriptor tables learn
// that names moved, and the one path the call names last is reported as written.
template <RealFunction which, typename Fn, typename Report, typename... Args>
int name_change(Report report, Args... args) {
  auto fn = real<Fn>(which);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  int rc = fn(args...);
  if (rc == 0) {
    guest::note_name_change();
    report_quietly(report);
  }
  return rc;
}

// Streams report through fread and fwrite; the flag is set across the real call so that
// whatever the stream code calls underneath stays unreported.
template <RealFunction which, EventKind kind, typename Fn>
size_t stream_transfer(void* buffer, size_t size, size_t count, FILE* stream) {
  auto fn = real<Fn>(which);
  if (fn == nullptr) {
    errno = ENOSYS;
    return 0;
  }
  if (guest::in_hook()) return fn(buffer, size, count, stream);
  guest::HookScope hook;
  size_t n = fn(buffer, size, count, stream);
  if (n != 0 && guest::trace_session_active()) {
    guest::ErrnoKeeper keep_errno;
    guest::report_fd_access(fileno(stream), kind);
  }
  return n;
}

template <typename Fn, typename Result, typename... Args>
Result pass_through(RealFunction which, Result failure, Args... args) {
  auto fn = real<Fn>(which);
  if (fn == nullptr) {
    errno = ENOSYS;
    return failure;
  }
  return fn(args...);
}

}  // namespace

// ---- descriptor input and output ----

DREL_WRAPPER ssize_t read(int fd, void* buf, size_t count) {
  return fd_transfer<RealFunction::read, EventKind::Read, decltype(&::read)>(fd, buf, count);
}

DREL_WRAPPER ssize_t readv(int fd, const struct iovec* iov, int iovcnt) {
  return fd_transfer<RealFunction::readv, EventKind::Read, decltype(&::readv)>(fd, iov, iovcnt);
}

DREL_WRAPPER ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
  return fd_transfer<RealFunction::pread, EventKind::Read, decltype(&::pread)>(fd, buf, count,
                                                                               offset);
}

DREL_WRAPPER ssize_t pread64(int fd, void* buf, size_t count, off64_t offset) {
  return fd_transfer<RealFunction::pread64, EventKind::Read, decltype(&::pread64)>(
      fd, buf, count, offset);
}

DREL_WRAPPER ssize_t write(int fd, const void* buf, size_t count) {
  return fd_transfer<RealFunction::write, EventKind::Write, decltype(&::write)>(fd, buf, count);
}

DREL_WRAPPER ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
  return fd_transfer<RealFunction::writev, EventKind::Write, decltype(&::writev)>(fd, iov,
                                                                                  iovcnt);
}

DREL_WRAPPER ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  return fd_transfer<RealFunction::pwrite, EventKind::Write, decltype(&::pwrite)>(fd, buf, count,
                                                                                  offset);
}

DREL_WRAPPER ssize_t pwrite64(int fd, const void* buf, size_t count, off64_t offset) {
  return fd_transfer<RealFunction::pwrite64, EventKind::Write, decltype(&::pwrite64)>(
      fd, buf, count, offset);
}

DREL_WRAPPER ssize_t sendfile(int out_fd, int in_fd, off_t* offset, size_t count) noexcept {
  auto fn = real<decltype(&::sendfile)>(RealFunction::sendfile);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  ssize_t n = fn(out_fd, in_fd, offset, count);
  if (n > 0) {
    report_quietly([&] {
      guest::report_fd_access(in_fd, EventKind::Read);
      guest::report_fd_access(out_fd, EventKind::Write);
    });
  }
  return n;
}

DREL_WRAPPER int ftruncate(int fd, off_t length) noexcept {
  auto fn = real<decltype(&::ftruncate)>(RealFunction::ftruncate);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  int rc = fn(fd, length);
  if (rc == 0) after_fd_access(fd, EventKind::Write);
  return rc;
}

DREL_WRAPPER void* mmap(void* addr, size_t length, int prot, int flags, int fd,
                        off_t offset) noexcept {
  auto fn = real<decltype(&::mmap)>(RealFunction::mmap);
  if (fn == nullptr) {
    errno = ENOSYS;
    return MAP_FAILED;
  }
  void* result = fn(addr, length, prot, flags, fd, offset);
  // The per-thread guard, not one flag shared by all threads: a map made in one thread while
  // another thread reports must still be reported.
  if (result != MAP_FAILED && fd >= 0) {
    report_quietly([&] {
      guest::report_fd_accesses(fd, (prot & PROT_READ) != 0,
                               (prot & PROT_WRITE) != 0 && (flags & MAP_SHARED) != 0);
    });
  }
  return result;
}

// ---- streams ----

DREL_WRAPPER size_t fread(void* buffer, size_t size, size_t count, FILE* stream) {
  return stream_transfer<RealFunction::fread, EventKind::Read, decltype(&::fread)>(buffer, size,
                                                                                   count, stream);
}

DREL_WRAPPER size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
  using Fn = size_t (*)(void*, size_t, size_t, FILE*);
  return stream_transfer<RealFunction::fwrite, EventKind::Write, Fn>(const_cast<void*>(buffer),
                                                                     size, count, stream);
}

// Streams open their descriptors inside the C library, past the open wrappers; the number
// is marked new here so that no thread takes it for a file it knew under that number.
static FILE* opened_stream(FILE* stream) {
  if (stream != nullptr) guest::note_descriptor_opened(fileno(stream));
  return stream;
}

DREL_WRAPPER FILE* fopen(const char* path, const char* mode) {
  return opened_stream(pass_through<decltype(&::fopen)>(
      RealFunction::fopen, static_cast<FILE*>(nullptr), path, mode));
}

DREL_WRAPPER FILE* fopen64(const char* path, const char* mode) {
  return opened_stream(pass_through<decltype(&::fopen64)>(
      RealFunction::fopen64, static_cast<FILE*>(nullptr), path, mode));
}

DREL_WRAPPER FILE* fdopen(int fd, const char* mode) noexcept {
  return pass_through<decltype(&::fdopen)>(RealFunction::fdopen, static_cast<FILE*>(nullptr), fd,
                                           mode);
}

DREL_WRAPPER FILE* freopen(const char* path, const char* mode, FILE* stream) {
  return opened_stream(pass_through<decltype(&::freopen)>(
      RealFunction::freopen, static_cast<FILE*>(nullptr), path, mode, stream));
}

// ---- opens ----

DREL_WRAPPER int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_argument(flags, args);
  va_end(args);
  return call_open(RealFunction::open, path, flags, mode);
}

DREL_WRAPPER int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_argument(flags, args);
  va_end(args);
  return call_open(RealFunction::open64, path, flags, mode);
}

DREL_WRAPPER int openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_argument(flags, args);
  va_end(args);
  return call_openat(RealFunction::openat, dirfd, path, flags, mode);
}

DREL_WRAPPER int openat64(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_argument(flags, args);
  va_end(args);
  return call_openat(RealFunction::openat64, dirfd, path, flags, mode);
}

DREL_WRAPPER int creat(const char* path, mode_t mode) {
  auto fn = real<decltype(&::creat)>(RealFunction::creat);
  if (fn == nullptr) return -1;
  int fd = fn(path, mode);
  if (fd >= 0) {
    guest::note_descriptor_opened(fd);
    report_quietly([&] { guest::report_open(path, O_WRONLY | O_CREAT | O_TRUNC, fd); });
  }
  return fd;
}

// ---- names ----

DREL_WRAPPER int truncate(const char* path, off_t length) noexcept {
  return name_change<RealFunction::truncate, decltype(&::truncate)>(
      [&] { guest::report_path_write(path); }, path, length);
}

DREL_WRAPPER int unlink(const char* path) noexcept {
  return name_change<RealFunction::unlink, decltype(&::unlink)>(
      [&] { guest::report_path_write(path); }, path);
}

// The old name of a link or rename is not reported, only the new one.
DREL_WRAPPER int link(const char* old_path, const char* new_path) noexcept {
  return name_change<RealFunction::link, decltype(&::link)>(
      [&] { guest::report_path_write(new_path); }, old_path, new_path);
}

DREL_WRAPPER int rename(const char* old_path, const char* new_path) noexcept {
  return name_change<RealFunction::rename, decltype(&::rename)>(
      [&] { guest::report_path_write(new_path); }, old_path, new_path);
}

DREL_WRAPPER int unlinkat(int dirfd, const char* path, int flags) noexcept {
  return name_change<RealFunction::unlinkat, decltype(&::unlinkat)>(
      [&] { guest::report_path_write_at(dirfd, path); }, dirfd, path, flags);
}

DREL_WRAPPER int linkat(int old_dirfd, const char* old_path, int new_dirfd, const char* new_path,
                        int flags) noexcept {
  return name_change<RealFunction::linkat, decltype(&::linkat)>(
      [&] { guest::report_path_write_at(new_dirfd, new_path); }, old_dirfd, old_path, new_dirfd,
      new_path, flags);
}

DREL_WRAPPER int renameat(int old_dirfd, const char* old_path, int new_dirfd,
                          const char* new_path) noexcept {
  return name_change<RealFunction::renameat, decltype(&::renameat)>(
      [&] { guest::report_path_write_at(new_dirfd, new_path); }, old_dirfd, old_path, new_dirfd,
      new_path);
}
