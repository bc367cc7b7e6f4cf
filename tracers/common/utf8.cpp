#include "utf8.h"

#include "utf8_sequence.h"

#include <cstddef>
#include <cstdint>

namespace drel {
namespace {

size_t sequence_length(std::string_view bytes, size_t i, size_t* bad) {
  return utf8_sequence_length(reinterpret_cast<const unsigned char*>(bytes.data()) + i,
                              bytes.size() - i, bad);
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
