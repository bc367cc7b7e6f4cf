// Both programs' preflight and probe modes, run as a user runs them.
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "common/report_reader.h"
#include "support/process_runner.h"

namespace drel {
namespace {

using test::RunOptions;
using test::RunResult;
using test::TempDir;

struct Program {
  std::string name;     // the executable
  std::string backend;  // "preload" or "ptrace"
  std::string payload;
  bool has_library;
};

void PrintTo(const Program& p, std::ostream* os) { *os << p.name; }

std::string machine() {
  struct utsname u {};
  EXPECT_EQ(::uname(&u), 0);
  return u.machine;
}

std::string canonical(const std::string& path) {
  return std::filesystem::canonical(path).string();
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  return names;
}

class PreflightProgram : public ::testing::TestWithParam<Program> {
 protected:
  // TMPDIR is a fresh directory, so the preflight's temporary files can be watched; the
  // library is found beside the program, as after an installation.
  RunResult run(std::vector<std::string> args, std::optional<std::string> path = std::nullopt) {
    args.insert(args.begin(), exe_);
    RunOptions options;
    options.env["TMPDIR"] = tmp_.path();
    options.env["DREL_PRELOAD_LIB"] = std::nullopt;
    options.env["LD_PRELOAD"] = std::nullopt;
    if (path) options.env["PATH"] = *path;
    options.cwd = cwd_.path();
    return test::run_program(args, options);
  }

  // The check lines of a run that finds everything, with an optional command in the middle.
  std::vector<std::pair<std::string, std::string>> passing_checks(
      const std::optional<std::string>& command) {
    std::vector<std::pair<std::string, std::string>> checks = {{"platform", "linux"},
                                                               {"architecture", machine()}};
    if (GetParam().has_library) {
      checks.emplace_back("library", canonical(test::bin_path("libdrel_tracer_preload.so")));
    }
    if (command) {
      checks.emplace_back("command", *command);
      if (GetParam().has_library) checks.emplace_back("command_compatibility", "compatible");
    }
    checks.emplace_back("launcher", exe_);
    checks.emplace_back("probe_run", "report produced");
    return checks;
  }

  void TearDown() override { EXPECT_EQ(entries(tmp_.path()), std::vector<std::string>{}); }

  const std::string exe_ = canonical(test::bin_path(GetParam().name));
  TempDir tmp_;
  TempDir cwd_;
};

TEST_P(PreflightProgram, TextFormPassesOnThisMachine) {
  const RunResult r = run({"--preflight"});
  std::string expected = GetParam().backend + " preflight passed: " + GetParam().backend +
                         " preflight succeeded\n";
  for (const auto& [name, detail] : passing_checks(std::nullopt)) {
    expected += "  - " + name + ": ok (" + detail + ")\n";
  }
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.exit_status, 0) << r.err;
}

TEST_P(PreflightProgram, JsonFormWithACommandFoundOnPath) {
  // The first entry holds nothing; sh is wherever this system keeps it. (Not true: a statically
  // linked one, as busybox's, is rightly refused by the preload backend.)
  const std::string path = cwd_ / "empty:/usr/bin:/bin";
  const std::string sh_path = test::file_exists("/usr/bin/sh") ? "/usr/bin/sh" : "/bin/sh";
  const RunResult r = run({"--preflight", "--json", "--command", "sh"}, path);
  std::string expected = R"({"backend":")" + GetParam().backend + R"(","ok":true,"summary":")" +
                         GetParam().backend + R"( preflight succeeded","command_checked":")" +
                         sh_path + R"(","warnings":[],"checks":[)";
  bool first = true;
  for (const auto& [name, detail] : passing_checks(sh_path)) {
    if (!first) expected += ",";
    first = false;
    expected += R"({"name":")" + name + R"(","ok":true,"detail":")" + detail + R"("})";
  }
  expected += "]}\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.exit_status, 0) << r.err;
}

TEST_P(PreflightProgram, MissingCommandFailsBeforeTheProbe) {
  const RunResult r = run({"--preflight", "--command", "./missing"});
  std::string expected = GetParam().backend +
                         " preflight failed: command not found: ./missing\n"
                         "  command: ./missing\n"
                         "  - platform: ok (linux)\n"
                         "  - architecture: ok (" + machine() + ")\n";
  if (GetParam().has_library) {
    expected += "  - library: ok (" + canonical(test::bin_path("libdrel_tracer_preload.so")) + ")\n";
  }
  expected += "  - command: fail (command not found: ./missing)\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.exit_status, 1);
}

