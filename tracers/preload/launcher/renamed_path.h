// Where a path is after a rename: the launcher follows renames by the names the run gave, not by
// what the file system holds afterwards.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace drel::launcher {

// The name without trailing "/" (a directory may be renamed as "d/"); "/" stays "/".
std::string_view without_trailing_slashes(std::string_view path);

// The name path has once from was renamed to to: to for from itself, to followed by the rest
// for a path inside the directory from; nothing for any other path. The three are taken as
// written (no trailing "/" expected, nothing resolved).
std::optional<std::string> renamed_path(std::string_view path, std::string_view from,
                                        std::string_view to);

}  // namespace drel::launcher
