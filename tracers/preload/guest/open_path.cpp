#include "preload/guest/open_path.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

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

// out holds a directory; the name goes after it, and the whole becomes text.
bool append_name(const char* name, size_t name_len, PathText& out) {
  return join_path(out.bytes, c_length(out.bytes), name, name_len, false, out) &&
         utf8_text_in_place(out.len, out);
}

// The current directory, then the name unresolved; the name as given without a directory.
bool under_cwd(const char* path, size_t len, PathText& out) {
  if (getcwd(out.bytes, sizeof out.bytes) == nullptr) return utf8_text(path, len, out);
  return append_name(path, len, out);
}

// Resolves the directory part of a relative name (a copy of it, up to the last "/"), then
// puts the last component after it.
[[gnu::noinline]] bool resolved_dir_then_name(const char* path, size_t len, size_t slash,
                                              PathText& out) {
  PathText dir;
  if (slash >= sizeof dir.bytes) return false;
  memcpy(dir.bytes, path, slash);
  dir.bytes[slash] = '\0';
  if (realpath(dir.bytes, out.bytes) == nullptr) return under_cwd(path, len, out);
  return append_name(path + slash + 1, len - slash - 1, out);
}

}  // namespace

bool name_path(const char* path, PathText& out) noexcept {
  if (path == nullptr || path[0] == '\0') return false;
  size_t len = c_length(path);
  if (path[0] == '/') return utf8_text(path, len, out);
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) return under_cwd(path, len, out);
  return resolved_dir_then_name(path, len, static_cast<size_t>(slash - path), out);
}

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
