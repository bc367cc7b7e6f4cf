// The absolute path reported for an open.
#pragma once

#include "preload/guest/path_text.h"

namespace drel::guest {

// An absolute path is taken as written; a relative one is resolved against the current
// directory with links followed. False for a null or empty path. canonical, when given, is
// set when the result came straight from realpath, and so is the kernel's own name for the file.
bool open_path(const char* path, PathText& out, bool* canonical = nullptr) noexcept;

// The absolute path reported for a name a call creates, changes or removes: an absolute path
// as written; a relative one with only its directory part resolved (links followed), since the
// last component may be gone already or be a link that must not be followed.
bool name_path(const char* path, PathText& out) noexcept;

}  // namespace drel::guest
