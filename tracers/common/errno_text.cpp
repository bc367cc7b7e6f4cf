#include "errno_text.h"

#include <string.h>

#include <algorithm>
#include <iterator>
#include <string_view>

namespace drel {
namespace {

struct ErrnoText {
  int number;
  std::string_view text;
};

// Generated at build time from the comments of the kernel's errno headers, sorted by number.
constexpr ErrnoText kKernelTexts[] = {
#include "errno_table.inc"
};

}  // namespace

std::string errno_name(int e) {
  if (const char* name = strerrorname_np(e)) return name;
  return std::to_string(e);
}

std::string errno_description(int e) {
  const auto it = std::lower_bound(std::begin(kKernelTexts), std::end(kKernelTexts), e,
                                   [](const ErrnoText& t, int n) { return t.number < n; });
  if (it != std::end(kKernelTexts) && it->number == e) return std::string(it->text);
  if (strerrordesc_np(e) != nullptr) return strerrordesc_np(e);
  return "Unknown error " + std::to_string(e);
}

std::string errno_message(int e) { return errno_name(e) + ": " + errno_description(e); }

}  // namespace drel
