#include "preflight/preflight.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "preflight/preflight_probe.h"
#include "support/scoped_env.h"
#include "temp_name_shape.h"
#include "support/case_names.h"
#include "support/process_runner.h"

namespace drel {
namespace {

using test::TempDir;

const std::string kArch = kBuildArchitecture;
const std::string kLibrary = "/opt/drel/bin/libdrel_tracer_preload.so";
const std::string kPreloadExe = "/opt/drel/bin/drel-tracer-preload";
const std::string kPtraceExe = "/opt/drel/bin/drel-tracer";

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  return names;
}

// What a fake trace saw while it ran.
struct TraceLog {
  int calls = 0;
  std::string report_path;
  std::vector<std::string> command;
  std::vector<std::string> probe_contents;  // the probe files present after the workload
};

void note_call(TraceLog& log, const std::string& report, const std::vector<std::string>& cmd) {
  ++log.calls;
  log.report_path = report;
  log.command = cmd;
}

// Plays the preload trace: runs the probe mode in this process instead of under the launcher.
PreflightTrace in_process_probe_trace(TraceLog& log) {
  return [&log](const std::string& report, const std::vector<std::string>& cmd) -> Result<int> {
    note_call(log, report, cmd);
    if (cmd.size() != 3 || cmd[1] != "--preflight-probe") return 64;
    if (!run_preflight_probe(cmd[2], kPreloadProbePayload)) return 1;
    log.probe_contents.push_back(test::read_file(cmd[2]));
    test::write_file(report, "report");
    return 0;
  };
}

// Plays the ptrace trace: really runs the command (untraced), in `cwd`, and writes a report
// when it exits 0.
PreflightTrace spawn_trace(TraceLog& log, std::string cwd) {
  return [&log, cwd](const std::string& report, const std::vector<std::string>& cmd) -> Result<int> {
    note_call(log, report, cmd);
    std::vector<char*> argv;
    for (const std::string& a : cmd) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(cwd.c_str()) != 0) ::_exit(126);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return Error("spawn failed");
    const std::string dir = std::filesystem::path(report).parent_path().string();
    for (const std::string& name : entries(dir)) {
      if (name.find("-probe-") != std::string::npos) {
        log.probe_contents.push_back(test::read_file(dir + "/" + name));
      }
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (code == 0) test::write_file(report, "report");
    return code;
  };
}

PreflightBackend preload_backend(PreflightTrace trace,
                                 std::optional<std::string> library = kLibrary) {
  PreflightBackend b;
  b.name = "preload";
  b.program = "drel-tracer-preload";
  b.find_library = [library] { return library; };
  b.reports_command_compatibility = true;
  b.find_executable = []() -> Result<std::string> { return kPreloadExe; };
  b.probe_command = self_probe_command;
  b.trace = std::move(trace);
  return b;
}

PreflightBackend ptrace_backend(PreflightTrace trace) {
  PreflightBackend b;
  b.name = "ptrace";
  b.program = "drel-tracer";
  b.find_executable = []() -> Result<std::string> { return kPtraceExe; };
  b.probe_command = shell_probe_command;
  b.trace = std::move(trace);
  return b;
}

// Every run gets its own TMPDIR, which must be empty again afterwards.
class Preflight : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(entries(tmp_).empty()) << entries(tmp_).front(); }

  std::string text_of(const PreflightResult& r) { return format_preflight_text(r); }
  std::string json_of(const PreflightResult& r) {
    Result<std::string> j = format_preflight_json(r);
    EXPECT_TRUE(j.ok());
    return j.ok() ? *j : std::string();
  }

  TempDir root_;
  std::string tmp_ = [this] {
    const std::string t = root_ / "tmp";
    ::mkdir(t.c_str(), 0700);
    return t;
  }();
  test::ScopedEnv tmpdir_env_{"TMPDIR", tmp_};
  TraceLog log_;
};

