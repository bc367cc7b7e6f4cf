#include "shell_quote.h"

#include <cstdio>

namespace drel::report {
namespace {

bool is_safe(unsigned char b) {
  if (b >= 0x80) return true;  // reports hold UTF-8: letters of other scripts need no quotes
  if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9')) return true;
  switch (b) {
    case '_':
    case '-':
    case '.':
    case '/':
    case ':':
    case '=':
    case '@':
    case '%':
    case '+':
    case ',':
      return true;
    default:
      return false;
  }
}

bool is_control(unsigned char b) {
  return b < 0x20 || b == 0x7f;
}

std::string ansi_c_quoted(std::string_view arg) {
  std::string out = "$'";
  for (char c : arg) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\'':
        out += "\\'";
        break;
      default:
        if (is_control(b)) {
          char buf[5];
          std::snprintf(buf, sizeof buf, "\\x%02x", b);
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "'";
}

}  // namespace

std::string shell_quote(std::string_view arg) {
  if (arg.empty()) return "''";
  bool safe = true;
  for (char c : arg) {
    const auto b = static_cast<unsigned char>(c);
    if (is_control(b)) return ansi_c_quoted(arg);
    safe = safe && is_safe(b);
  }
  if (safe) return std::string(arg);
  // "it's" reads better than 'it'\''s'; inside double quotes only $ ` " \ (and ! in an
  // interactive bash) are special.
  if (arg.find('\'') != std::string_view::npos &&
      arg.find_first_of("$`\"\\!") == std::string_view::npos)
    return "\"" + std::string(arg) + "\"";
  std::string out = "'";
  for (char c : arg) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::string shell_join(const std::vector<std::string>& argv) {
  std::string out;
  for (const auto& a : argv) {
    if (!out.empty()) out += ' ';
    out += shell_quote(a);
  }
  return out;
}

}  // namespace drel::report
