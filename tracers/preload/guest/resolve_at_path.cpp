#include "preload/guest/resolve_at_path.h"

#include <fcntl.h>

#include <cstring>

#include "preload/guest/fd_path.h"

namespace drel::guest {

bool resolve_at_path(int dirfd, const char* path, PathText& out,
                     bool (*dir_path)(int, PathText&) noexcept) noexcept {
  if (path == nullptr || path[0] == '\0') return false;
  size_t len = c_length(path);
  if (dirfd == AT_FDCWD || path[0] == '/') return utf8_text(path, len, out) && out.len > 0;
  // The directory's name goes straight into out and the path behind it: one buffer.
  if (!dir_path(dirfd, out)) return false;
  if (out.len == 0) return utf8_text(path, len, out);
  // The "/" goes in even after the root's "/": the launcher sees "//x" for x under "/".
  size_t total = out.len + 1 + len;
  if (total >= PathText::kCapacity) return false;
  out.bytes[out.len] = '/';
  memcpy(out.bytes + out.len + 1, path, len);
  return utf8_text_in_place(total, out);
}

}  // namespace drel::guest
