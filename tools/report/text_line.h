// Text from a report made safe for one terminal line, and cut to a width.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace drel::report {

// Newlines, tabs, other control bytes and backslashes as escapes (\n, \t, \x1b, \\), so that
// one path or argument stays on one line and cannot move the cursor.
std::string printable(std::string_view text);

// The line itself when it has at most `width` characters (UTF-8 code points), otherwise its
// first width - 1 characters and "…". A width of 0 means no limit.
std::string cut_to_width(std::string_view line, size_t width);

}  // namespace drel::report
