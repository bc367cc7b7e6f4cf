#include "utf8.h"

#include <cstddef>
#include <cstdint>

namespace drel {
namespace {

// Length of the well-formed sequence starting at bytes[i], or 0 when it is ill-formed; in
// that case *bad is the length of its maximal subpart (at least 1).
size_t sequence_length(std::string_view bytes, size_t i, size_t* bad) {
  const auto b0 = static_cast<uint8_t>(bytes[i]);
  *bad = 1;
  if (b0 < 0x80) return 1;
  size_t need;
  uint8_t lo = 0x80, hi = 0xbf;  // allowed range of the second byte
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
    if (i + k >= bytes.size()) return 0;
    const auto b = static_cast<uint8_t>(bytes[i + k]);
    const uint8_t min = k == 1 ? lo : 0x80;
    const uint8_t max = k == 1 ? hi : 0xbf;
    if (b < min || b > max) return 0;
    *bad = k + 1;
  }
  return need;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  size_t i = 0, bad = 0;
  while (i < bytes.size()) {
    const size_t n = sequence_length(bytes, i, &bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

void append_utf8_lossy(std::string_view bytes, std::string& out) {
  size_t i = 0, bad = 0;
  while (i < bytes.size()) {
    const size_t n = sequence_length(bytes, i, &bad);
    if (n == 0) {
      out += "\xef\xbf\xbd";
      i += bad;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  append_utf8_lossy(bytes, out);
  return out;
}

}  // namespace drel
