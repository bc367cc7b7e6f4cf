// Validation and lossy conversion of bytes from the tracee and from /proc.
#include "common/utf8.h"

#include <gtest/gtest.h>

namespace drel {
namespace {

struct Bytes {
  std::string name;
  std::string in;
  bool valid;
  std::string lossy;
};

class Utf8 : public testing::TestWithParam<Bytes> {};

TEST_P(Utf8, ValidatesAndReplaces) {
  const Bytes& b = GetParam();
  EXPECT_EQ(is_valid_utf8(b.in), b.valid);
  std::string out = "pre:";
  append_utf8_lossy(b.in, out);
  EXPECT_EQ(out, "pre:" + b.lossy);
}

#define R "\xEF\xBF\xBD"
INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8,
    testing::Values(Bytes{"ascii", "/usr/bin", true, "/usr/bin"},
                    Bytes{"two_three_four", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true,
                          "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
                    Bytes{"lone_continuation", "a\x80z", false, "a" R "z"},
                    Bytes{"overlong_slash", "\xC0\xAF", false, R R},
                    Bytes{"overlong_three", "\xE0\x80\xAF", false, R R R},
                    Bytes{"surrogate", "\xED\xA0\x80", false, R R R},
                    Bytes{"above_max", "\xF4\x90\x80\x80", false, R R R R},
                    Bytes{"truncated_at_end", "ab\xE2\x82", false, "ab" R},
                    Bytes{"truncated_before_ascii", "\xF0\x9F\x98z", false, R "z"},
                    Bytes{"ff_byte", "\xFF/", false, R "/"},
                    Bytes{"highest", "\xF4\x8F\xBF\xBF", true, "\xF4\x8F\xBF\xBF"}),
    [](const auto& info) { return info.param.name; });
#undef R

}  // namespace
}  // namespace drel
