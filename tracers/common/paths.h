// Small operations on path strings the launcher and the tools share.
#pragma once

#include <string>
#include <string_view>

namespace drel {

// Whether a path names something (links followed), as stat sees it.
bool path_exists(const std::string& path);

// dir + "/" + name, with no second "/" after a dir that ends in one.
std::string join_path(std::string_view dir, std::string_view name);

}  // namespace drel
