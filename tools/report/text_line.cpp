#include "text_line.h"

#include <cstdio>

namespace drel::report {
namespace {

bool continues_character(char c) {
  return (static_cast<unsigned char>(c) & 0xc0) == 0x80;
}

}  // namespace

std::string printable(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (b < 0x20 || b == 0x7f) {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", b);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

std::string cut_to_width(std::string_view line, size_t width) {
  if (width == 0) return std::string(line);
  size_t chars = 0;
  size_t keep = 0;  // byte length of the first width - 1 characters
  for (size_t i = 0; i < line.size(); ++i) {
    if (continues_character(line[i])) continue;
    if (chars == width - 1) keep = i;
    if (++chars > width) return std::string(line.substr(0, keep)) + "…";
  }
  return std::string(line);
}

}  // namespace drel::report
