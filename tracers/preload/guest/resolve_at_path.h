// Paths given relative to a directory descriptor (the *at family).
#pragma once

#include <fcntl.h>

#include "preload/guest/fd_path.h"
#include "preload/guest/path_text.h"

namespace drel::guest {

// Puts "/" and the len bytes of path behind the directory name already in out (out.len bytes),
// as text. The "/" goes in even after the root's "/": the launcher sees "//x" for x under "/".
bool append_at_name(const char* path, size_t len, PathText& out) noexcept;

// The path that dirfd and path name together: path itself when it is absolute or dirfd is
// AT_FDCWD (a relative path stays relative), else the directory's path, "/", and path.
// False for a null or empty path or an unreadable directory descriptor. dir_path(fd, out)
// looks up the directory's path; a template, so that the call stays direct and its stack
// use visible to the compiler.
template <typename DirPath>
bool resolve_at_path(int dirfd, const char* path, PathText& out, DirPath dir_path) noexcept {
  if (path == nullptr || path[0] == '\0') return false;
  size_t len = c_length(path);
  if (dirfd == AT_FDCWD || path[0] == '/') return utf8_text(path, len, out) && out.len > 0;
  // The directory's name goes straight into out and the path behind it: one buffer.
  if (!dir_path(dirfd, out)) return false;
  if (out.len == 0) return utf8_text(path, len, out);
  return append_at_name(path, len, out);
}

inline bool resolve_at_path(int dirfd, const char* path, PathText& out) noexcept {
  return resolve_at_path(dirfd, path, out,
                         [](int fd, PathText& dir) noexcept { return fd_path(fd, dir); });
}

}  // namespace drel::guest
