#include "preload/guest/fd_path.h"

#include <unistd.h>

namespace drel::guest {
namespace {

// "/proc/self/fd/<fd>" without printf, which is not safe in a signal handler.
void proc_fd_link(int fd, char* out) {
  static constexpr char kPrefix[] = "/proc/self/fd/";
  size_t o = 0;
  for (size_t i = 0; kPrefix[i] != '\0'; ++i) out[o++] = kPrefix[i];
  char digits[12];
  size_t n = 0;
  unsigned value = static_cast<unsigned>(fd);
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out[o++] = digits[--n];
  out[o] = '\0';
}

}  // namespace

bool fd_path(int fd, PathText& out) noexcept {
  if (fd < 0) return false;
  char link[32];
  proc_fd_link(fd, link);
  ssize_t n = readlink(link, out.bytes, sizeof out.bytes);
  if (n < 0 || static_cast<size_t>(n) >= sizeof out.bytes) return false;
  auto len = static_cast<size_t>(n);
  if (starts_with(out.bytes, len, "pipe:") || starts_with(out.bytes, len, "socket:") ||
      starts_with(out.bytes, len, "anon_inode:"))
    return false;
  return utf8_text_in_place(len, out);
}

}  // namespace drel::guest
