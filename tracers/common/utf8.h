// UTF-8 checks and the lossy conversion used wherever operating-system bytes become report text.
#pragma once

#include <string>
#include <string_view>

namespace drel {

bool is_valid_utf8(std::string_view bytes);

// Invalid sequences become U+FFFD, one per maximal subpart (the WHATWG / Unicode "best
// practice" rule), so the same input always maps to the same text.
std::string lossy_utf8(std::string_view bytes);

// The same conversion appended to `out`, so hot paths can reuse one buffer.
void append_utf8_lossy(std::string_view bytes, std::string& out);

}  // namespace drel
