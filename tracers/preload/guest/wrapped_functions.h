// Every C library function the library wraps, listed once (64-bit names, fortified entry
// points and stream forms each a row of their own). The real-function table, its
// names and the linker's dynamic list (generated from the X( lines below at configure time)
// all come from here; the definitions are in wrappers.cpp.
//
// X(name, fallback): fallback is the real function used when the C library lacks name
// (the function itself when it has no other).
#pragma once

#define DREL_WRAPPED_FUNCTIONS(X)               \
  X(read, read)                                 \
  X(readv, readv)                               \
  X(pread, pread)                               \
  X(pread64, pread64)                           \
  X(preadv, preadv)                             \
  X(preadv64, preadv64)                         \
  X(preadv2, preadv2)                           \
  X(preadv64v2, preadv64v2)                     \
  X(__read_chk, __read_chk)                     \
  X(__pread_chk, __pread_chk)                   \
  X(__pread64_chk, __pread64_chk)               \
  X(write, write)                               \
  X(writev, writev)                             \
  X(pwrite, pwrite)                             \
  X(pwrite64, pwrite64)                         \
  X(pwritev, pwritev)                           \
  X(pwritev64, pwritev64)                       \
  X(pwritev2, pwritev2)                         \
  X(pwritev64v2, pwritev64v2)                   \
  X(sendfile, sendfile)                         \
  X(sendfile64, sendfile64)                     \
  X(copy_file_range, copy_file_range)           \
  X(fread, fread)                               \
  X(fread_unlocked, fread_unlocked)             \
  X(__fread_chk, __fread_chk)                   \
  X(__fread_unlocked_chk, __fread_unlocked_chk) \
  X(fwrite, fwrite)                             \
  X(fwrite_unlocked, fwrite_unlocked)           \
  X(mmap, mmap)                                 \
  X(mmap64, mmap64)                             \
  X(ftruncate, ftruncate)                       \
  X(ftruncate64, ftruncate64)                   \
  X(open, open)                                 \
  X(open64, open)                               \
  X(__open_2, __open_2)                         \
  X(__open64_2, __open_2)                       \
  X(openat, openat)                             \
  X(openat64, openat)                           \
  X(__openat_2, __openat_2)                     \
  X(__openat64_2, __openat_2)                   \
  X(creat, creat)                               \
  X(creat64, creat)                             \
  X(mkstemp, mkstemp)                           \
  X(mkstemp64, mkstemp)                         \
  X(mkostemp, mkostemp)                         \
  X(mkostemp64, mkostemp)                       \
  X(mkstemps, mkstemps)                         \
  X(mkstemps64, mkstemps)                       \
  X(mkostemps, mkostemps)                       \
  X(mkostemps64, mkostemps)                     \
  X(tmpfile, tmpfile)                           \
  X(tmpfile64, tmpfile)                         \
  X(opendir, opendir)                           \
  X(fdopendir, fdopendir)                       \
  X(truncate, truncate)                         \
  X(truncate64, truncate64)                     \
  X(unlink, unlink)                             \
  X(link, link)                                 \
  X(symlink, symlink)                           \
  X(rename, rename)                             \
  X(unlinkat, unlinkat)                         \
  X(linkat, linkat)                             \
  X(symlinkat, symlinkat)                       \
  X(renameat, renameat)                         \
  X(renameat2, renameat2)                       \
  X(mkdir, mkdir)                               \
  X(mkdirat, mkdirat)                           \
  X(rmdir, rmdir)                               \
  X(remove, remove)                             \
  X(close, close)                               \
  X(close_range, close_range)                   \
  X(dup2, dup2)                                 \
  X(dup3, dup3)                                 \
  X(fclose, fclose)                             \
  X(closedir, closedir)                         \
  X(fopen, fopen)                               \
  X(fopen64, fopen)                             \
  X(fdopen, fdopen)                             \
  X(freopen, freopen)                           \
  X(freopen64, freopen)                         \
  X(execve, execve)                             \
  X(execv, execv)                               \
  X(execvp, execvp)                             \
  X(execvpe, execvpe)                           \
  X(execl, execl)                               \
  X(execlp, execlp)                             \
  X(execle, execle)                             \
  X(fexecve, fexecve)                           \
  X(posix_spawn, posix_spawn)                   \
  X(posix_spawnp, posix_spawnp)                 \
  X(vfork, vfork)                               \
  X(__vfork, vfork)                             \
  X(clone, clone)                               \
  X(prctl, prctl)                               \
  X(syscall, syscall)

// Real functions the library calls but does not wrap.
#define DREL_UNWRAPPED_FUNCTIONS(X) X(getenv, getenv)
