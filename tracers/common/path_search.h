// The names an execvp-style search tries for a command along a PATH value.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace drel {

// One candidate per entry of path_value, in order: entry + "/" + file (no doubled slash), and
// the bare file for an empty entry (the current directory). An empty value is one empty entry.
// The caller decides what an unset PATH means and handles a file that contains a slash.
std::vector<std::string> path_search_candidates(const std::string& file,
                                                std::string_view path_value);

}  // namespace drel
