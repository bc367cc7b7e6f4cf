#include "common/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "common/unique_fd.h"

namespace drel {

bool path_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

Result<std::string> read_whole_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return Error::os(errno);
  return read_to_end(fd.get());
}

Result<std::string> read_to_end(int fd) {
  std::string bytes;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return bytes;
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::os(errno);
    }
    bytes.append(buf, static_cast<size_t>(n));
  }
}

Result<std::string> read_link(const std::string& path) {
  std::string buf(PATH_MAX, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) {
      const int err = errno;
      Error error = Error::os(err);
      errno = err;  // for a caller that words some errors itself
      return error;
    }
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);  // the target may have been cut short: try again, larger
  }
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace drel