TEST_F(Preflight, PreloadPassingRunPrintsBothFormsExactly) {
  const PreflightResult r = build_preflight_result(preload_backend(in_process_probe_trace(log_)),
                                                   std::nullopt);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(text_of(r),
            "preload preflight passed: preload preflight succeeded\n"
            "  - platform: ok (linux)\n"
            "  - architecture: ok (" + kArch + ")\n"
            "  - library: ok (" + kLibrary + ")\n"
            "  - launcher: ok (" + kPreloadExe + ")\n"
            "  - probe_run: ok (report produced)\n");
  EXPECT_EQ(json_of(r),
            R"({"backend":"preload","ok":true,"summary":"preload preflight succeeded",)"
            R"("command_checked":null,"warnings":[],"checks":[)"
            R"({"name":"platform","ok":true,"detail":"linux"},)"
            R"({"name":"architecture","ok":true,"detail":")" + kArch + R"("},)"
            R"({"name":"library","ok":true,"detail":")" + kLibrary + R"("},)"
            R"({"name":"launcher","ok":true,"detail":")" + kPreloadExe + R"("},)"
            R"({"name":"probe_run","ok":true,"detail":"report produced"}]})"
            "\n");
  EXPECT_EQ(log_.probe_contents, std::vector<std::string>{std::string(kPreloadProbePayload)});
}

TEST_F(Preflight, PreloadTraceGetsTheTemporaryPathsAndItsOwnExecutable) {
  (void)build_preflight_result(preload_backend(in_process_probe_trace(log_)), std::nullopt);
  ASSERT_EQ(log_.calls, 1);
  const std::string pid = std::to_string(::getpid());
  EXPECT_TRUE(test::has_temp_name_shape(log_.report_path,
                                        tmp_ + "/drel-preload-report-" + pid + "-", ".msgpack"))
      << log_.report_path;
  ASSERT_EQ(log_.command.size(), 3u);
  EXPECT_EQ(log_.command[0], kPreloadExe);
  EXPECT_EQ(log_.command[1], "--preflight-probe");
  EXPECT_TRUE(test::has_temp_name_shape(log_.command[2],
                                        tmp_ + "/drel-preload-probe-" + pid + "-", ".txt"))
      << log_.command[2];
}

TEST_F(Preflight, PtracePassingRunRunsTheShellWorkload) {
  const PreflightResult r =
      build_preflight_result(ptrace_backend(spawn_trace(log_, root_.path())), std::nullopt);
  EXPECT_EQ(text_of(r),
            "ptrace preflight passed: ptrace preflight succeeded\n"
            "  - platform: ok (linux)\n"
            "  - architecture: ok (" + kArch + ")\n"
            "  - launcher: ok (" + kPtraceExe + ")\n"
            "  - probe_run: ok (report produced)\n");
  EXPECT_EQ(json_of(r),
            R"({"backend":"ptrace","ok":true,"summary":"ptrace preflight succeeded",)"
            R"("command_checked":null,"warnings":[],"checks":[)"
            R"({"name":"platform","ok":true,"detail":"linux"},)"
            R"({"name":"architecture","ok":true,"detail":")" + kArch + R"("},)"
            R"({"name":"launcher","ok":true,"detail":")" + kPtraceExe + R"("},)"
            R"({"name":"probe_run","ok":true,"detail":"report produced"}]})"
            "\n");
  EXPECT_EQ(log_.probe_contents, std::vector<std::string>{std::string(kPtraceProbePayload)});
}

TEST_F(Preflight, MissingLibraryStopsBeforeTheCommand) {
  const PreflightResult r = build_preflight_result(
      preload_backend(in_process_probe_trace(log_), std::nullopt), std::string("./missing"));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(log_.calls, 0);
  EXPECT_EQ(text_of(r),
            "preload preflight failed: preload library not found\n"
            "  - platform: ok (linux)\n"
            "  - architecture: ok (" + kArch + ")\n"
            "  - library: fail (preload library not found)\n");
  EXPECT_EQ(json_of(r),
            R"({"backend":"preload","ok":false,"summary":"preload library not found",)"
            R"("command_checked":null,"warnings":[],"checks":[)"
            R"({"name":"platform","ok":true,"detail":"linux"},)"
            R"({"name":"architecture","ok":true,"detail":")" + kArch + R"("},)"
            R"({"name":"library","ok":false,"detail":"preload library not found"}]})"
            "\n");
}

TEST_F(Preflight, MissingCommandStopsBeforeTheLauncher) {
  const PreflightResult pre = build_preflight_result(preload_backend(in_process_probe_trace(log_)),
                                                     std::string("./missing"));
  EXPECT_EQ(text_of(pre),
            "preload preflight failed: command not found: ./missing\n"
            "  command: ./missing\n"
            "  - platform: ok (linux)\n"
            "  - architecture: ok (" + kArch + ")\n"
            "  - library: ok (" + kLibrary + ")\n"
            "  - command: fail (command not found: ./missing)\n");
  const PreflightResult pt = build_preflight_result(
      ptrace_backend(spawn_trace(log_, root_.path())), std::string("./missing"));
  EXPECT_EQ(json_of(pt),
            R"({"backend":"ptrace","ok":false,"summary":"command not found: ./missing",)"
            R"("command_checked":"./missing","warnings":[],"checks":[)"
            R"({"name":"platform","ok":true,"detail":"linux"},)"
            R"({"name":"architecture","ok":true,"detail":")" + kArch + R"("},)"
            R"({"name":"command","ok":false,"detail":"command not found: ./missing"}]})"
            "\n");
  EXPECT_EQ(log_.calls, 0);
}

