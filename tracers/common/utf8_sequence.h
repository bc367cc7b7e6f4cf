// The one UTF-8 scanner. Header-only and free of the C++ runtime, so the interposition
// library uses it as well as the tools.
#pragma once

#include <stddef.h>

namespace drel {

// Length of the well-formed sequence starting at s[0] (n bytes available, n >= 1), or 0 when
// it is ill-formed; *bad is then the length of its maximal subpart (at least 1), so that one
// U+FFFD replaces it (the Unicode "best practice" rule).
constexpr size_t utf8_sequence_length(const unsigned char* s, size_t n, size_t* bad) noexcept {
  const unsigned char b0 = s[0];
  *bad = 1;
  if (b0 < 0x80) return 1;
  size_t need = 0;
  unsigned char lo = 0x80, hi = 0xbf;  // allowed range of the second byte
  if (b0 >= 0xc2 && b0 <= 0xdf) {
    need = 2;
  } else if (b0 >= 0xe0 && b0 <= 0xef) {
    need = 3;
    if (b0 == 0xe0) lo = 0xa0;  // overlong
    if (b0 == 0xed) hi = 0x9f;  // surrogates
  } else if (b0 >= 0xf0 && b0 <= 0xf4) {
    need = 4;
    if (b0 == 0xf0) lo = 0x90;  // overlong
    if (b0 == 0xf4) hi = 0x8f;  // above U+10FFFF
  } else {
    return 0;
  }
  for (size_t k = 1; k < need; ++k) {
    if (k >= n) return 0;
    const unsigned char min = k == 1 ? lo : 0x80;
    const unsigned char max = k == 1 ? hi : 0xbf;
    if (s[k] < min || s[k] > max) return 0;
    *bad = k + 1;
  }
  return need;
}

}  // namespace drel
