#include "preflight/current_executable.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>

namespace drel {

Result<std::string> current_executable_path() {
  std::string buf(PATH_MAX, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) {
      if (errno == ENOENT) return Error("no /proc/self/exe available. Is /proc mounted?");
      return Error::os(errno);
    }
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);  // the link may have been cut short: try again, larger
  }
}

}  // namespace drel
