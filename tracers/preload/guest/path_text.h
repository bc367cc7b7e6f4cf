// Paths as UTF-8 text in fixed buffers, so the reporting path never allocates.
#pragma once

#include <climits>
#include <cstddef>

namespace drel::guest {

// One path, NUL-terminated so it can be handed back to the C library. The length comes first:
// a short path then touches one page only.
struct PathText {
  static constexpr size_t kCapacity = PATH_MAX;
  size_t len;
  char bytes[kCapacity];
};

// Copies raw bytes as UTF-8 text, each invalid sequence replaced by U+FFFD. False when the
// text does not fit.
bool utf8_text(const char* raw, size_t n, PathText& out) noexcept;

bool is_valid_utf8(const char* raw, size_t n) noexcept;

// Makes the first n raw bytes already in text.bytes into text, in place when they are valid
// UTF-8 (the common case, needing no second buffer).
bool utf8_text_in_place(size_t n, PathText& text) noexcept;

// Puts dir and one "/" in front of the text already in out. False when it does not fit.
bool prepend_dir(const char* dir, size_t dir_len, PathText& out) noexcept;

// dir + "/" + name. With always_slash false no "/" is added after a dir that ends in one.
// False when the result does not fit.
bool join_path(const char* dir, size_t dir_len, const char* name, size_t name_len,
               bool always_slash, PathText& out) noexcept;

bool starts_with(const char* s, size_t n, const char* prefix) noexcept;

size_t c_length(const char* s) noexcept;

}  // namespace drel::guest
