// The renderings of a report: the summary, the JSON form, and the pieces they are made of.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <ostream>

#include "common/report_encoder.h"
#include "deps.h"
#include "diff.h"
#include "json.h"
#include "path_filter.h"
#include "shell_quote.h"
#include "show.h"
#include "support/case_names.h"
#include "text_line.h"
#include "tree.h"

namespace drel::report {
namespace {

struct TimeCase {
  double seconds;
  const char* text;
};

void PrintTo(const TimeCase& c, std::ostream* os) {
  *os << c.text;
}

class FormatUtc : public ::testing::TestWithParam<TimeCase> {};

TEST_P(FormatUtc, Text) {
  EXPECT_EQ(format_utc(GetParam().seconds), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Times, FormatUtc,
                         ::testing::Values(TimeCase{0.0, "1970-01-01T00:00:00.000000Z"},
                                           TimeCase{1.5, "1970-01-01T00:00:01.500000Z"},
                                           TimeCase{951782400.25, "2000-02-29T00:00:00.250000Z"},
                                           TimeCase{1796675537.0000004,
                                                    "2026-12-07T20:32:17.000000Z"},
                                           TimeCase{59.9999997, "1970-01-01T00:01:00.000000Z"},
                                           TimeCase{-1.5, "-1.5 (seconds since the epoch)"},
                                           TimeCase{1e300, "1e+300 (seconds since the epoch)"}),
                         [](const auto& info) { return test::name_piece(info.param.text); });

TraceReport sample() {
  std::vector<ProcessRecord> procs{
      {100, std::nullopt, {"make", "all"}, {{"SECRET", "hidden"}}},
      {102, 101, {"cc1", "a\nb.c"}, {}},
      {101, 100, {"cc", "-c", "a.c"}, {}},
      {103, 100, {"ld"}, {}},
      {200, 999, {"orphan"}, {}},
      {300, 301, {"loop-a"}, {}},
      {301, 300, {"loop-b"}, {}},
  };
  std::vector<FileRecord> files{
      {"/src/a.c", true, false, std::vector<uint32_t>{102}, std::nullopt, std::nullopt,
       std::nullopt},
      {"/out/a.o", true, true, std::vector<uint32_t>{103}, std::vector<uint32_t>{101, 102},
       std::nullopt, std::nullopt},
      {"/out/app", false, true, std::nullopt, std::vector<uint32_t>{103, 777}, std::nullopt,
       std::nullopt},
      {"/dev/null", false, false, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
  };
  auto lists = collect_path_lists(files);
  return make_report("preload", std::nullopt, procs, files, lists, {}, 1796675537.5, 1796675539.75,
                     4);
}

TEST(RenderText, WholeSummary) {
  const std::string expected =
      "tracer mode:    preload\n"
      "start:          2026-12-07T20:32:17.500000Z\n"
      "end:            2026-12-07T20:32:19.750000Z\n"
      "duration:       2.250000 s\n"
      "events dropped: 4\n"
      "\n"
      "processes (pid and command):\n"
      "  100 make all\n"
      "    101 cc -c a.c\n"
      "      102 cc1 $'a\\nb.c'\n"
      "    103 ld\n"
      "  200 orphan\n"
      "  300 loop-a\n"
      "    301 loop-b\n"
      "\n"
      "files (r read, w written, - not; by: threads, as program[pid] where known):\n"
      "  r- /src/a.c  (read by cc1[102])\n"
      "  rw /out/a.o  (read by ld[103]; written by cc[101], cc1[102])\n"
      "  -w /out/app  (written by ld[103], 777)\n"
      "  -- /dev/null\n"
      "\n"
      "7 processes, 4 files, 2 read, 2 written\n";
  EXPECT_EQ(render_text(sample(), Options{}), expected);
}

TEST(RenderText, FiltersAndWidth) {
  Options o;
  o.no_system = true;
  o.width = 24;
  const std::string text = render_text(sample(), o);
  EXPECT_EQ(text.find("/dev/null"), std::string::npos) << text;
  EXPECT_NE(text.find("\n  rw /out/a.o  (read by…\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n7 processes, 3 files (1…\n"), std::string::npos) << text;
  o.width = 0;
  EXPECT_NE(render_text(sample(), o).find("3 files (1 more left out by the filters), 2 read"),
            std::string::npos);
}

TEST(RenderText, PtraceReportHasNoDroppedLine) {
  const auto r = make_report("ptrace", std::nullopt, {}, {}, {}, {}, 0.0, 0.0, std::nullopt);
  const std::string text = render_text(r, Options{});
  EXPECT_EQ(text.find("events dropped"), std::string::npos);
  EXPECT_NE(text.find("tracer mode:    ptrace\n"), std::string::npos);
  EXPECT_NE(text.find("\n0 processes, 0 files, 0 read, 0 written\n"), std::string::npos);
}

TEST(RenderJson, KeysInFileOrderAndValuesKept) {
  auto bytes = encode_report(sample());
  ASSERT_TRUE(bytes.ok());
  auto json = render_json(*bytes);
  ASSERT_TRUE(json.ok()) << json.error().text();
  const auto j = nlohmann::ordered_json::parse(*json);
  std::vector<std::string> keys;
  for (const auto& item : j.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"version", "processes", "files", "opened_files",
                                            "read_files", "written_files", "start_time", "end_time",
                                            "tracer_mode", "events_dropped"}));
  EXPECT_EQ(j["processes"][0]["pid"], 100);
  EXPECT_TRUE(j["processes"][0]["parent_pid"].is_null());
  EXPECT_EQ(j["processes"][0]["env"]["SECRET"], "hidden");
  EXPECT_EQ(j["processes"][2]["command"][1], "a\nb.c");
  EXPECT_EQ(j["files"][1]["written_threads"], nlohmann::ordered_json::parse("[101, 102]"));
  EXPECT_FALSE(j["files"][3].contains("read_threads"));
  EXPECT_EQ(j["start_time"].get<double>(), 1796675537.5);
  EXPECT_EQ(j["events_dropped"], 4);
  EXPECT_EQ(json->substr(0, 18), "{\n  \"version\": 1,\n");
}

TEST(RenderJson, InvalidBytesGiveTheDecodeError) {
  const std::vector<uint8_t> bytes{0x81, 0xa1, 'x', 0xc0};
  auto json = render_json(bytes);
  ASSERT_FALSE(json.ok());
  EXPECT_EQ(json.error().text(), "report: unknown key \"x\"");
}

}  // namespace
}  // namespace drel::report

