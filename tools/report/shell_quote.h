// Arguments written so that a POSIX shell (or bash, for $'…') reads them back unchanged.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace drel::report {

// As is when every byte is safe (letters, digits, non-ASCII, and _ - . / : = @ % + ,);
// "…" for one holding single quotes but nothing special inside double quotes; '…' otherwise;
// $'…' with escapes when the argument holds control characters, so that it stays on one line.
std::string shell_quote(std::string_view arg);

// The argument vector as one command line.
std::string shell_join(const std::vector<std::string>& argv);

}  // namespace drel::report
