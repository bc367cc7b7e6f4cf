#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "preload/guest/path_text.h"

namespace drel::guest {
namespace {

const std::string kReplacement = "\xef\xbf\xbd";

struct Utf8Case {
  const char* name;
  std::string raw;
  std::string text;
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class GuestUtf8Text : public testing::TestWithParam<Utf8Case> {};

TEST_P(GuestUtf8Text, InvalidSequencesBecomeReplacementCharacters) {
  const Utf8Case& c = GetParam();
  PathText out;
  ASSERT_TRUE(utf8_text(c.raw.data(), c.raw.size(), out));
  EXPECT_EQ(std::string(out.bytes, out.len), c.text);
  EXPECT_EQ(out.bytes[out.len], '\0');
  EXPECT_EQ(is_valid_utf8(c.raw.data(), c.raw.size()), c.raw == c.text);

  PathText in_place;
  memcpy(in_place.bytes, c.raw.data(), c.raw.size());
  ASSERT_TRUE(utf8_text_in_place(c.raw.size(), in_place));
  EXPECT_EQ(std::string(in_place.bytes, in_place.len), c.text);
  EXPECT_EQ(in_place.bytes[in_place.len], '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, GuestUtf8Text,
    testing::Values(
        Utf8Case{"ascii", "/tmp/a.txt", "/tmp/a.txt"},
        Utf8Case{"empty", "", ""},
        Utf8Case{"two_byte", "/caf\xc3\xa9", "/caf\xc3\xa9"},
        Utf8Case{"four_byte", "/\xf0\x9f\x98\x80", "/\xf0\x9f\x98\x80"},
        Utf8Case{"lone_ff", "/a\xff" "b", "/a" + kReplacement + "b"},
        Utf8Case{"truncated_at_end", "/\xe2\x82", "/" + kReplacement},
        Utf8Case{"truncated_in_middle", "a\xe2\x82z", "a" + kReplacement + "z"},
        Utf8Case{"overlong", "\xc0\xaf", kReplacement + kReplacement},
        Utf8Case{"surrogate", "\xed\xa0\x80", kReplacement + kReplacement + kReplacement},
        Utf8Case{"above_max", "\xf4\x90\x80\x80",
                 kReplacement + kReplacement + kReplacement + kReplacement},
        Utf8Case{"stray_continuation", "\x80x", kReplacement + "x"}),
    [](const testing::TestParamInfo<Utf8Case>& info) { return std::string(info.param.name); });

TEST(GuestUtf8Text, RefusesTextThatOutgrowsThePathBuffer) {
  PathText out;
  std::string fits(PathText::kCapacity - 1, 'a');
  EXPECT_TRUE(utf8_text(fits.data(), fits.size(), out));
  EXPECT_EQ(out.len, fits.size());
  std::string too_long(PathText::kCapacity, 'a');
  EXPECT_FALSE(utf8_text(too_long.data(), too_long.size(), out));
  // Each invalid byte triples in size.
  std::string grows(PathText::kCapacity / 2, '\xff');
  EXPECT_FALSE(utf8_text(grows.data(), grows.size(), out));
}

struct JoinCase {
  const char* dir;
  const char* name;
  bool always_slash;
  const char* joined;
};

void PrintTo(const JoinCase& c, std::ostream* os) { *os << c.dir << " + " << c.name << (c.always_slash ? " (always /)" : ""); }

class GuestJoinPath : public testing::TestWithParam<JoinCase> {};

TEST_P(GuestJoinPath, JoinsWithOneSlash) {
  const JoinCase& c = GetParam();
  PathText out;
  ASSERT_TRUE(join_path(c.dir, c_length(c.dir), c.name, c_length(c.name), c.always_slash, out));
  EXPECT_EQ(std::string(out.bytes, out.len), c.joined);
  EXPECT_EQ(out.bytes[out.len], '\0');
}

INSTANTIATE_TEST_SUITE_P(Cases, GuestJoinPath,
                         testing::Values(JoinCase{"/", "x", true, "//x"},
                                         JoinCase{"/a", "b", true, "/a/b"},
                                         JoinCase{"/a/", "b", true, "/a//b"},
                                         JoinCase{"/", "x", false, "/x"},
                                         JoinCase{"/a/", "b", false, "/a/b"},
                                         JoinCase{"/a", "b/c", false, "/a/b/c"}));

TEST(GuestJoinPath, JoinsInPlaceOverTheDirectory) {
  PathText buf;
  ASSERT_TRUE(utf8_text("/data", 5, buf));
  ASSERT_TRUE(join_path(buf.bytes, buf.len, "d.txt", 5, false, buf));
  EXPECT_EQ(std::string(buf.bytes, buf.len), "/data/d.txt");
}

TEST(GuestJoinPath, PrependsADirectoryWithOneSlash) {
  struct Case {
    const char* dir;
    const char* name;
    const char* joined;
  };
  for (Case c : {Case{"/", "x", "//x"}, Case{"/a/b", "c/d", "/a/b/c/d"}, Case{"/a/", "b", "/a//b"}}) {
    PathText out;
    ASSERT_TRUE(utf8_text(c.name, c_length(c.name), out));
    ASSERT_TRUE(prepend_dir(c.dir, c_length(c.dir), out));
    EXPECT_EQ(std::string(out.bytes, out.len), c.joined);
    EXPECT_EQ(out.bytes[out.len], '\0');
  }
  std::string dir(PathText::kCapacity - 3, 'd');
  PathText out;
  ASSERT_TRUE(utf8_text("x", 1, out));
  EXPECT_TRUE(prepend_dir(dir.data(), dir.size(), out));
  ASSERT_TRUE(utf8_text("xy", 2, out));
  EXPECT_FALSE(prepend_dir(dir.data(), dir.size(), out));
}

TEST(GuestJoinPath, RefusesResultThatDoesNotFit) {
  std::string dir(PathText::kCapacity - 3, 'd');
  PathText out;
  EXPECT_TRUE(join_path(dir.data(), dir.size(), "x", 1, true, out));
  EXPECT_FALSE(join_path(dir.data(), dir.size(), "xy", 2, true, out));
}

}  // namespace
}  // namespace drel::guest