namespace drel::report {
namespace {

struct QuoteCase {
  const char* name;
  const char* arg;
  const char* quoted;
};

void PrintTo(const QuoteCase& q, std::ostream* os) {
  *os << q.name;
}

class ShellQuote : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(ShellQuote, AsAShellReadsIt) {
  EXPECT_EQ(shell_quote(GetParam().arg), GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(
    Args, ShellQuote,
    ::testing::Values(QuoteCase{"plain", "/usr/bin/cc", "/usr/bin/cc"},
                      QuoteCase{"option_with_value", "-DX=a,b@c%d+e:f", "-DX=a,b@c%d+e:f"},
                      QuoteCase{"empty", "", "''"}, QuoteCase{"space", "a b", "'a b'"},
                      QuoteCase{"redirection", "2>&1", "'2>&1'"},
                      QuoteCase{"single_quote", "it's", "\"it's\""},
                      QuoteCase{"single_quote_and_dollar", "it's $x", "'it'\\''s $x'"},
                      QuoteCase{"dollar_and_star", "$HOME/*", "'$HOME/*'"},
                      QuoteCase{"utf8", "caf\u00e9", "caf\u00e9"},
                      QuoteCase{"newline", "a\nb", "$'a\\nb'"},
                      QuoteCase{"escape_and_quote", "\x1b[0m'\\", "$'\\x1b[0m\\'\\\\'"}),
    test::ByName());

TEST(ShellJoin, ArgumentsJoinedBySpaces) {
  EXPECT_EQ(shell_join({"/bin/sh", "-c", "/usr/bin/uname -r  2>&1"}),
            "/bin/sh -c '/usr/bin/uname -r  2>&1'");
  EXPECT_EQ(shell_join({}), "");
}

struct CutCase {
  const char* name;
  const char* line;
  size_t width;
  const char* cut;
};

void PrintTo(const CutCase& c, std::ostream* os) {
  *os << c.name;
}

class CutToWidth : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutToWidth, Text) {
  EXPECT_EQ(cut_to_width(GetParam().line, GetParam().width), GetParam().cut);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CutToWidth,
    ::testing::Values(CutCase{"fits", "abcd", 4, "abcd"}, CutCase{"one_over", "abcde", 4, "abc…"},
                      CutCase{"no_limit", "abcdef", 0, "abcdef"},
                      CutCase{"counts_characters_not_bytes", "\u00e9\u00e9\u00e9\u00e9", 4,
                              "\u00e9\u00e9\u00e9\u00e9"},
                      CutCase{"never_splits_a_character", "\u00e9\u00e9\u00e9\u00e9\u00e9", 3,
                              "\u00e9\u00e9…"},
                      CutCase{"width_one", "abc", 1, "…"}),
    test::ByName());

}  // namespace
}  // namespace drel::report

namespace drel::report {
namespace {

struct PathCase {
  const char* name;
  const char* path;
  const char* dir;  // nullptr: is the path a system path?
  bool expected;
};

void PrintTo(const PathCase& c, std::ostream* os) {
  *os << c.name;
}

class PathMatch : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathMatch, Matches) {
  const auto& c = GetParam();
  EXPECT_EQ(c.dir ? is_under(c.path, c.dir) : is_system_path(c.path), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathMatch,
    ::testing::Values(PathCase{"inside", "/a/b", "/a", true}, PathCase{"itself", "/a", "/a", true},
                      PathCase{"sibling_with_prefix", "/ab", "/a", false},
                      PathCase{"parent", "/", "/a", false}, PathCase{"root", "/x/y", "/", true},
                      PathCase{"system_lib", "/usr/lib/libc.so.6", nullptr, true},
                      PathCase{"system_dev", "/dev/null", nullptr, true},
                      PathCase{"not_system_prefix", "/usr2/x", nullptr, false},
                      PathCase{"tracer_socket", "/tmp/.drel-12-345.sock", nullptr, true},
                      PathCase{"other_tmp_socket", "/tmp/x.sock", nullptr, false},
                      PathCase{"home", "/home/u/src/a.c", nullptr, false}),
    test::ByName());

struct EscapeCase {
  const char* name;
  const char* path;
  const char* escaped;  // nullptr: make cannot name it
  MakeRole role = MakeRole::kPrerequisite;
};

void PrintTo(const EscapeCase& c, std::ostream* os) {
  *os << c.name;
}

class MakeEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(MakeEscape, AsMakeReadsIt) {
  const auto got = make_escape(GetParam().path, GetParam().role);
  if (GetParam().escaped == nullptr) {
    EXPECT_FALSE(got.has_value()) << *got;
  } else {
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, GetParam().escaped);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, MakeEscape,
    ::testing::Values(EscapeCase{"plain", "/src/a.c", "/src/a.c"},
                      EscapeCase{"space", "/a b", "/a\\ b"}, EscapeCase{"hash", "/a#b", "/a\\#b"},
                      EscapeCase{"dollar", "/a$b", "/a$$b"}, EscapeCase{"colon", "/a:b", "/a\\:b"},
                      EscapeCase{"wildcards", "/w[1]*?", "/w\\[1\\]\\*\\?"},
                      EscapeCase{"percent_prerequisite", "/50%", "/50%"},
                      EscapeCase{"percent_target", "/50%", nullptr, MakeRole::kTarget},
                      EscapeCase{"space_target", "a b", "a\\ b", MakeRole::kTarget},
                      EscapeCase{"newline", "/a\nb", nullptr},
                      EscapeCase{"backslash", "/a\\b", nullptr}),
    test::ByName());

}  // namespace
}  // namespace drel::report

namespace drel::report {
namespace {

LoadedReport loaded(const std::string& name, std::vector<ProcessRecord> procs,
                    std::vector<FileRecord> files) {
  auto lists = collect_path_lists(files);
  return {
      name, {}, make_report("ptrace", std::nullopt, procs, files, lists, {}, 0, 0, std::nullopt)};
}

FileRecord file(const char* path, bool read, bool written, std::vector<uint32_t> by = {}) {
  FileRecord f{path, read, written, std::nullopt, std::nullopt, std::nullopt, std::nullopt};
  if (!by.empty()) (written ? f.written_threads : f.read_threads) = by;
  return f;
}

TEST(Diff, FlagsPathsAndCommandCounts) {
  const auto a =
      loaded("a",
             {{1, std::nullopt, {"x"}, {}},
              {2, 1, {"x"}, {}},
              {3, 1, {"x"}, {}},
              {4, 1, {"y", "it's"}, {}}},
             {file("/both", true, false), file("/same", true, true), file("/only-a", false, true),
              file("/twice", true, false), file("/twice", false, true)});
  const auto b = loaded("b", {{9, std::nullopt, {"x"}, {}}, {8, 9, {}, {}}},
                        {file("/both", true, true), file("/same", true, true),
                         file("/twice", true, true), file("/only-b", true, false)});
  Output out;
  EXPECT_EQ(run_diff(Options{}, {a, b}, out), 1);
  EXPECT_EQ(out.out,
            "< a (ptrace)\n> b (ptrace)\nfiles:\n< r- /both\n> rw /both\n< -w /only-a\n"
            "> r- /only-b\nprocesses:\n> (command not recorded)\n< x  (2 times)\n"
            "< y \"it's\"\n");
  Output same;
  EXPECT_EQ(run_diff(Options{}, {a, a}, same), 0);
  EXPECT_EQ(same.out, "");
}

TEST(Tree, FilesUnderTheirPidAndTheRestApart) {
  const auto r = loaded("r", {{10, std::nullopt, {"make"}, {}}, {11, 10, {"cc", "a b.c"}, {}}},
                        {file("/src/a b.c", true, false, {11}), file("/out/a.o", false, true, {11}),
                         file("/Makefile", true, false, {10}), file("/x", true, false, {777}),
                         file("/y", false, false)});
  Options o;
  o.files = true;
  EXPECT_EQ(render_tree(r.report, o),
            "10 make\n    r- /Makefile\n  11 cc 'a b.c'\n      -w /out/a.o\n"
            "      r- /src/a b.c\n\nfiles no recorded process is known to have touched:\n"
            "  r- /x  (threads 777)\n  -- /y\n");
  o.files = false;
  EXPECT_EQ(render_tree(r.report, o), "10 make\n  11 cc 'a b.c'\n");
}

}  // namespace
}  // namespace drel::report
