#include "preload/guest/resolve_at_path.h"

#include <cstring>

namespace drel::guest {

bool append_at_name(const char* path, size_t len, PathText& out) noexcept {
  size_t total = out.len + 1 + len;
  if (total >= PathText::kCapacity) return false;
  out.bytes[out.len] = '/';
  memcpy(out.bytes + out.len + 1, path, len);
  return utf8_text_in_place(total, out);
}

}  // namespace drel::guest
