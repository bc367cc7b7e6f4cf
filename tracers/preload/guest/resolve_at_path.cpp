#include "preload/guest/resolve_at_path.h"

#include <fcntl.h>

#include "preload/guest/fd_path.h"

namespace drel::guest {

bool resolve_at_path(int dirfd, const char* path, PathText& out,
                     bool (*dir_path)(int, PathText&) noexcept) noexcept {
  if (path == nullptr) return false;
  if (!utf8_text(path, c_length(path), out) || out.len == 0) return false;
  if (dirfd == AT_FDCWD || out.bytes[0] == '/') return true;
  PathText dir;
  if (!dir_path(dirfd, dir)) return false;
  if (dir.len == 0) return true;
  // The "/" goes in even after the root's "/": the launcher sees "//x" for x under "/".
  return prepend_dir(dir.bytes, dir.len, out);
}

}  // namespace drel::guest
