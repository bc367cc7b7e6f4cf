// Paths given relative to a directory descriptor (the *at family).
#pragma once

#include "preload/guest/fd_path.h"
#include "preload/guest/path_text.h"

namespace drel::guest {

// The path that dirfd and path name together: path itself when it is absolute or dirfd is
// AT_FDCWD (a relative path stays relative), else the directory's path, "/", and path.
// False for a null or empty path or an unreadable directory descriptor. dir_path looks up
// the directory's path.
bool resolve_at_path(int dirfd, const char* path, PathText& out,
                     bool (*dir_path)(int, PathText&) noexcept = fd_path) noexcept;

}  // namespace drel::guest
