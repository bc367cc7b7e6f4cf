#include "preload/guest/open_path.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "preload/guest/fd_path.h"
#include "preload/guest/raw_syscall.h"

namespace drel::guest {

namespace {

// out holds a directory; the name goes after it, and the whole becomes text.
bool append_name(const char* name, size_t name_len, PathText& out) {
  return join_path(out.bytes, c_length(out.bytes), name, name_len, false, out) &&
         utf8_text_in_place(out.len, out);
}

// The current directory, then the name unresolved; the name as given without a directory.
bool under_cwd(const char* path, size_t len, PathText& out) {
  if (raw_syscall(SYS_getcwd, reinterpret_cast<long>(out.bytes), sizeof out.bytes) <= 0 ||
      out.bytes[0] != '/')
    return utf8_text(path, len, out);
  return append_name(path, len, out);
}

// The kernel's name of the first slash bytes of path, a directory, links followed. The part
// is copied into out to be opened (O_PATH, by a raw call: openat is wrapped), and the name of
// the new descriptor is read back into out over it: one buffer, no allocation.
bool resolved_dir(const char* path, size_t slash, PathText& out) {
  if (slash >= sizeof out.bytes) return false;
  memcpy(out.bytes, path, slash);
  out.bytes[slash] = '\0';
  long fd = raw_syscall(SYS_openat, AT_FDCWD, reinterpret_cast<long>(out.bytes),
                        O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool named = fd_path(static_cast<int>(fd), out);
  close_own(static_cast<int>(fd));
  return named;
}

bool ends_with_deleted(const PathText& text) {
  static constexpr char kDeleted[] = " (deleted)";
  constexpr size_t k = sizeof kDeleted - 1;
  return text.len >= k && memcmp(text.bytes + text.len - k, kDeleted, k) == 0;
}

}  // namespace

bool name_path(const char* path, PathText& out) noexcept {
  if (path == nullptr || path[0] == '\0') return false;
  size_t len = c_length(path);
  if (path[0] == '/') return utf8_text(path, len, out);
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) return under_cwd(path, len, out);
  auto dir_len = static_cast<size_t>(slash - path);
  if (!resolved_dir(path, dir_len, out)) return under_cwd(path, len, out);
  return append_name(path + dir_len + 1, len - dir_len - 1, out);
}

bool open_path(const char* path, int fd, int flags, PathText& out, bool* canonical) noexcept {
  if (canonical != nullptr) *canonical = false;
  if (path == nullptr || path[0] == '\0') return false;
  size_t len = c_length(path);
  if (path[0] == '/') return utf8_text(path, len, out);
  // The kernel's name of the new descriptor is the name with links followed, as the open
  // followed them: one readlink into out, where realpath would walk every component and, with a
  // long working directory, allocate.
  bool tmpfile = (flags & O_TMPFILE) == O_TMPFILE;
  if (fd >= 0 && !tmpfile && fd_path(fd, out) && !ends_with_deleted(out)) {
    if (canonical != nullptr) *canonical = true;
    return true;
  }
  return under_cwd(path, len, out);
}

}  // namespace drel::guest