TEST_P(PreflightProgram, ProbeModeWritesThePayload) {
  const std::string path = cwd_ / "probe.txt";
  test::write_file(path, "older and longer content");
  const RunResult r = run({"--preflight-probe", path, "ignored"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(test::read_file(path), GetParam().payload);
  EXPECT_FALSE(test::file_exists(cwd_ / "probe.renamed"));
}

TEST_P(PreflightProgram, ProbeModeInAMissingDirectoryFails) {
  const std::string path = cwd_ / "absent/probe.txt";
  const RunResult r = run({"--preflight-probe", path});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, GetParam().name + " probe: failed to write " + path +
                       ": No such file or directory (os error 2)\n");
}

// The probe workload is visible to the backend: traced by the same program, its file shows as
// written and read.
TEST_P(PreflightProgram, ProbeWorkloadIsTraced) {
  const std::string report = cwd_ / "out.msgpack";
  const std::string path = cwd_ / "probe.txt";
  const RunResult r = run({report, exe_, "--preflight-probe", path});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const Result<TraceReport> traced = read_report_file(report);
  ASSERT_TRUE(traced.ok()) << traced.error().text();
  auto has = [](const std::vector<std::string>& list, const std::string& p) {
    return std::find(list.begin(), list.end(), p) != list.end();
  };
  EXPECT_TRUE(has(traced->written_files, path));
  EXPECT_TRUE(has(traced->read_files, path));
  EXPECT_EQ(traced->tracer_mode, GetParam().backend);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, PreflightProgram,
    ::testing::Values(
        Program{"drel-tracer-preload", "preload", "drel-preflight-probe", true},
        Program{"drel-tracer", "ptrace", "drel-ptrace-preflight", false}),
    [](const ::testing::TestParamInfo<Program>& info) { return info.param.backend; });

// A 32-bit command is compatible only where the library's 32-bit build sits beside the one the
// trace would use; DREL_PRELOAD_LIB naming a copy of the plain library alone leaves it out.
struct ThirtyTwoBitCase {
  std::string name;
  bool plain_library_alone;
  std::string compatibility;  // the check's line
  int exit_status;
};

void PrintTo(const ThirtyTwoBitCase& c, std::ostream* os) { *os << c.name; }

class PreloadPreflightThirtyTwoBit : public ::testing::TestWithParam<ThirtyTwoBitCase> {};

TEST_P(PreloadPreflightThirtyTwoBit, CompatibleOnlyWithItsBuildBeside) {
  const ThirtyTwoBitCase& c = GetParam();
  const std::string program = test::fixture_path("launcher_actions_i386");
  if (::access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "no 32-bit fixture built here";
  TempDir dir;
  TempDir tmp;
  RunOptions options;
  options.env["TMPDIR"] = tmp.path();
  options.env["LD_PRELOAD"] = std::nullopt;
  options.env["DREL_PRELOAD_LIB"] = std::nullopt;
  if (c.plain_library_alone) {
    const std::string copy = dir / "libdrel_tracer_preload.so";
    std::filesystem::copy_file(test::bin_path("libdrel_tracer_preload.so"), copy);
    options.env["DREL_PRELOAD_LIB"] = copy;
  }
  const RunResult r =
      test::run_program({test::bin_path("drel-tracer-preload"), "--preflight", "--command", program},
                        options);
  EXPECT_NE(r.out.find("\n  - command: ok (" + program + ")\n  - command_compatibility: " +
                       c.compatibility + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.exit_status, c.exit_status) << r.out;
  EXPECT_TRUE(entries(tmp.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, PreloadPreflightThirtyTwoBit,
    ::testing::Values(ThirtyTwoBitCase{"BothBuildsBeside", false, "ok (compatible)", 0},
                      ThirtyTwoBitCase{"PlainLibraryAlone", true,
                                       "fail (32-bit program and no 32-bit build of the library)",
                                       1}),
    [](const auto& info) { return info.param.name; });

// A copy of the launcher alone in a directory: no library beside it, so --command is not
// looked at.
TEST(PreloadPreflightWithoutLibrary, StopsAfterThreeChecks) {
  TempDir dir;
  const std::string copy = dir / "drel-tracer-preload";
  std::filesystem::copy_file(test::bin_path("drel-tracer-preload"), copy);
  ASSERT_EQ(::chmod(copy.c_str(), 0755), 0);
  TempDir tmp;
  RunOptions options;
  options.env["TMPDIR"] = tmp.path();
  options.env["DREL_PRELOAD_LIB"] = std::nullopt;
  const RunResult r =
      test::run_program({copy, "--preflight", "--json", "--command", "./missing"}, options);
  EXPECT_EQ(r.out, R"({"backend":"preload","ok":false,"summary":"preload library not found",)"
                   R"("command_checked":null,"warnings":[],"checks":[)"
                   R"({"name":"platform","ok":true,"detail":"linux"},)"
                   R"({"name":"architecture","ok":true,"detail":")" +
                       machine() + R"("},)"
                   R"({"name":"library","ok":false,"detail":"preload library not found"}]})"
                   "\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(entries(tmp.path()).empty());
}

}  // namespace
}  // namespace drel
