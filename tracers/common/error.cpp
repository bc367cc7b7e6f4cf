#include "error.h"

#include <cstring>

namespace drel {

std::string os_error_text(int errnum) {
  return std::string(std::strerror(errnum)) + " (os error " + std::to_string(errnum) + ")";
}

Error Error::os(int errnum) { return Error(os_error_text(errnum)); }

Error Error::os(std::string message, int errnum) {
  Error e(std::move(message));
  e.chain_.push_back(os_error_text(errnum));
  return e;
}

Error Error::context(std::string outer) && {
  chain_.insert(chain_.begin(), std::move(outer));
  return std::move(*this);
}

std::string Error::text() const {
  std::string out = chain_.front();
  for (size_t i = 1; i < chain_.size(); ++i) {
    out += ": ";
    out += chain_[i];
  }
  return out;
}

std::string Error::printed(const std::string& program) const {
  std::string out = program + ": " + text() + "\n";
  if (!note_.empty()) out += program + ": " + note_ + "\n";
  return out;
}

}  // namespace drel
