#include "preload/guest/open_classification.h"

#include <fcntl.h>

namespace drel::guest {
namespace {

bool is_tmpfile(int flags) { return (flags & O_TMPFILE) == O_TMPFILE; }

}  // namespace

OpenAccess classify_open(int flags) noexcept {
  OpenAccess access{};
  access.read = (flags & (O_TRUNC | O_WRONLY)) == 0;
  int mode = flags & O_ACCMODE;
  access.write = (flags & (O_CREAT | O_TRUNC | O_APPEND)) != 0 || is_tmpfile(flags) ||
                 mode == O_WRONLY || mode == O_RDWR;
  return access;
}

bool open_needs_mode(int flags) noexcept { return (flags & O_CREAT) != 0 || is_tmpfile(flags); }

}  // namespace drel::guest
