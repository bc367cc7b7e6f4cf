// The wrapped C library functions (the list is wrapped_functions.h). Each calls the real
// function, returns its result unchanged, and after a success that touches a file reports
// the access.
#include <alloca.h>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include "preload/guest/calling_pid.h"
#include "preload/guest/event_reporting.h"
#include "preload/guest/exec_environment.h"
#include "preload/guest/fd_table.h"
#include "preload/guest/open_classification.h"
#include "preload/guest/real_functions.h"
#include "preload/guest/recursion_guard.h"
#include "preload/guest/trace_session.h"

#define DREL_WRAPPER extern "C" __attribute__((visibility("default")))

// The fortified entry points programs built with _FORTIFY_SOURCE call; their headers declare
// them only in such builds.
extern "C" {
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);
ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen);
ssize_t __pread_chk(int fd, void* buf, size_t count, off_t offset, size_t buflen);
ssize_t __pread64_chk(int fd, void* buf, size_t count, off64_t offset, size_t buflen);
size_t __fread_chk(void* buf, size_t buflen, size_t size, size_t count, FILE* stream);
size_t __fread_unlocked_chk(void* buf, size_t buflen, size_t size, size_t count, FILE* stream);
}

namespace {

namespace guest = drel::guest;

using guest::EventKind;
using guest::RealFunction;

template <typename Fn>
Fn real(RealFunction which) noexcept {
  return reinterpret_cast<Fn>(guest::real_function(which));
}

// Reporting leaves errno as the real call set it. Nothing is reported without a launcher to
// send to, when the path work is skipped as well. A report inside another (a signal handler
// that interrupted one) is the program's own and goes out.
template <typename Report>
void report_quietly(Report report) noexcept {
  if (!guest::trace_session_active()) return;
  guest::ReportScope scope;
  guest::ErrnoKeeper keep_errno;
  report();
}

// A transfer on the descriptor of a stream whose real call is running is that call's own,
// reported by the stream wrapper.
void after_fd_access(int fd, EventKind kind) noexcept {
  if (guest::inside_real_call_on(fd)) return;
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

// Streams report through their transfer calls; the real call is marked so that what the
// stream code does underneath on the stream's descriptor stays unreported. args end with the
// stream.
template <RealFunction which, EventKind kind, typename Fn, typename... Args>
size_t stream_transfer(FILE* stream, Args... args) {
  auto fn = real<Fn>(which);
  if (fn == nullptr) {
    errno = ENOSYS;
    return 0;
  }
  int fd = fileno(stream);
  if (guest::inside_real_call_on(fd)) return fn(args...);
  size_t n;
  {
    guest::RealCallScope real_call(fd);
    n = fn(args...);
  }
  if (n != 0) report_quietly([&] { guest::report_fd_access(fd, kind); });
  return n;
}

// Both descriptors of a transfer from one file to another.
template <RealFunction which, typename Fn, typename... Args>
ssize_t fd_to_fd(int out_fd, int in_fd, Args... args) {
  auto fn = real<Fn>(which);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  ssize_t n = fn(args...);
  if (n > 0) {
    report_quietly([&] {
      guest::report_fd_access(in_fd, EventKind::Read);
      guest::report_fd_access(out_fd, EventKind::Write);
    });
  }
  return n;
}

template <RealFunction which, typename Fn, typename Offset>
void* map_file(void* addr, size_t length, int prot, int flags, int fd, Offset offset) {
  auto fn = real<Fn>(which);
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

// A descriptor the C library opened inside the call: numbered new for every thread's table,
// then reported like an open of path with flags (or of the descriptor's own name when path
// is null).
void opened_inside(int fd, const char* path, int flags) {
  if (fd < 0) return;
  guest::note_descriptor_opened(fd);
  report_quietly([&] {
    if (path != nullptr)
      guest::report_open(path, flags, fd);
    else
      guest::report_open_fd(fd, flags);
  });
}

// Streams open their descriptors inside the C library, past the open wrappers.
template <RealFunction which, typename Fn>
FILE* open_stream(const char* path, const char* mode) {
  auto fn = real<Fn>(which);
  if (fn == nullptr) {
    errno = ENOSYS;
    return nullptr;
  }
  FILE* stream = fn(path, mode);
  if (stream != nullptr) opened_inside(fileno(stream), path, guest::stream_open_flags(mode));
  return stream;
}

// A null path reopens the stream's own file with another mode.
template <RealFunction which, typename Fn>
FILE* reopen_stream(const char* path, const char* mode, FILE* stream) {
  auto fn = real<Fn>(which);
  if (fn == nullptr) {
    errno = ENOSYS;
    return nullptr;
  }
  FILE* result = fn(path, mode, stream);
  if (result != nullptr) opened_inside(fileno(result), path, guest::stream_open_flags(mode));
  return result;
}

// mkstemp and friends: the name they made is in the template when they return.
template <RealFunction which, typename Fn, typename... Args>
int make_temporary(char* name, int flags, Args... args) {
  auto fn = real<Fn>(which);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  int fd = fn(name, args...);
  opened_inside(fd, name, O_RDWR | O_CREAT | O_EXCL | flags);
  return fd;
}

template <RealFunction which, typename Fn>
FILE* temporary_stream() {
  auto fn = real<Fn>(which);
  if (fn == nullptr) {
    errno = ENOSYS;
    return nullptr;
  }
  FILE* stream = fn();
  // Usually an O_TMPFILE file, which has no name and so reports nothing.
  if (stream != nullptr) opened_inside(fileno(stream), nullptr, O_RDWR | O_CREAT | O_EXCL);
  return stream;
}

template <RealFunction which, typename Fn, typename Length>
int truncate_path(const char* path, Length length) {
  return name_change<which, Fn>([&] { guest::report_path_write(path); }, path, length);
}

template <RealFunction which, typename Fn, typename Length>
int truncate_fd(int fd, Length length) {
  auto fn = real<Fn>(which);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  int rc = fn(fd, length);
  if (rc == 0) after_fd_access(fd, EventKind::Write);
  return rc;
}

int call_creat(RealFunction which, const char* path, mode_t mode) {
  auto fn = real<decltype(&::creat)>(which);
  if (fn == nullptr) return -1;
  int fd = fn(path, mode);
  if (fd >= 0) {
    guest::note_descriptor_opened(fd);
    report_quietly([&] { guest::report_open(path, O_WRONLY | O_CREAT | O_TRUNC, fd); });
  }
  return fd;
}

// Renames travel with both names and the moment the call began: the launcher carries what
// happened under the old name onto the new one, in the order the renames happened.
template <RealFunction which, typename Fn, typename... Args>
int rename_call(int old_dirfd, const char* old_path, int new_dirfd, const char* new_path,
                bool exchange, Args... args) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t time = static_cast<uint64_t>(now.tv_sec) * 1000000000u +
                        static_cast<uint64_t>(now.tv_nsec);
  return name_change<which, Fn>(
      [&] { guest::report_rename(old_dirfd, old_path, new_dirfd, new_path, exchange, time); },
      args...);
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

#define DREL_FD_TRANSFER(name, kind, params, args)                                   \
  DREL_WRAPPER ssize_t name params {                                                 \
    return fd_transfer<RealFunction::name, EventKind::kind, decltype(&::name)> args; \
  }

DREL_FD_TRANSFER(read, Read, (int fd, void* buf, size_t count), (fd, buf, count))
DREL_FD_TRANSFER(readv, Read, (int fd, const struct iovec* iov, int n), (fd, iov, n))
DREL_FD_TRANSFER(pread, Read, (int fd, void* buf, size_t count, off_t offset),
                 (fd, buf, count, offset))
DREL_FD_TRANSFER(pread64, Read, (int fd, void* buf, size_t count, off64_t offset),
                 (fd, buf, count, offset))
DREL_FD_TRANSFER(preadv, Read, (int fd, const struct iovec* iov, int n, off_t offset),
                 (fd, iov, n, offset))
DREL_FD_TRANSFER(preadv64, Read, (int fd, const struct iovec* iov, int n, off64_t offset),
                 (fd, iov, n, offset))
DREL_FD_TRANSFER(preadv2, Read, (int fd, const struct iovec* iov, int n, off_t offset, int flags),
                 (fd, iov, n, offset, flags))
DREL_FD_TRANSFER(preadv64v2, Read,
                 (int fd, const struct iovec* iov, int n, off64_t offset, int flags),
                 (fd, iov, n, offset, flags))
DREL_FD_TRANSFER(__read_chk, Read, (int fd, void* buf, size_t count, size_t buflen),
                 (fd, buf, count, buflen))
DREL_FD_TRANSFER(__pread_chk, Read, (int fd, void* buf, size_t count, off_t offset, size_t buflen),
                 (fd, buf, count, offset, buflen))
DREL_FD_TRANSFER(__pread64_chk, Read,
                 (int fd, void* buf, size_t count, off64_t offset, size_t buflen),
                 (fd, buf, count, offset, buflen))
DREL_FD_TRANSFER(write, Write, (int fd, const void* buf, size_t count), (fd, buf, count))
DREL_FD_TRANSFER(writev, Write, (int fd, const struct iovec* iov, int n), (fd, iov, n))
DREL_FD_TRANSFER(pwrite, Write, (int fd, const void* buf, size_t count, off_t offset),
                 (fd, buf, count, offset))
DREL_FD_TRANSFER(pwrite64, Write, (int fd, const void* buf, size_t count, off64_t offset),
                 (fd, buf, count, offset))
DREL_FD_TRANSFER(pwritev, Write, (int fd, const struct iovec* iov, int n, off_t offset),
                 (fd, iov, n, offset))
DREL_FD_TRANSFER(pwritev64, Write, (int fd, const struct iovec* iov, int n, off64_t offset),
                 (fd, iov, n, offset))
DREL_FD_TRANSFER(pwritev2, Write, (int fd, const struct iovec* iov, int n, off_t offset, int flags),
                 (fd, iov, n, offset, flags))
DREL_FD_TRANSFER(pwritev64v2, Write,
                 (int fd, const struct iovec* iov, int n, off64_t offset, int flags),
                 (fd, iov, n, offset, flags))

#undef DREL_FD_TRANSFER

DREL_WRAPPER ssize_t sendfile(int out_fd, int in_fd, off_t* offset, size_t count) noexcept {
  return fd_to_fd<RealFunction::sendfile, decltype(&::sendfile)>(out_fd, in_fd, out_fd, in_fd,
                                                                 offset, count);
}

DREL_WRAPPER ssize_t sendfile64(int out_fd, int in_fd, off64_t* offset, size_t count) noexcept {
  return fd_to_fd<RealFunction::sendfile64, decltype(&::sendfile64)>(out_fd, in_fd, out_fd, in_fd,
                                                                     offset, count);
}

DREL_WRAPPER ssize_t copy_file_range(int in_fd, off64_t* in_offset, int out_fd, off64_t* out_offset,
                                     size_t count, unsigned flags) {
  return fd_to_fd<RealFunction::copy_file_range, decltype(&::copy_file_range)>(
      out_fd, in_fd, in_fd, in_offset, out_fd, out_offset, count, flags);
}

DREL_WRAPPER int ftruncate(int fd, off_t length) noexcept {
  return truncate_fd<RealFunction::ftruncate, decltype(&::ftruncate)>(fd, length);
}

DREL_WRAPPER int ftruncate64(int fd, off64_t length) noexcept {
  return truncate_fd<RealFunction::ftruncate64, decltype(&::ftruncate64)>(fd, length);
}

DREL_WRAPPER void* mmap(void* addr, size_t length, int prot, int flags, int fd,
                        off_t offset) noexcept {
  return map_file<RealFunction::mmap, decltype(&::mmap)>(addr, length, prot, flags, fd, offset);
}

DREL_WRAPPER void* mmap64(void* addr, size_t length, int prot, int flags, int fd,
                          off64_t offset) noexcept {
  return map_file<RealFunction::mmap64, decltype(&::mmap64)>(addr, length, prot, flags, fd, offset);
}

// ---- closes ----
// A number closed here may come back holding another file: every thread's table learns it
// (fd_table.h). Nothing is reported.

DREL_WRAPPER int close(int fd) {
  auto fn = real<decltype(&::close)>(RealFunction::close);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  int rc = fn(fd);
  guest::note_descriptor_closed(fd);
  return rc;
}

DREL_WRAPPER int close_range(unsigned first, unsigned last, int flags) noexcept {
  auto fn = real<decltype(&::close_range)>(RealFunction::close_range);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  int rc = fn(first, last, flags);
  if (first <= last) guest::note_descriptors_closed(first, last);
  return rc;
}

DREL_WRAPPER int dup2(int fd, int target) noexcept {
  auto fn = real<decltype(&::dup2)>(RealFunction::dup2);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  int rc = fn(fd, target);
  guest::note_descriptor_closed(target);
  return rc;
}

DREL_WRAPPER int dup3(int fd, int target, int flags) noexcept {
  auto fn = real<decltype(&::dup3)>(RealFunction::dup3);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  int rc = fn(fd, target, flags);
  guest::note_descriptor_closed(target);
  return rc;
}

// The C library closes a stream's or a listing's descriptor on its own, past close.
DREL_WRAPPER int fclose(FILE* stream) {
  auto fn = real<decltype(&::fclose)>(RealFunction::fclose);
  if (fn == nullptr) {
    errno = ENOSYS;
    return EOF;
  }
  int fd = fileno(stream);
  int rc = fn(stream);
  if (fd >= 0) guest::note_descriptor_closed(fd);
  return rc;
}

DREL_WRAPPER int closedir(DIR* dir) {
  auto fn = real<decltype(&::closedir)>(RealFunction::closedir);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  int fd = dirfd(dir);
  int rc = fn(dir);
  if (fd >= 0) guest::note_descriptor_closed(fd);
  return rc;
}

// ---- streams ----

using StreamReadFn = size_t (*)(void*, size_t, size_t, FILE*);
using StreamReadChkFn = size_t (*)(void*, size_t, size_t, size_t, FILE*);

DREL_WRAPPER size_t fread(void* buf, size_t size, size_t count, FILE* stream) {
  return stream_transfer<RealFunction::fread, EventKind::Read, StreamReadFn>(stream, buf, size,
                                                                             count, stream);
}

DREL_WRAPPER size_t fread_unlocked(void* buf, size_t size, size_t count, FILE* stream) {
  return stream_transfer<RealFunction::fread_unlocked, EventKind::Read, StreamReadFn>(
      stream, buf, size, count, stream);
}

DREL_WRAPPER size_t __fread_chk(void* buf, size_t buflen, size_t size, size_t count, FILE* stream) {
  return stream_transfer<RealFunction::__fread_chk, EventKind::Read, StreamReadChkFn>(
      stream, buf, buflen, size, count, stream);
}

DREL_WRAPPER size_t __fread_unlocked_chk(void* buf, size_t buflen, size_t size, size_t count,
                                         FILE* stream) {
  return stream_transfer<RealFunction::__fread_unlocked_chk, EventKind::Read, StreamReadChkFn>(
      stream, buf, buflen, size, count, stream);
}

DREL_WRAPPER size_t fwrite(const void* buf, size_t size, size_t count, FILE* stream) {
  return stream_transfer<RealFunction::fwrite, EventKind::Write, decltype(&::fwrite)>(
      stream, buf, size, count, stream);
}

DREL_WRAPPER size_t fwrite_unlocked(const void* buf, size_t size, size_t count, FILE* stream) {
  return stream_transfer<RealFunction::fwrite_unlocked, EventKind::Write,
                         decltype(&::fwrite_unlocked)>(stream, buf, size, count, stream);
}

DREL_WRAPPER FILE* fopen(const char* path, const char* mode) {
  return open_stream<RealFunction::fopen, decltype(&::fopen)>(path, mode);
}

DREL_WRAPPER FILE* fopen64(const char* path, const char* mode) {
  return open_stream<RealFunction::fopen64, decltype(&::fopen64)>(path, mode);
}

DREL_WRAPPER FILE* freopen(const char* path, const char* mode, FILE* stream) {
  return reopen_stream<RealFunction::freopen, decltype(&::freopen)>(path, mode, stream);
}

DREL_WRAPPER FILE* freopen64(const char* path, const char* mode, FILE* stream) {
  return reopen_stream<RealFunction::freopen64, decltype(&::freopen64)>(path, mode, stream);
}

// The descriptor was opened (and reported) before; only its stream is new.
DREL_WRAPPER FILE* fdopen(int fd, const char* mode) noexcept {
  return pass_through<decltype(&::fdopen)>(RealFunction::fdopen, static_cast<FILE*>(nullptr), fd,
                                           mode);
}

DREL_WRAPPER FILE* tmpfile() {
  return temporary_stream<RealFunction::tmpfile, decltype(&::tmpfile)>();
}

DREL_WRAPPER FILE* tmpfile64() {
  return temporary_stream<RealFunction::tmpfile64, decltype(&::tmpfile64)>();
}

// ---- opens ----

#define DREL_OPEN(name, call)                               \
  DREL_WRAPPER int name(const char* path, int flags, ...) { \
    va_list args;                                           \
    va_start(args, flags);                                  \
    mode_t mode = mode_argument(flags, args);               \
    va_end(args);                                           \
    return call(RealFunction::name, path, flags, mode);     \
  }
#define DREL_OPENAT(name)                                              \
  DREL_WRAPPER int name(int dirfd, const char* path, int flags, ...) { \
    va_list args;                                                      \
    va_start(args, flags);                                             \
    mode_t mode = mode_argument(flags, args);                          \
    va_end(args);                                                      \
    return call_openat(RealFunction::name, dirfd, path, flags, mode);  \
  }

DREL_OPEN(open, call_open)
DREL_OPEN(open64, call_open)
DREL_OPENAT(openat)
DREL_OPENAT(openat64)

#undef DREL_OPEN
#undef DREL_OPENAT

// The fortified opens take no mode: they exist to refuse O_CREAT without one.
using FortifiedOpenFn = int (*)(const char*, int);
using FortifiedOpenatFn = int (*)(int, const char*, int);

static int call_fortified_open(RealFunction which, const char* path, int flags) {
  auto fn = real<FortifiedOpenFn>(which);
  if (fn == nullptr) return -1;
  int fd = fn(path, flags);
  if (fd >= 0) {
    guest::note_descriptor_opened(fd);
    report_quietly([&] { guest::report_open(path, flags, fd); });
  }
  return fd;
}

static int call_fortified_openat(RealFunction which, int dirfd, const char* path, int flags) {
  auto fn = real<FortifiedOpenatFn>(which);
  if (fn == nullptr) return -1;
  int fd = fn(dirfd, path, flags);
  if (fd >= 0) {
    guest::note_descriptor_opened(fd);
    report_quietly([&] { guest::report_open_at(dirfd, path, flags, fd); });
  }
  return fd;
}

DREL_WRAPPER int __open_2(const char* path, int flags) {
  return call_fortified_open(RealFunction::__open_2, path, flags);
}

DREL_WRAPPER int __open64_2(const char* path, int flags) {
  return call_fortified_open(RealFunction::__open64_2, path, flags);
}

DREL_WRAPPER int __openat_2(int dirfd, const char* path, int flags) {
  return call_fortified_openat(RealFunction::__openat_2, dirfd, path, flags);
}

DREL_WRAPPER int __openat64_2(int dirfd, const char* path, int flags) {
  return call_fortified_openat(RealFunction::__openat64_2, dirfd, path, flags);
}

DREL_WRAPPER int creat(const char* path, mode_t mode) {
  return call_creat(RealFunction::creat, path, mode);
}

DREL_WRAPPER int creat64(const char* path, mode_t mode) {
  return call_creat(RealFunction::creat64, path, mode);
}

DREL_WRAPPER int mkstemp(char* name) {
  return make_temporary<RealFunction::mkstemp, decltype(&::mkstemp)>(name, 0);
}

DREL_WRAPPER int mkstemp64(char* name) {
  return make_temporary<RealFunction::mkstemp64, decltype(&::mkstemp64)>(name, 0);
}

DREL_WRAPPER int mkostemp(char* name, int flags) {
  return make_temporary<RealFunction::mkostemp, decltype(&::mkostemp)>(name, flags, flags);
}

DREL_WRAPPER int mkostemp64(char* name, int flags) {
  return make_temporary<RealFunction::mkostemp64, decltype(&::mkostemp64)>(name, flags, flags);
}

DREL_WRAPPER int mkstemps(char* name, int suffix_len) {
  return make_temporary<RealFunction::mkstemps, decltype(&::mkstemps)>(name, 0, suffix_len);
}

DREL_WRAPPER int mkstemps64(char* name, int suffix_len) {
  return make_temporary<RealFunction::mkstemps64, decltype(&::mkstemps64)>(name, 0, suffix_len);
}

DREL_WRAPPER int mkostemps(char* name, int suffix_len, int flags) {
  return make_temporary<RealFunction::mkostemps, decltype(&::mkostemps)>(name, flags, suffix_len,
                                                                         flags);
}

DREL_WRAPPER int mkostemps64(char* name, int suffix_len, int flags) {
  return make_temporary<RealFunction::mkostemps64, decltype(&::mkostemps64)>(name, flags,
                                                                             suffix_len, flags);
}

// A directory opened for listing is read.
DREL_WRAPPER DIR* opendir(const char* path) {
  auto fn = real<decltype(&::opendir)>(RealFunction::opendir);
  if (fn == nullptr) {
    errno = ENOSYS;
    return nullptr;
  }
  DIR* dir = fn(path);
  if (dir != nullptr) opened_inside(dirfd(dir), path, O_RDONLY | O_DIRECTORY);
  return dir;
}

DREL_WRAPPER DIR* fdopendir(int fd) {
  auto fn = real<decltype(&::fdopendir)>(RealFunction::fdopendir);
  if (fn == nullptr) {
    errno = ENOSYS;
    return nullptr;
  }
  DIR* dir = fn(fd);
  if (dir != nullptr) after_fd_access(fd, EventKind::Read);
  return dir;
}

// ---- names ----

DREL_WRAPPER int truncate(const char* path, off_t length) noexcept {
  return truncate_path<RealFunction::truncate, decltype(&::truncate)>(path, length);
}

DREL_WRAPPER int truncate64(const char* path, off64_t length) noexcept {
  return truncate_path<RealFunction::truncate64, decltype(&::truncate64)>(path, length);
}

DREL_WRAPPER int unlink(const char* path) noexcept {
  return name_change<RealFunction::unlink, decltype(&::unlink)>(
      [&] { guest::report_path_write(path); }, path);
}

// A link's old name is unchanged; only the new one is reported.
DREL_WRAPPER int link(const char* old_path, const char* new_path) noexcept {
  return name_change<RealFunction::link, decltype(&::link)>(
      [&] { guest::report_path_write(new_path); }, old_path, new_path);
}

DREL_WRAPPER int symlink(const char* target, const char* link_path) noexcept {
  return name_change<RealFunction::symlink, decltype(&::symlink)>(
      [&] { guest::report_path_write(link_path); }, target, link_path);
}

DREL_WRAPPER int rename(const char* old_path, const char* new_path) noexcept {
  return rename_call<RealFunction::rename, decltype(&::rename)>(
      AT_FDCWD, old_path, AT_FDCWD, new_path, false, old_path, new_path);
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

DREL_WRAPPER int symlinkat(const char* target, int dirfd, const char* link_path) noexcept {
  return name_change<RealFunction::symlinkat, decltype(&::symlinkat)>(
      [&] { guest::report_path_write_at(dirfd, link_path); }, target, dirfd, link_path);
}

DREL_WRAPPER int renameat(int old_dirfd, const char* old_path, int new_dirfd,
                          const char* new_path) noexcept {
  return rename_call<RealFunction::renameat, decltype(&::renameat)>(
      old_dirfd, old_path, new_dirfd, new_path, false, old_dirfd, old_path, new_dirfd, new_path);
}

DREL_WRAPPER int renameat2(int old_dirfd, const char* old_path, int new_dirfd, const char* new_path,
                           unsigned flags) noexcept {
  return rename_call<RealFunction::renameat2, decltype(&::renameat2)>(
      old_dirfd, old_path, new_dirfd, new_path, (flags & RENAME_EXCHANGE) != 0, old_dirfd,
      old_path, new_dirfd, new_path, flags);
}

// A directory made or removed, or a name removed whatever it held: the name changed.
DREL_WRAPPER int mkdir(const char* path, mode_t mode) noexcept {
  return name_change<RealFunction::mkdir, decltype(&::mkdir)>(
      [&] { guest::report_path_write(path); }, path, mode);
}

DREL_WRAPPER int mkdirat(int dirfd, const char* path, mode_t mode) noexcept {
  return name_change<RealFunction::mkdirat, decltype(&::mkdirat)>(
      [&] { guest::report_path_write_at(dirfd, path); }, dirfd, path, mode);
}

DREL_WRAPPER int rmdir(const char* path) noexcept {
  return name_change<RealFunction::rmdir, decltype(&::rmdir)>(
      [&] { guest::report_path_write(path); }, path);
}

// The C library's remove calls unlink and rmdir inside itself, past their wrappers.
DREL_WRAPPER int remove(const char* path) noexcept {
  return name_change<RealFunction::remove, decltype(&::remove)>(
      [&] { guest::report_path_write(path); }, path);
}

// ---- programs started from this one ----
// Each passes an environment that keeps the process traced (see exec_environment.h); the
// list forms go through the vector ones of the C library with the caller's environ.

using ExecveFn = int (*)(const char*, char* const*, char* const*);

// The vector forms behind every exec wrapper; the others call these directly, not through the
// exported names (which would cost the loader a lookup of the library's own symbols).
static int exec_file(RealFunction which, const char* file, char* const argv[],
                     char* const envp[]) {
  auto fn = real<ExecveFn>(which);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  guest::TracedEnvironment env(envp, {file, which == RealFunction::execvpe});
  return fn(file, argv, env.get());
}

DREL_WRAPPER int execve(const char* path, char* const argv[], char* const envp[]) noexcept {
  return exec_file(RealFunction::execve, path, argv, envp);
}

DREL_WRAPPER int execvpe(const char* file, char* const argv[], char* const envp[]) noexcept {
  return exec_file(RealFunction::execvpe, file, argv, envp);
}

DREL_WRAPPER int execv(const char* path, char* const argv[]) noexcept {
  return exec_file(RealFunction::execve, path, argv, environ);
}

DREL_WRAPPER int execvp(const char* file, char* const argv[]) noexcept {
  return exec_file(RealFunction::execvpe, file, argv, environ);
}

DREL_WRAPPER int fexecve(int fd, char* const argv[], char* const envp[]) noexcept {
  using Fn = int (*)(int, char* const*, char* const*);
  auto fn = real<Fn>(RealFunction::fexecve);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  guest::TracedEnvironment env(envp, {nullptr, false, fd});
  return fn(fd, argv, env.get());
}

// The argument list of execl and friends as a vector on the caller's stack, as the C
// library builds it; envp, when given, receives what follows the terminating null.
#define DREL_COLLECT_ARGS(first, argv, envp_out)                          \
  size_t count = 1;                                                       \
  {                                                                       \
    va_list probe;                                                        \
    va_start(probe, first);                                               \
    while (va_arg(probe, const char*) != nullptr) ++count;                \
    va_end(probe);                                                        \
  }                                                                       \
  auto** argv = static_cast<char**>(alloca((count + 1) * sizeof(char*))); \
  {                                                                       \
    va_list args;                                                         \
    va_start(args, first);                                                \
    argv[0] = const_cast<char*>(first);                                   \
    for (size_t i = 1; i <= count; ++i) argv[i] = va_arg(args, char*);    \
    envp_out;                                                             \
    va_end(args);                                                         \
  }

DREL_WRAPPER int execl(const char* path, const char* arg, ...) noexcept {
  DREL_COLLECT_ARGS(arg, argv, (void)0)
  return exec_file(RealFunction::execve, path, argv, environ);
}

DREL_WRAPPER int execlp(const char* file, const char* arg, ...) noexcept {
  DREL_COLLECT_ARGS(arg, argv, (void)0)
  return exec_file(RealFunction::execvpe, file, argv, environ);
}

DREL_WRAPPER int execle(const char* path, const char* arg, ...) noexcept {
  char* const* envp = nullptr;
  DREL_COLLECT_ARGS(arg, argv, envp = va_arg(args, char* const*))
  return exec_file(RealFunction::execve, path, argv, envp);
}

#undef DREL_COLLECT_ARGS

using SpawnFn = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                        const posix_spawnattr_t*, char* const*, char* const*);

static int spawn(RealFunction which, pid_t* pid, const char* path,
                 const posix_spawn_file_actions_t* actions, const posix_spawnattr_t* attr,
                 char* const argv[], char* const envp[]) {
  auto fn = real<SpawnFn>(which);
  if (fn == nullptr) return ENOSYS;
  guest::TracedEnvironment env(envp, {path, which == RealFunction::posix_spawnp});
  return fn(pid, path, actions, attr, argv, env.get());
}

DREL_WRAPPER int posix_spawn(pid_t* pid, const char* path,
                             const posix_spawn_file_actions_t* actions,
                             const posix_spawnattr_t* attr, char* const argv[],
                             char* const envp[]) {
  return spawn(RealFunction::posix_spawn, pid, path, actions, attr, argv, envp);
}

DREL_WRAPPER int posix_spawnp(pid_t* pid, const char* file,
                              const posix_spawn_file_actions_t* actions,
                              const posix_spawnattr_t* attr, char* const argv[],
                              char* const envp[]) {
  return spawn(RealFunction::posix_spawnp, pid, file, actions, attr, argv, envp);
}

// ---- children on this thread's memory ----
// A vfork child, or a clone child without thread-local storage of its own, runs on the calling
// thread's memory and thread-local storage: the thread is marked first (calling_pid.h), so that
// the child asks the kernel who it is. posix_spawn's child runs inside the C library, past the
// wrappers.

using CloneFn = int (*)(int (*)(void*), void*, int, void*, ...);

DREL_WRAPPER int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...) noexcept {
  va_list args;
  va_start(args, arg);
  auto* parent_tid = va_arg(args, pid_t*);
  void* tls = va_arg(args, void*);
  auto* child_tid = va_arg(args, pid_t*);
  va_end(args);
  auto real_clone = real<CloneFn>(RealFunction::clone);
  if (real_clone == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  if ((flags & CLONE_VM) != 0 && (flags & CLONE_SETTLS) == 0)
    guest::note_sharing_child((flags & CLONE_VFORK) != 0 ? guest::SharingChild::WaitedFor
                                                          : guest::SharingChild::AlongSide);
  return real_clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
}

static pid_t vfork_unavailable() {
  errno = ENOSYS;
  return -1;
}

// Marks the thread and gives the real vfork, which the entry below jumps to.
extern "C" __attribute__((visibility("hidden"))) void* drel_vfork_target() noexcept {
  guest::note_sharing_child(guest::SharingChild::WaitedFor);
  void* fn = guest::real_function(RealFunction::vfork);
  return fn != nullptr ? fn : reinterpret_cast<void*>(&vfork_unavailable);
}

// vfork cannot be wrapped by a function of our own: the child returns through the caller's
// frames and overwrites them before the parent returns. The entry calls drel_vfork_target
// with the stack as it found it and then jumps to the real vfork, which returns to the caller
// itself; nothing of ours is on the stack when the child starts.
#if defined(__x86_64__)
#define DREL_VFORK_ENTRY "  subq $8, %rsp\n  call drel_vfork_target\n  addq $8, %rsp\n  jmp *%rax\n"
#elif defined(__i386__)
#define DREL_VFORK_ENTRY "  subl $12, %esp\n  call drel_vfork_target\n  addl $12, %esp\n  jmp *%eax\n"
#elif defined(__aarch64__)
#define DREL_VFORK_ENTRY                                                     \
  "  stp x29, x30, [sp, #-16]!\n  mov x29, sp\n  bl drel_vfork_target\n" \
  "  mov x16, x0\n  ldp x29, x30, [sp], #16\n  br x16\n"
#else
#error "no vfork entry for this processor"
#endif

asm(".text\n"
    ".globl vfork\n"
    ".type vfork, %function\n"
    ".globl __vfork\n"
    ".type __vfork, %function\n"
    ".p2align 4\n"
    "vfork:\n"
    "__vfork:\n" DREL_VFORK_ENTRY
    ".size vfork, .-vfork\n"
    ".size __vfork, .-__vfork\n");

#undef DREL_VFORK_ENTRY

// ---- process state ----

// A thread in strict seccomp mode may only read, write and exit: anything more (the fstat and
// getpid of a report) kills the program, so the thread goes silent before it switches, and
// speaks again if the switch failed.
template <typename Call>
long silent_if_strict(bool strict, Call call) noexcept {
  if (strict) guest::silence_thread();
  long rc = call();
  if (rc != 0 && strict) guest::unsilence_thread();
  return rc;
}

DREL_WRAPPER int prctl(int option, ...) noexcept {
  va_list args;
  va_start(args, option);
  unsigned long a2 = va_arg(args, unsigned long);
  unsigned long a3 = va_arg(args, unsigned long);
  unsigned long a4 = va_arg(args, unsigned long);
  unsigned long a5 = va_arg(args, unsigned long);
  va_end(args);
  using PrctlFn = int (*)(int, ...);
  auto fn = real<PrctlFn>(RealFunction::prctl);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  const bool strict = option == PR_SET_SECCOMP && a2 == SECCOMP_MODE_STRICT;
  return static_cast<int>(silent_if_strict(strict, [&] { return fn(option, a2, a3, a4, a5); }));
}

// The C library has no seccomp() function: programs enter seccomp mode through syscall(),
// with either system call. Six arguments are passed on, as many as a system call takes.
// The closes of the closes section, made through syscall().
static void note_closed_by_syscall(long number, const long* a) noexcept {
  if (number == SYS_close) guest::note_descriptor_closed(static_cast<int>(a[0]));
  if (number == SYS_dup3) guest::note_descriptor_closed(static_cast<int>(a[1]));
#ifdef SYS_dup2
  if (number == SYS_dup2) guest::note_descriptor_closed(static_cast<int>(a[1]));
#endif
#ifdef SYS_close_range
  if (number == SYS_close_range && static_cast<unsigned>(a[0]) <= static_cast<unsigned>(a[1]))
    guest::note_descriptors_closed(static_cast<unsigned>(a[0]), static_cast<unsigned>(a[1]));
#endif
}

DREL_WRAPPER long syscall(long number, ...) noexcept {
  va_list args;
  va_start(args, number);
  long a[6];
  for (long& arg : a) arg = va_arg(args, long);
  va_end(args);
  using SyscallFn = long (*)(long, ...);
  auto fn = real<SyscallFn>(RealFunction::syscall);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  const bool strict = (number == SYS_seccomp && a[0] == SECCOMP_SET_MODE_STRICT) ||
                      (number == SYS_prctl && a[0] == PR_SET_SECCOMP && a[1] == SECCOMP_MODE_STRICT);
  long rc =
      silent_if_strict(strict, [&] { return fn(number, a[0], a[1], a[2], a[3], a[4], a[5]); });
  note_closed_by_syscall(number, a);
  return rc;
}
