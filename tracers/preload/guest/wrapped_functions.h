// Every C library function the library wraps, listed once. The real-function table, its
// names and the linker's dynamic list (generated from the X( lines below at configure time)
// all come from here; the definitions are in wrappers.cpp.
//
// X(name, fallback): fallback is the real function used when the C library lacks name
// (the function itself when it has no other).
#pragma once

#define DREL_WRAPPED_FUNCTIONS(X) \
  X(read, read)                   \
  X(readv, readv)                 \
  X(pread, pread)                 \
  X(pread64, pread64)             \
  X(write, write)                 \
  X(writev, writev)               \
  X(pwrite, pwrite)               \
  X(pwrite64, pwrite64)           \
  X(sendfile, sendfile)           \
  X(fread, fread)                 \
  X(fwrite, fwrite)               \
  X(mmap, mmap)                   \
  X(ftruncate, ftruncate)         \
  X(open, open)                   \
  X(open64, open)                 \
  X(openat, openat)               \
  X(openat64, openat)             \
  X(creat, creat)                 \
  X(truncate, truncate)           \
  X(unlink, unlink)               \
  X(link, link)                   \
  X(rename, rename)               \
  X(unlinkat, unlinkat)           \
  X(linkat, linkat)               \
  X(renameat, renameat)           \
  X(fopen, fopen)                 \
  X(fopen64, fopen64)             \
  X(fdopen, fdopen)               \
  X(freopen, freopen)

// Real functions the library calls but does not wrap.
#define DREL_UNWRAPPED_FUNCTIONS(X) \
  X(getenv, getenv)
