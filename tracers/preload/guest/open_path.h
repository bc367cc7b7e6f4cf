// The absolute path reported for an open.
#pragma once

#include "preload/guest/path_text.h"

namespace drel::guest {

// An absolute path is taken as written; a relative one is resolved against the current
// directory with links followed. False for a null or empty path. canonical, when given, is
// set when the result came straight from realpath, and so is the kernel's own name for the file.
bool open_path(const char* path, PathText& out, bool* canonical = nullptr) noexcept;

}  // namespace drel::guest
