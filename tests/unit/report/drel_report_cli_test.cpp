// drel-report as a program: output on a written report, standard input, help, version, exit
// statuses and messages.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <ostream>

#include "common/report_writer.h"
#include "support/case_names.h"
#include "support/process_runner.h"

namespace drel {
namespace {

using test::bin_path;
using test::run_program;

class DrelReportCli : public ::testing::Test {
 protected:
  void SetUp() override {
    FileRecord f{"/etc/hosts", true,         false,       std::vector<uint32_t>{41},
                 std::nullopt, std::nullopt, std::nullopt};
    ProcessRecord p{41, std::nullopt, {"cat", "/etc/hosts"}, {{"LANG", "C"}}};
    auto r = make_report("ptrace", std::nullopt, {p}, {f}, collect_path_lists({f}), {}, 10.0, 12.5,
                         std::nullopt);
    auto written = write_report(r, good_);
    ASSERT_TRUE(written.ok()) << written.error().text();
    test::write_file(bad_, "not a report");
  }

  test::TempDir dir_;
  std::string good_ = dir_ / "good.msgpack";
  std::string bad_ = dir_ / "bad.msgpack";
};

TEST_F(DrelReportCli, ShowPrintsTheSummary) {
  auto r = run_program({bin_path("drel-report"), "show", good_});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("tracer mode:    ptrace\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("start:          1970-01-01T00:00:10.000000Z\n"), std::string::npos);
  EXPECT_NE(r.out.find("duration:       2.500000 s\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n  41 cat /etc/hosts\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n  r- /etc/hosts  (read by cat[41])\n"), std::string::npos);
  EXPECT_NE(r.out.find("1 processes, 1 files, 1 read, 0 written\n"), std::string::npos);
  EXPECT_EQ(r.out.find("LANG"), std::string::npos);  // environments are not shown
}

TEST_F(DrelReportCli, JsonIsTheWholeReport) {
  auto r = run_program({bin_path("drel-report"), "json", good_});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const auto j = nlohmann::ordered_json::parse(r.out);
  EXPECT_EQ(j["tracer_mode"], "ptrace");
  EXPECT_EQ(j["processes"][0]["env"]["LANG"], "C");
  EXPECT_EQ(j["read_files"][0], "/etc/hosts");
  EXPECT_EQ(j["end_time"].get<double>(), 12.5);
}

TEST_F(DrelReportCli, DashReadsStandardInput) {
  test::RunOptions in;
  in.stdin_data = test::read_file(good_);
  auto r = run_program({bin_path("drel-report"), "inputs", "-"}, in);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "/etc/hosts\n");
  in.stdin_data = "not a report";
  r = run_program({bin_path("drel-report"), "show", "-"}, in);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err.substr(0, 49), "drel-report: standard input: not a valid trace re") << r.err;
}

// Help and version: standard output, status 0, nothing on standard error.
struct HelpRun {
  const char* name;
  std::vector<std::string> args;
  const char* starts_with;
  const char* contains;
};

void PrintTo(const HelpRun& h, std::ostream* os) {
  *os << h.name;
}

class DrelReportHelp : public ::testing::TestWithParam<HelpRun> {};

TEST_P(DrelReportHelp, PrintsToStandardOutput) {
  std::vector<std::string> argv{bin_path("drel-report")};
  argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
  auto r = run_program(argv);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out.starts_with(GetParam().starts_with)) << r.out;
  EXPECT_NE(r.out.find(GetParam().contains), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DrelReportHelp,
    ::testing::Values(
        HelpRun{"general", {"--help"}, "usage: drel-report <command>", "\n  deps     a make"},
        HelpRun{"short", {"-h"}, "usage: drel-report <command>", "\n  tree     the process"},
        HelpRun{"version", {"--version"}, "drel-report ", "."},
        HelpRun{"deps", {"deps", "--help"}, "usage: drel-report deps --target NAME", "--no-system"},
        HelpRun{
            "diff_before_files", {"diff", "-h", "a", "b"}, "usage: drel-report diff", "trouble"},
        HelpRun{"inputs_null", {"inputs", "--help"}, "usage: drel-report inputs", "-0, --null"},
        HelpRun{"version_after_command", {"show", "--version"}, "drel-report ", "."}),
    test::ByName());

struct BadRun {
  const char* name;
  std::vector<std::string> args;  // after the program; "@good"/"@bad"/"@missing" are files
  int status;
  const char* err_prefix;  // %FILE%: the bad or missing report, else the good one
};

void PrintTo(const BadRun& b, std::ostream* os) {
  *os << b.name;
}

class DrelReportErrors : public DrelReportCli, public ::testing::WithParamInterface<BadRun> {};

TEST_P(DrelReportErrors, StatusAndMessage) {
  std::vector<std::string> argv{bin_path("drel-report")};
  std::string file;
  for (const auto& a : GetParam().args) {
    std::string arg = a;
    if (a == "@good") {
      arg = good_;
      if (file.empty()) file = good_;
    } else if (a == "@bad") {
      arg = file = bad_;
    } else if (a == "@missing") {
      arg = file = dir_ / "missing.msgpack";
    }
    argv.push_back(arg);
  }
  auto r = run_program(argv);
  EXPECT_EQ(r.exit_status, GetParam().status);
  EXPECT_EQ(r.out, "");
  std::string expected = GetParam().err_prefix;
  const auto at = expected.find("%FILE%");
  if (at != std::string::npos) expected.replace(at, 6, file);
  EXPECT_EQ(r.err.substr(0, expected.size()), expected) << r.err;
  ASSERT_FALSE(r.err.empty());
  EXPECT_EQ(r.err.back(), '\n');
  // A bad argument is followed by the usage.
  if (GetParam().status == 2 && at == std::string::npos) {
    EXPECT_NE(r.err.find("\nusage: drel-report "), std::string::npos) << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DrelReportErrors,
    ::testing::Values(
        BadRun{"no_args", {}, 2, "drel-report: no command given\n"},
        BadRun{"unknown_command", {"list", "@good"}, 2, "drel-report: unknown command 'list'\n"},
        BadRun{"unknown_option",
               {"show", "--color", "@good"},
               2,
               "drel-report: unknown option '--color'\n"},
        BadRun{"unknown_short_option",
               {"inputs", "-x", "@good"},
               2,
               "drel-report: unknown option '-x'\n"},
        BadRun{"option_of_another_command",
               {"json", "--no-system", "@good"},
               2,
               "drel-report: json takes no option '--no-system'\n"},
        BadRun{"value_for_a_flag",
               {"show", "--wide=3", "@good"},
               2,
               "drel-report: option '--wide' takes no value\n"},
        BadRun{"null_for_show",
               {"show", "-0", "@good"},
               2,
               "drel-report: show takes no option '-0'\n"},
        BadRun{"missing_value",
               {"inputs", "@good", "--under"},
               2,
               "drel-report: option '--under' needs a value\n"},
        BadRun{
            "extra_operand", {"show", "@good", "x"}, 2, "drel-report: show: too many operands\n"},
        BadRun{"missing_report", {"inputs"}, 2, "drel-report: inputs: missing report\n"},
        BadRun{"diff_one_report", {"diff", "@good"}, 2, "drel-report: diff: missing report\n"},
        BadRun{"deps_without_target",
               {"deps", "@good"},
               2,
               "drel-report: deps needs at least one --target\n"},
        BadRun{"deps_target_make_cannot_name",
               {"deps", "--target", "a\nb", "@good"},
               2,
               "drel-report: deps: make cannot name the target a\\nb\n"},
        BadRun{"stdin_twice",
               {"diff", "-", "-"},
               2,
               "drel-report: standard input can be read only once\n"},
        BadRun{"empty_directory",
               {"outputs", "--exclude=", "@good"},
               2,
               "drel-report: an empty directory name\n"},
        BadRun{"missing_show",
               {"show", "@missing"},
               1,
               "drel-report: %FILE%: No such file or directory (os error 2)\n"},
        BadRun{"missing_tree",
               {"tree", "--files", "@missing"},
               1,
               "drel-report: %FILE%: No such file or directory (os error 2)\n"},
        BadRun{
            "garbage_show", {"show", "@bad"}, 1, "drel-report: %FILE%: not a valid trace report: "},
        BadRun{
            "garbage_json", {"json", "@bad"}, 1, "drel-report: %FILE%: not a valid trace report: "},
        BadRun{"garbage_deps",
               {"deps", "--target", "x", "@bad"},
               1,
               "drel-report: %FILE%: not a valid trace report: "},
        BadRun{"diff_garbage_is_trouble",
               {"diff", "@good", "@bad"},
               2,
               "drel-report: %FILE%: not a valid trace report: "},
        BadRun{"diff_missing_is_trouble",
               {"diff", "@missing", "@good"},
               2,
               "drel-report: %FILE%: No such file"}),
    test::ByName());

}  // namespace
}  // namespace drel
