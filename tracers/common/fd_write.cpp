#include "common/fd_write.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace drel {

int write_all(int fd, const void* data, size_t size) noexcept {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

void write_stderr(const char* text) noexcept {
  const int saved = errno;  // a handler must leave errno as it found it
  (void)write_all(STDERR_FILENO, text, std::strlen(text));
  errno = saved;
}

}  // namespace drel
