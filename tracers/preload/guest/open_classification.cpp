#include "preload/guest/open_classification.h"

#include <fcntl.h>

namespace drel::guest {
namespace {

bool is_tmpfile(int flags) {
  return (flags & O_TMPFILE) == O_TMPFILE;
}

}  // namespace

OpenAccess classify_open(int flags) noexcept {
  OpenAccess access{};
  access.read = (flags & (O_TRUNC | O_WRONLY)) == 0;
  int mode = flags & O_ACCMODE;
  access.write = (flags & (O_CREAT | O_TRUNC | O_APPEND)) != 0 || is_tmpfile(flags) ||
                 mode == O_WRONLY || mode == O_RDWR;
  return access;
}

bool open_needs_mode(int flags) noexcept {
  return (flags & O_CREAT) != 0 || is_tmpfile(flags);
}

int stream_open_flags(const char* mode) noexcept {
  if (mode == nullptr) return -1;
  int access = 0;
  int extra = 0;
  switch (mode[0]) {
    case 'r':
      access = O_RDONLY;
      break;
    case 'w':
      access = O_WRONLY;
      extra = O_CREAT | O_TRUNC;
      break;
    case 'a':
      access = O_WRONLY;
      extra = O_CREAT | O_APPEND;
      break;
    default:
      return -1;
  }
  // The C library looks at no more than the first seven letters.
  for (int i = 1; i < 7 && mode[i] != '\0'; ++i) {
    if (mode[i] == '+') access = O_RDWR;
    if (mode[i] == 'x') extra |= O_EXCL;
    if (mode[i] == 'e') extra |= O_CLOEXEC;
  }
  return access | extra;
}

}  // namespace drel::guest
