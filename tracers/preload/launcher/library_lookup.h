// Where the interposition library is: DREL_PRELOAD_LIB, else beside the running executable.
#pragma once

#include <optional>
#include <string>

namespace drel::launcher {

// The whole search, from the environment and /proc/self/exe.
std::optional<std::string> find_preload_library();

// The same search with its inputs given: the override's raw value (if set) and the path of
// the executable (if known).
std::optional<std::string> find_preload_library(const std::optional<std::string>& override_value,
                                                const std::optional<std::string>& exe_path);

// The two exact names, then the first directory entry that looks like a build of the library.
std::optional<std::string> find_preload_library_in(const std::string& dir);

}  // namespace drel::launcher
