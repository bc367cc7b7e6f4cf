// Checks the shape <head><nanoseconds><tail> of a temporary path, whose nanoseconds cannot be
// known in advance: decimal, no leading zero, below one second.
#pragma once

#include <string>

namespace drel::test {

inline bool has_temp_name_shape(const std::string& path, const std::string& head,
                                const std::string& tail) {
  if (path.size() < head.size() + tail.size() + 1) return false;
  if (path.compare(0, head.size(), head) != 0) return false;
  if (path.compare(path.size() - tail.size(), tail.size(), tail) != 0) return false;
  const std::string digits = path.substr(head.size(), path.size() - head.size() - tail.size());
  if (digits.size() > 9) return false;
  if (digits.size() > 1 && digits[0] == '0') return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace drel::test
