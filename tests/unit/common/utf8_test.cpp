// Lossy conversion: one U+FFFD per maximal subpart of an ill-formed sequence.
#include "common/utf8.h"

#include <gtest/gtest.h>

#include <string>

#include "support/case_names.h"

namespace drel {
namespace {

const std::string R = "\xef\xbf\xbd";  // U+FFFD

struct Utf8Case {
  const char* name;
  std::string input;
  std::string lossy;
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class Utf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, LossyAndValidity) {
  const auto& c = GetParam();
  EXPECT_EQ(lossy_utf8(c.input), c.lossy);
  EXPECT_EQ(is_valid_utf8(c.input), c.input == c.lossy);
  EXPECT_TRUE(is_valid_utf8(lossy_utf8(c.input)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8,
    ::testing::Values(
        Utf8Case{"empty", "", ""}, Utf8Case{"ascii", "/tmp/a b", "/tmp/a b"},
        Utf8Case{"embedded_nul", std::string("a\0b", 3), std::string("a\0b", 3)},
        Utf8Case{"two_byte", "caf\xc3\xa9", "caf\xc3\xa9"},
        Utf8Case{"four_byte", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
        Utf8Case{"max_scalar", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        Utf8Case{"lone_continuation", "a\x80z", "a" + R + "z"},
        Utf8Case{"two_continuations", "\x80\xbf", R + R},
        Utf8Case{"overlong_c0", "\xc0\xaf", R + R},
        Utf8Case{"overlong_e0", "\xe0\x80\xaf", R + R + R},
        Utf8Case{"surrogate", "\xed\xa0\x80", R + R + R},
        Utf8Case{"above_max", "\xf4\x90\x80\x80", R + R + R + R},
        Utf8Case{"f5_lead", "\xf5\x80", R + R},
        Utf8Case{"truncated_three_at_end", "ab\xe2\x82", "ab" + R},
        Utf8Case{"truncated_four_then_ascii", "\xf0\x9f\x98z", R + "z"},
        Utf8Case{"truncated_then_valid", "\xe2\x82\xc3\xa9", R + "\xc3\xa9"},
        Utf8Case{"latin1_word", "na\xefve", "na" + R + "ve"},
        Utf8Case{"ff_byte", "\xff", R}),
    test::ByName());

}  // namespace
}  // namespace drel
