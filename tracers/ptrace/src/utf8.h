// UTF-8 checks for bytes that come from the tracee or from /proc.
#pragma once

#include <string>
#include <string_view>

namespace drel {

bool is_valid_utf8(std::string_view bytes);

// Appends `bytes` to `out`, each maximal ill-formed subsequence replaced by U+FFFD.
void append_utf8_lossy(std::string_view bytes, std::string& out);

}  // namespace drel