// A command found on PATH (a file, or a directory, which counts as found).
class PreflightCommandOnPath : public Preflight,
                               public ::testing::WithParamInterface<const char*> {};

TEST_P(PreflightCommandOnPath, ChecksTheFoundPath) {
  const std::string bin = root_ / "bin";
  ASSERT_EQ(::mkdir(bin.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((bin + "/a-directory").c_str(), 0700), 0);
  test::write_file(bin + "/a-tool", "");
  const test::ScopedEnv path("PATH", root_ / "empty:" + bin);
  const std::string found = bin + "/" + GetParam();

  const PreflightResult pre = build_preflight_result(preload_backend(in_process_probe_trace(log_)),
                                                     std::string(GetParam()));
  EXPECT_EQ(text_of(pre),
            "preload preflight passed: preload preflight succeeded\n"
            "  command: " + found + "\n"
            "  - platform: ok (linux)\n"
            "  - architecture: ok (" + kArch + ")\n"
            "  - library: ok (" + kLibrary + ")\n"
            "  - command: ok (" + found + ")\n"
            "  - command_compatibility: ok (compatible)\n"
            "  - launcher: ok (" + kPreloadExe + ")\n"
            "  - probe_run: ok (report produced)\n");

  const PreflightResult pt = build_preflight_result(
      ptrace_backend(spawn_trace(log_, root_.path())), std::string(GetParam()));
  EXPECT_EQ(json_of(pt),
            R"({"backend":"ptrace","ok":true,"summary":"ptrace preflight succeeded",)"
            R"("command_checked":")" + found + R"(","warnings":[],"checks":[)"
            R"({"name":"platform","ok":true,"detail":"linux"},)"
            R"({"name":"architecture","ok":true,"detail":")" + kArch + R"("},)"
            R"({"name":"command","ok":true,"detail":")" + found + R"("},)"
            R"({"name":"launcher","ok":true,"detail":")" + kPtraceExe + R"("},)"
            R"({"name":"probe_run","ok":true,"detail":"report produced"}]})"
            "\n");
}

INSTANTIATE_TEST_SUITE_P(Kinds, PreflightCommandOnPath, ::testing::Values("a-tool", "a-directory"),
                         test::ByText());

TEST_F(Preflight, LauncherFailureGivesTheReasonAndNoProbe) {
  PreflightBackend b = ptrace_backend(spawn_trace(log_, root_.path()));
  b.find_executable = []() -> Result<std::string> {
    return Error("no /proc/self/exe available. Is /proc mounted?");
  };
  const PreflightResult r = build_preflight_result(b, std::nullopt);
  EXPECT_EQ(text_of(r),
            "ptrace preflight failed: failed to resolve current executable: no /proc/self/exe "
            "available. Is /proc mounted?\n"
            "  - platform: ok (linux)\n"
            "  - architecture: ok (" + kArch + ")\n"
            "  - launcher: fail (no /proc/self/exe available. Is /proc mounted?)\n");
  EXPECT_EQ(log_.calls, 0);
}

TEST_F(Preflight, DefaultLauncherIsThisProcessesExecutable) {
  PreflightBackend b = ptrace_backend(spawn_trace(log_, root_.path()));
  b.find_executable = nullptr;
  const PreflightResult r = build_preflight_result(b, std::nullopt);
  ASSERT_EQ(r.checks.size(), 4u);
  EXPECT_EQ(r.checks[2].name, "launcher");
  EXPECT_EQ(r.checks[2].detail, std::filesystem::read_symlink("/proc/self/exe").string());
}

// How the probe run judges what the trace did.
struct OutcomeCase {
  std::string name;
  std::function<Result<int>(const std::string& report)> trace;
  bool ok;
  std::string detail;
  std::string summary;
};

void PrintTo(const OutcomeCase& c, std::ostream* os) { *os << c.name; }

class ProbeOutcome : public Preflight, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(ProbeOutcome, JudgesStatusAndReport) {
  const OutcomeCase& c = GetParam();
  PreflightTrace trace = [&c, this](const std::string& report, const std::vector<std::string>& cmd) {
    note_call(log_, report, cmd);
    return c.trace(report);
  };
  for (PreflightBackend b : {preload_backend(trace), ptrace_backend(trace)}) {
    const PreflightResult r = build_preflight_result(b, std::nullopt);
    EXPECT_EQ(r.ok, c.ok);
    ASSERT_FALSE(r.checks.empty());
    EXPECT_EQ(r.checks.back().name, "probe_run");
    EXPECT_EQ(r.checks.back().ok, c.ok);
    EXPECT_EQ(r.checks.back().detail, c.detail);
    EXPECT_EQ(r.summary, b.name + c.summary);
    EXPECT_TRUE(entries(tmp_).empty()) << b.name;
  }
  EXPECT_EQ(log_.calls, 2);
}

Result<int> writes_report_and_exits(const std::string& report, int code) {
  test::write_file(report, "r");
  return code;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProbeOutcome,
    ::testing::Values(
        OutcomeCase{"ReportAndZero", [](const std::string& r) { return writes_report_and_exits(r, 0); },
                    true, "report produced", " preflight succeeded"},
        OutcomeCase{"ZeroWithoutReport", [](const std::string&) -> Result<int> { return 0; },
                    false, "probe exit code 0", " probe failed with exit code 0"},
        OutcomeCase{"ReportButNonZero",
                    [](const std::string& r) { return writes_report_and_exits(r, 3); }, false,
                    "probe exit code 3", " probe failed with exit code 3"},
        OutcomeCase{"SignalStatus", [](const std::string&) -> Result<int> { return 137; }, false,
                    "probe exit code 137", " probe failed with exit code 137"},
        OutcomeCase{"DanglingSymlinkIsNoReport",
                    [](const std::string& r) -> Result<int> {
                      EXPECT_EQ(::symlink("/nonexistent/report", r.c_str()), 0);
                      return 0;
                    },
                    false, "probe exit code 0", " probe failed with exit code 0"},
        OutcomeCase{"TraceError",
                    [](const std::string&) -> Result<int> {
                      return Error::os("failed to spawn traced command", ENOENT);
                    },
                    false,
                    "failed to spawn traced command: No such file or directory (os error 2)",
                    " probe failed: failed to spawn traced command: No such file or directory "
                    "(os error 2)"}),
    test::ByName());

}  // namespace
}  // namespace drel

