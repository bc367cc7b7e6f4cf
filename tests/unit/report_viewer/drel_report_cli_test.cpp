// drel-report as a program: output on a written report, exit statuses and messages.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/report_writer.h"
#include "support/process_runner.h"

namespace drel {
namespace {

using test::bin_path;
using test::run_program;

class DrelReportCli : public ::testing::Test {
 protected:
  void SetUp() override {
    FileRecord f{"/etc/hosts", true, false, std::vector<uint32_t>{41}, std::nullopt, std::nullopt,
                 std::nullopt};
    ProcessRecord p{41, std::nullopt, {"cat", "/etc/hosts"}, {{"LANG", "C"}}};
    auto r = make_report("ptrace", std::nullopt, {p}, {f}, collect_path_lists({f}), {}, 10.0,
                         12.5, std::nullopt);
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
  EXPECT_NE(r.out.find("\n  r- /etc/hosts  (read by 41)\n"), std::string::npos);
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

struct BadRun {
  const char* name;
  std::vector<std::string> args;  // after the program; "@good"/"@bad"/"@missing" are files
  int status;
  const char* err_prefix;
};

class DrelReportErrors : public DrelReportCli, public ::testing::WithParamInterface<BadRun> {};

TEST_P(DrelReportErrors, StatusAndMessage) {
  std::vector<std::string> argv{bin_path("drel-report")};
  std::string file;
  for (const auto& a : GetParam().args) {
    if (a == "@good") file = good_;
    else if (a == "@bad") file = bad_;
    else if (a == "@missing") file = dir_ / "missing.msgpack";
    else file = a;
    argv.push_back(file);
  }
  auto r = run_program(argv);
  EXPECT_EQ(r.exit_status, GetParam().status);
  EXPECT_EQ(r.out, "");
  std::string expected = GetParam().err_prefix;
  const auto at = expected.find("%FILE%");
  if (at != std::string::npos) expected.replace(at, 6, file);
  EXPECT_EQ(r.err.substr(0, expected.size()), expected) << r.err;
  EXPECT_EQ(r.err.back(), '\n');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DrelReportErrors,
    ::testing::Values(
        BadRun{"no_args", {}, 2, "usage: drel-report show|json FILE\n"},
        BadRun{"unknown_mode", {"list", "@good"}, 2, "usage: drel-report show|json FILE\n"},
        BadRun{"extra_arg", {"show", "@good", "x"}, 2, "usage: drel-report show|json FILE\n"},
        BadRun{"missing_show", {"show", "@missing"}, 1,
               "drel-report: %FILE%: No such file or directory (os error 2)\n"},
        BadRun{"garbage_show", {"show", "@bad"}, 1, "drel-report: %FILE%: not a valid trace report: "},
        BadRun{"garbage_json", {"json", "@bad"}, 1, "drel-report: %FILE%: not a valid trace report: "}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace drel
