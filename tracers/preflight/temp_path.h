// Names of the preflight's temporary files: $TMPDIR (or /tmp) / drel-<prefix>-<pid>-<ns><ext>.
#pragma once

#include <sys/types.h>

#include <string>

namespace drel {

// The path as raw bytes; it holds whatever TMPDIR holds.
std::string preflight_temp_path(const std::string& prefix, const std::string& extension);

// The same with its inputs given; nanoseconds is the clock's sub-second part.
std::string format_temp_path(const std::string& dir, const std::string& prefix, pid_t pid,
                             long nanoseconds, const std::string& extension);

}  // namespace drel