namespace drel {
namespace {

TEST_F(Preflight, ProbeFileIsRemovedWhenTheTraceFailsAfterTheWorkload) {
  PreflightTrace trace = [this](const std::string& report,
                                const std::vector<std::string>& cmd) -> Result<int> {
    note_call(log_, report, cmd);
    EXPECT_TRUE(run_preflight_probe(cmd[2], kPreloadProbePayload).ok());
    test::write_file(report, "half");
    return Error("failed to serialize report");
  };
  const PreflightResult r = build_preflight_result(preload_backend(trace), std::nullopt);
  EXPECT_EQ(r.summary, "preload probe failed: failed to serialize report");
  EXPECT_EQ(r.checks.back().detail, "failed to serialize report");
  // TearDown: neither file remains.
}

TEST(ProbeCommands, HaveTheirExactShape) {
  EXPECT_EQ(self_probe_command("/usr/bin/drel-tracer-preload", "/tmp/p.txt"),
            (std::vector<std::string>{"/usr/bin/drel-tracer-preload", "--preflight-probe",
                                      "/tmp/p.txt"}));
  EXPECT_EQ(shell_probe_command("/usr/bin/drel-tracer", "/tmp/p.txt"),
            (std::vector<std::string>{
                "/bin/sh", "-c",
                "printf 'drel-ptrace-preflight' > '/tmp/p.txt' && test -s '/tmp/p.txt'"}));
  EXPECT_EQ(self_probe_command("/x\xff/exe", "/t\xfe/p.txt"),
            (std::vector<std::string>{"/x\xEF\xBF\xBD/exe", "--preflight-probe",
                                      "/t\xEF\xBF\xBD/p.txt"}));
}

// Temporary directories whose names would break naive quoting of the shell workload.
class PtraceQuotedTmpdir : public ::testing::TestWithParam<std::string> {};

TEST_P(PtraceQuotedTmpdir, ShellRunsOnePrintfAndOneTestOnThePath) {
  TempDir root;
  const std::string tmp = root / GetParam();
  ASSERT_EQ(::mkdir(tmp.c_str(), 0700), 0);
  const test::ScopedEnv env("TMPDIR", tmp);
  TraceLog log;
  const PreflightResult r =
      build_preflight_result(ptrace_backend(spawn_trace(log, root.path())), std::nullopt);
  EXPECT_TRUE(r.ok) << r.summary;
  EXPECT_EQ(log.probe_contents, std::vector<std::string>{std::string(kPtraceProbePayload)});
  EXPECT_TRUE(entries(tmp).empty());
  // Only the temporary directory itself: nothing was written beside it by a broken-out word.
  EXPECT_EQ(entries(root.path()), std::vector<std::string>{GetParam()});
}

INSTANTIATE_TEST_SUITE_P(Names, PtraceQuotedTmpdir,
                         ::testing::Values("it's", "'", "a''b", "x' > injected; printf '",
                                           "q' && touch injected && '", "sp ace $HOME `x`"),
                         test::ByText());

TEST(PreflightNonUtf8Tmpdir, FailsTheProbeRunWithoutTracing) {
  TempDir root;
  const std::string tmp = root / "bad\xff";
  ASSERT_EQ(::mkdir(tmp.c_str(), 0700), 0);
  const test::ScopedEnv env("TMPDIR", tmp);
  TraceLog log;
  const PreflightResult r =
      build_preflight_result(ptrace_backend(spawn_trace(log, root.path())), std::nullopt);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(log.calls, 0);
  const std::string shown = root.path() + "/bad\xEF\xBF\xBD/drel-ptrace-report-";
  ASSERT_EQ(r.checks.back().name, "probe_run");
  EXPECT_FALSE(r.checks.back().ok);
  EXPECT_EQ(r.checks.back().detail->rfind("temporary report path is not valid UTF-8: " + shown, 0),
            0u)
      << *r.checks.back().detail;
  EXPECT_EQ(r.summary, "ptrace probe failed: " + *r.checks.back().detail);
  EXPECT_TRUE(format_preflight_json(r).ok());
  EXPECT_TRUE(entries(tmp).empty());
}

TEST(PreflightJson, EscapesStringsAndKeepsNonAsciiText) {
  PreflightResult r;
  r.backend = "ptrace";
  r.summary = "command not found: a\"b\\c\nd\xC3\xA9";
  r.command_checked = "a\"b\\c\nd\xC3\xA9";
  r.checks.push_back({"command", false, r.summary});
  r.checks.push_back({"other", true, std::nullopt});
  const Result<std::string> j = format_preflight_json(r);
  ASSERT_TRUE(j.ok());
  EXPECT_EQ(*j,
            R"({"backend":"ptrace","ok":false,"summary":"command not found: a\"b\\c\nd)"
            "\xC3\xA9"
            R"(","command_checked":"a\"b\\c\nd)"
            "\xC3\xA9"
            R"(","warnings":[],"checks":[{"name":"command","ok":false,"detail":"command not )"
            R"(found: a\"b\\c\nd)"
            "\xC3\xA9"
            R"("},{"name":"other","ok":true,"detail":null}]})"
            "\n");
  EXPECT_EQ(format_preflight_text(r),
            "ptrace preflight failed: command not found: a\"b\\c\nd\xC3\xA9\n"
            "  command: a\"b\\c\nd\xC3\xA9\n"
            "  - command: fail (command not found: a\"b\\c\nd\xC3\xA9)\n"
            "  - other: ok\n");
}

TEST(PreflightJson, InvalidUtf8IsAnInternalErrorNotACrash) {
  PreflightResult r;
  r.backend = "ptrace";
  r.summary = "bad \xff";
  const Result<std::string> j = format_preflight_json(r);
  ASSERT_FALSE(j.ok());
  EXPECT_EQ(j.error().text(), "failed to serialize preflight JSON");
}

TEST_F(Preflight, CommandTextNotUtf8IsShownConverted) {
  const PreflightResult r = build_preflight_result(ptrace_backend(spawn_trace(log_, root_.path())),
                                                   std::string("./no\xff"));
  EXPECT_EQ(r.command_checked, "./no\xEF\xBF\xBD");
  EXPECT_EQ(r.summary, "command not found: ./no\xEF\xBF\xBD");
  EXPECT_TRUE(format_preflight_json(r).ok());
}

}  // namespace
}  // namespace drel
