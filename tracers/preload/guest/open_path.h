// The absolute path reported for an open.
#pragma once

#include "preload/guest/path_text.h"

namespace drel::guest {

// An absolute path is taken as written. A relative one is the kernel's name of the new
// descriptor fd (links followed, as the open followed them; canonical is then set), or, when
// that cannot be had (no descriptor, an O_TMPFILE, a deleted file), the current directory
// joined with the path. False for a null or empty path. One path buffer, no allocation.
bool open_path(const char* path, int fd, int flags, PathText& out,
               bool* canonical = nullptr) noexcept;

// The absolute path reported for a name a call creates, changes or removes: an absolute path
// as written; a relative one with only its directory part resolved (links followed), since the
// last component may be gone already or be a link that must not be followed.
bool name_path(const char* path, PathText& out) noexcept;

}  // namespace drel::guest
