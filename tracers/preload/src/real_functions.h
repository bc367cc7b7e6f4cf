// The C library's own versions of the wrapped functions, found once per process with
// dlsym(RTLD_NEXT) and cached, so no lookup runs on the hot path.
#pragma once

namespace drel {

enum class RealFunction : int {
  read, readv, pread, pread64,
  write, writev, pwrite, pwrite64,
  sendfile, fread, fwrite, mmap, ftruncate,
  open, open64, openat, openat64, creat,
  truncate, unlink, link, rename, unlinkat, linkat, renameat,
  fopen, fopen64, fdopen, freopen,
  getenv,
  count
};

// The real function, or null when the C library has none. open64 and openat64 fall back to
// open and openat.
void* real_function(RealFunction which) noexcept;

// Looks every function up ahead of time (from the library's constructor).
void resolve_real_functions() noexcept;

}  // namespace drel
