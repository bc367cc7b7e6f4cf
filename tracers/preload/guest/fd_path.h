// The path of an open descriptor, as the kernel names it under /proc/self/fd.
#pragma once

#include "preload/guest/path_text.h"

namespace drel::guest {

// False for a negative or unreadable descriptor, and for pipes, sockets and anonymous
// inodes, which are not files, and for files that never had a name (O_TMPFILE, memfd). A
// removed file is named without the kernel's " (deleted)" suffix.
bool fd_path(int fd, PathText& out) noexcept;

}  // namespace drel::guest
