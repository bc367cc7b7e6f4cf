#include "preload/guest/fd_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "preload/guest/raw_syscall.h"

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

constexpr char kDeleted[] = " (deleted)";
constexpr size_t kDeletedLen = sizeof kDeleted - 1;

// "#<inode>" as the last component: the kernel's name for a file made with O_TMPFILE, which
// never had a name of its own (nor has a memfd, "/memfd:<label>").
bool is_anonymous_name(const char* path, size_t len, ino_t ino) {
  size_t start = len;
  while (start > 0 && path[start - 1] != '/') --start;
  if (start + 1 >= len || path[start] != '#') return false;
  ino_t value = 0;
  for (size_t i = start + 1; i < len; ++i) {
    if (path[i] < '0' || path[i] > '9') return false;
    value = value * 10 + static_cast<ino_t>(path[i] - '0');
  }
  return value == ino;
}

// The kernel appends " (deleted)" to the name of a file whose last link is gone: the file
// had the name without it. Strips it when fstat confirms no link is left (a file may really
// be called "x (deleted)"); false for a file that never had a name.
bool strip_deleted_marker(int fd, size_t& len, const char* path) {
  if (len <= kDeletedLen || memcmp(path + len - kDeletedLen, kDeleted, kDeletedLen) != 0)
    return true;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_nlink != 0) return true;
  len -= kDeletedLen;
  return !is_anonymous_name(path, len, st.st_ino) && !starts_with(path, len, "/memfd:");
}

}  // namespace

bool fd_path(int fd, PathText& out) noexcept {
  if (fd < 0) return false;
  char link[32];
  proc_fd_link(fd, link);
  ssize_t n = own_readlink(link, out.bytes, sizeof out.bytes);
  if (n < 0 || static_cast<size_t>(n) >= sizeof out.bytes) return false;
  auto len = static_cast<size_t>(n);
  if (starts_with(out.bytes, len, "pipe:") || starts_with(out.bytes, len, "socket:") ||
      starts_with(out.bytes, len, "anon_inode:"))
    return false;
  if (!strip_deleted_marker(fd, len, out.bytes)) return false;
  return utf8_text_in_place(len, out);
}

}  // namespace drel::guest
