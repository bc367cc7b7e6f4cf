#include "preload/guest/open_path.h"

#include <unistd.h>

#include <cstdlib>

namespace drel::guest {

namespace {

// Kept out of open_path's frame: the second path buffer is needed only when realpath failed,
// and threads with the smallest stacks should not pay for it on every open.
[[gnu::noinline]] bool joined_to_cwd(const char* path, size_t len, PathText& out) {
  PathText joined;
  if (getcwd(joined.bytes, sizeof joined.bytes) == nullptr) return utf8_text(path, len, out);
  if (!join_path(joined.bytes, c_length(joined.bytes), path, len, false, joined)) return false;
  if (realpath(joined.bytes, out.bytes) != nullptr)
    return utf8_text_in_place(c_length(out.bytes), out);
  return utf8_text(joined.bytes, joined.len, out);
}

}  // namespace

bool open_path(const char* path, PathText& out, bool* canonical) noexcept {
  if (canonical != nullptr) *canonical = false;
  if (path == nullptr || path[0] == '\0') return false;
  size_t len = c_length(path);
  if (path[0] == '/') return utf8_text(path, len, out);

  // realpath writes straight into out: no second path buffer on the usual road.
  static_assert(sizeof out.bytes >= PATH_MAX);
  if (realpath(path, out.bytes) != nullptr) {
    if (canonical != nullptr) *canonical = true;
    return utf8_text_in_place(c_length(out.bytes), out);
  }
  return joined_to_cwd(path, len, out);
}

}  // namespace drel::guest
