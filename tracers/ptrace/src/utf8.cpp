#include "utf8.h"

#include <cstddef>
#include <cstdint>

namespace drel {
namespace {

// Length of the well-formed sequence at bytes[i], or 0 if it is ill-formed; `*bad` receives the
// length of the maximal ill-formed prefix (at least 1) to be replaced by one U+FFFD.
std::size_t sequence_length(std::string_view bytes, std::size_t i, std::size_t* bad) {
  const auto at = [&](std::size_t k) { return static_cast<uint8_t>(bytes[k]); };
  const uint8_t b0 = at(i);
  *bad = 1;
  if (b0 < 0x80) return 1;
  std::size_t need;
  uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < need; ++k) {
    if (i + k >= bytes.size()) {
      *bad = k;
      return 0;
    }
    const uint8_t b = at(i + k);
    const uint8_t l = k == 1 ? lo : 0x80;
    const uint8_t h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) {
      *bad = k;
      return 0;
    }
  }
  return need;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<uint8_t>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t bad;
    const std::size_t len = sequence_length(bytes, i, &bad);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

void append_utf8_lossy(std::string_view bytes, std::string& out) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t bad;
    const std::size_t len = sequence_length(bytes, i, &bad);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
    } else {
      out.append(bytes.data() + i, len);
      i += len;
    }
  }
}

}  // namespace drel
