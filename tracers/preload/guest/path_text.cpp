#include "preload/guest/path_text.h"

#include <cstring>

#include "common/utf8_sequence.h"

namespace drel::guest {
size_t c_length(const char* s) noexcept {
  size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

bool starts_with(const char* s, size_t n, const char* prefix) noexcept {
  size_t p = c_length(prefix);
  return n >= p && memcmp(s, prefix, p) == 0;
}

bool is_valid_utf8(const char* raw, size_t n) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(raw);
  size_t i = 0;
  while (i < n) {
    size_t prefix;
    size_t len = utf8_sequence_length(s + i, n - i, &prefix);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

bool utf8_text(const char* raw, size_t n, PathText& out) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(raw);
  size_t o = 0;
  size_t i = 0;
  while (i < n) {
    size_t prefix;
    size_t len = utf8_sequence_length(s + i, n - i, &prefix);
    if (len != 0) {
      if (o + len >= PathText::kCapacity) return false;
      memcpy(out.bytes + o, s + i, len);
      o += len;
      i += len;
    } else {
      if (o + 3 >= PathText::kCapacity) return false;
      out.bytes[o++] = static_cast<char>(0xef);
      out.bytes[o++] = static_cast<char>(0xbf);
      out.bytes[o++] = static_cast<char>(0xbd);
      i += prefix;
    }
  }
  out.bytes[o] = '\0';
  out.len = o;
  return true;
}

// Out of line so that the copy's buffer is on the stack only when a name is not UTF-8.
// Without a second buffer: the converted length is measured first; the raw bytes then move
// to the end of the buffer and are converted from there to the front. The text never grows
// by more than it does in total, so writing never overtakes reading.
static bool replace_invalid_in_place(size_t n, PathText& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.bytes);
  size_t out_len = 0;
  for (size_t i = 0; i < n;) {
    size_t prefix;
    size_t len = utf8_sequence_length(s + i, n - i, &prefix);
    out_len += len != 0 ? len : 3;
    i += len != 0 ? len : prefix;
  }
  if (out_len >= PathText::kCapacity) return false;
  const size_t shift = PathText::kCapacity - n;
  memmove(text.bytes + shift, text.bytes, n);
  const unsigned char* raw = reinterpret_cast<const unsigned char*>(text.bytes + shift);
  size_t o = 0;
  for (size_t i = 0; i < n;) {
    size_t prefix;
    size_t len = utf8_sequence_length(raw + i, n - i, &prefix);
    if (len != 0) {
      memmove(text.bytes + o, raw + i, len);
      o += len;
      i += len;
    } else {
      text.bytes[o++] = static_cast<char>(0xef);
      text.bytes[o++] = static_cast<char>(0xbf);
      text.bytes[o++] = static_cast<char>(0xbd);
      i += prefix;
    }
  }
  text.bytes[o] = '\0';
  text.len = o;
  return true;
}

bool utf8_text_in_place(size_t n, PathText& text) noexcept {
  if (n >= PathText::kCapacity) return false;
  if (!is_valid_utf8(text.bytes, n)) return replace_invalid_in_place(n, text);
  text.bytes[n] = '\0';
  text.len = n;
  return true;
}

bool prepend_dir(const char* dir, size_t dir_len, PathText& out) noexcept {
  size_t total = dir_len + 1 + out.len;
  if (total >= PathText::kCapacity) return false;
  memmove(out.bytes + dir_len + 1, out.bytes, out.len + 1);
  memcpy(out.bytes, dir, dir_len);
  out.bytes[dir_len] = '/';
  out.len = total;
  return true;
}

bool join_path(const char* dir, size_t dir_len, const char* name, size_t name_len,
               bool always_slash, PathText& out) noexcept {
  bool slash = always_slash || dir_len == 0 || dir[dir_len - 1] != '/';
  size_t total = dir_len + (slash ? 1 : 0) + name_len;
  if (total >= PathText::kCapacity) return false;
  memmove(out.bytes, dir, dir_len);
  size_t o = dir_len;
  if (slash) out.bytes[o++] = '/';
  memcpy(out.bytes + o, name, name_len);
  o += name_len;
  out.bytes[o] = '\0';
  out.len = o;
  return true;
}

}  // namespace drel::guest
