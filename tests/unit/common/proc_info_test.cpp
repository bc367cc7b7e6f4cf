// Parsing what /proc gives: NUL-separated vectors, environments, the PPid line.
#include "common/proc_info.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "support/case_names.h"

namespace drel {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

struct PpidCase {
  const char* name;
  std::string status;
  std::optional<uint32_t> expected;
};

void PrintTo(const PpidCase& c, std::ostream* os) { *os << c.name; }

class ParsePpid : public ::testing::TestWithParam<PpidCase> {};

TEST_P(ParsePpid, Value) { EXPECT_EQ(parse_ppid(GetParam().status), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, ParsePpid,
    ::testing::Values(
        PpidCase{"tab", "Name:\tsh\nPid:\t43\nPPid:\t42\nTracerPid:\t0\n", 42},
        PpidCase{"plus_sign", "PPid: +7\n", 7}, PpidCase{"zero", "PPid:\t0\n", 0},
        PpidCase{"trailing_space_no_newline", "PPid:  9  ", 9},
        PpidCase{"max", "PPid:\t4294967295\n", 4294967295u},
        PpidCase{"negative", "PPid: -1\n", std::nullopt},
        PpidCase{"overflow", "PPid: 4294967296\n", std::nullopt},
        PpidCase{"letters", "PPid: 12a\n", std::nullopt},
        PpidCase{"inner_space", "PPid: 1 2\n", std::nullopt},
        PpidCase{"empty_value", "PPid:\t\n", std::nullopt},
        PpidCase{"only_plus", "PPid: +\n", std::nullopt},
        PpidCase{"missing", "Name:\tsh\nPid:\t1\n", std::nullopt},
        PpidCase{"not_at_line_start", "XPPid:\t5\n", std::nullopt},
        PpidCase{"first_line_wins", "PPid:\t3\nPPid:\t4\n", 3},
        PpidCase{"first_line_bad_wins", "PPid:\tx\nPPid:\t4\n", std::nullopt}),
    test::ByName());

TEST(ParseStatusNumber, ReadsTheLineOfItsOwnKey) {
  const std::string_view status = "Name:\tsh\nTgid:\t41\nPid:\t43\nPPid:\t42\n";
  EXPECT_EQ(parse_status_number(status, "Tgid:"), 41u);
  EXPECT_EQ(parse_status_number(status, "Pid:"), 43u);
  EXPECT_EQ(parse_status_number(status, "NSpid:"), std::nullopt);
}

struct SplitCase {
  const char* name;
  std::string bytes;
  std::vector<std::string> pieces;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class SplitNul : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitNul, Pieces) { EXPECT_EQ(split_nul_pieces(GetParam().bytes), GetParam().pieces); }

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitNul,
    ::testing::Values(SplitCase{"empty", "", {}}, SplitCase{"cmdline", "sh\0-c\0echo hi\0"s, {"sh", "-c", "echo hi"}},
                      SplitCase{"no_final_nul", "a\0b"s, {"a", "b"}},
                      SplitCase{"empty_pieces_dropped", "\0\0a\0\0b\0\0"s, {"a", "b"}},
                      SplitCase{"invalid_utf8", "a\xff\0"s, {"a\xef\xbf\xbd"}}),
    test::ByName());

TEST(ParseEnviron, SplitsAtFirstEqualsAndLaterDuplicatesWin) {
  const EnvMap env = parse_environ("A=1\0B==x=\0NOEQ\0A=2\0\0=lead\0C=\0"s);
  const EnvMap expected{{"A", "2"}, {"B", "=x="}, {"NOEQ", ""}, {"", "lead"}, {"C", ""}};
  EXPECT_EQ(env, expected);
}

// The cache gives what parsing gives, whether the bytes repeat, change, empty or come back.
TEST(ProcInfo, EnvironCacheParsesLikeParseEnviron) {
  EnvironCache cache;
  for (const std::string_view bytes :
       {"A=1\0B=2\0"sv, "A=1\0B=2\0"sv, "A=1\0B=3\0"sv, ""sv, "A=1\0B=2\0"sv}) {
    EXPECT_EQ(cache.parse(bytes), parse_environ(bytes)) << testing::PrintToString(bytes);
  }
}

TEST(ProcInfo, ReadsOwnProcess) {
  auto info = read_process_info(getpid());
  ASSERT_TRUE(info.has_value());
  ASSERT_FALSE(info->command.empty());
  EXPECT_NE(info->command[0].find("common_test"), std::string::npos);
  EXPECT_EQ(read_parent_pid(getpid()), std::optional<uint32_t>(static_cast<uint32_t>(getppid())));
  auto exe = self_exe_path();
  ASSERT_TRUE(exe.has_value());
  EXPECT_EQ(exe->substr(exe->rfind('/') + 1), "common_test");
}

// A read fills the buffer as far as the text goes: longer texts take several reads.
TEST(ProcInfo, ProcTextIsReadWhole) {
  EXPECT_EQ(read_proc_text("/proc/self/cmdline"), read_file_bytes("/proc/self/cmdline"));
  char path[] = "/tmp/drel-proc-text-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string big;
  for (int i = 0; big.size() < 150000; ++i) big += std::to_string(i) + '\0';
  ASSERT_EQ(::write(fd, big.data(), big.size()), static_cast<ssize_t>(big.size()));
  ::close(fd);
  EXPECT_EQ(read_proc_text(path), big);
  ::unlink(path);
  EXPECT_FALSE(read_proc_text(path).has_value());
}

TEST(ProcInfo, VanishedProcessIsNotFound) {
  // Above the kernel's largest pid (2^22), so it can never exist.
  EXPECT_FALSE(read_process_info(5000000).has_value());
  EXPECT_FALSE(read_parent_pid(5000000).has_value());
  EXPECT_FALSE(read_file_bytes("/proc/5000000/status").has_value());
}

}  // namespace
}  // namespace drel
