// drel-tracer-preload as users run it: the real program, the real library, real commands.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/report.h"
#include "common/report_reader.h"
#include "support/process_runner.h"

namespace drel {
namespace {

using test::RunOptions;
using test::RunResult;

const std::string kGeneralUsage =
    "usage: drel-tracer-preload <output-file> <command> [args...]\n"
    "       drel-tracer-preload --preflight [--json] [--command <cmd>]\n";
const std::string kPreflightUsage =
    "usage: drel-tracer-preload --preflight [--json] [--command <cmd>]\n";
const std::string kProbeUsage = "usage: drel-tracer-preload --preflight-probe <path>\n";

std::string canonical(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

std::string launcher() { return test::bin_path("drel-tracer-preload"); }
std::string library() { return canonical(test::bin_path("libdrel_tracer_preload.so")); }
// How LD_PRELOAD names it: through the loader's $LIB where the build has the i386 twin.
std::string preload_entry() {
  if (std::string(DREL_I386_LIB_DIR).empty()) return library();
  const std::string dir = library().substr(0, library().rfind('/'));
  return dir + "/$LIB/libdrel_tracer_preload.so";
}
// How a program of the launcher's own class is given it: the plain path the loader would expand
// $LIB to, which spares the loader its look at /proc.
std::string native_entry() {
  if (std::string(DREL_I386_LIB_DIR).empty()) return library();
  const std::string dir = library().substr(0, library().rfind('/'));
  return dir + "/" + DREL_NATIVE_LIB_DIR + "/libdrel_tracer_preload.so";
}
std::string actions() { return test::fixture_path("launcher_actions"); }

// Runs the launcher with a known library and no inherited tracing variables.
RunResult trace(const std::string& output, std::vector<std::string> command,
                RunOptions options = {}) {
  options.env.try_emplace("DREL_PRELOAD_LIB", library());
  options.env.try_emplace("LD_PRELOAD", std::nullopt);
  options.env.try_emplace("DREL_PRELOAD_TRACE_SOCK", std::nullopt);
  std::vector<std::string> argv = {launcher(), output};
  argv.insert(argv.end(), command.begin(), command.end());
  return test::run_program(argv, options);
}

TraceReport load(const std::string& path) {
  Result<TraceReport> r = read_report_file(path);
  if (!r) {
    ADD_FAILURE() << "report " << path << ": " << r.error().text();
    return {};
  }
  return std::move(r).value();
}

const FileRecord* find_file(const TraceReport& r, const std::string& path) {
  for (const FileRecord& f : r.files) {
    if (f.path == path) return &f;
  }
  return nullptr;
}

const ProcessRecord* find_process(const TraceReport& r, uint32_t pid) {
  for (const ProcessRecord& p : r.processes) {
    if (p.pid == pid) return &p;
  }
  return nullptr;
}

// ---- exit status ----

struct StatusCase {
  std::string name;
  std::vector<std::string> action;
  int expected;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class LauncherExitStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(LauncherExitStatus, IsTheCommandsAndTheReportIsWritten) {
  test::TempDir dir;
  std::vector<std::string> command = {actions()};
  command.insert(command.end(), GetParam().action.begin(), GetParam().action.end());
  const RunResult run = trace(dir / "out.msgpack", command);
  EXPECT_EQ(run.exit_status, GetParam().expected) << run.err;
  EXPECT_EQ(run.err, "");
  const TraceReport r = load(dir / "out.msgpack");
  ASSERT_EQ(r.processes.size(), 1u);
  EXPECT_EQ(r.processes[0].command, command);
  EXPECT_EQ(r.processes[0].parent_pid, std::nullopt);
  // The one file: the program itself, read when it was loaded.
  ASSERT_EQ(r.files.size(), 1u);
  char program[PATH_MAX];
  ASSERT_NE(realpath(actions().c_str(), program), nullptr);
  EXPECT_EQ(r.files[0].path, program);
  EXPECT_TRUE(r.files[0].read);
  EXPECT_FALSE(r.files[0].written);
  EXPECT_EQ(r.events_dropped, 0u);
}

INSTANTIATE_TEST_SUITE_P(Statuses, LauncherExitStatus,
                         ::testing::Values(StatusCase{"Zero", {"exit", "0"}, 0},
                                           StatusCase{"Three", {"exit", "3"}, 3},
                                           StatusCase{"Seven", {"exit", "7"}, 7},
                                           StatusCase{"KilledBySigkill", {"raise", "9"}, 137},
                                           StatusCase{"KilledBySigterm", {"raise", "15"}, 143}),
                         [](const auto& info) { return info.param.name; });

// ---- failures ----

TEST(LauncherFailure, MissingCommandWritesNoReport) {
  test::TempDir dir;
  const RunResult run = trace(dir / "out.msgpack", {"drel-no-such-command-x"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err,
            "drel-tracer-preload: failed to spawn traced command: No such file or directory "
            "(os error 2)\n");
  EXPECT_FALSE(test::file_exists(dir / "out.msgpack"));
}

// The command starts as execvp would start it: an executable file without "#!" runs under
// /bin/sh; the command keeps the descriptor limit it was given, whatever the launcher raised.
TEST(LauncherStart, ScriptWithoutInterpreterLineRunsUnderTheShell) {
  test::TempDir dir;
  const std::string script = dir / "plain-script";
  test::write_file(script, "ulimit -Sn > \"$1\"\n");
  ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
  RunOptions options;
  options.cwd = dir.path();
  options.env.try_emplace("DREL_PRELOAD_LIB", library());
  options.env.try_emplace("LD_PRELOAD", std::nullopt);
  options.env.try_emplace("DREL_PRELOAD_TRACE_SOCK", std::nullopt);
  const RunResult run = test::run_program(
      {"/bin/sh", "-c", "ulimit -Sn 200 && exec \"$0\" \"$@\"", launcher(), dir / "out.msgpack",
       script, dir / "limit"},
      options);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(test::read_file(dir / "limit"), "200\n");
  const TraceReport r = load(dir / "out.msgpack");
  const FileRecord* written = find_file(r, canonical(dir.path()) + "/limit");
  ASSERT_NE(written, nullptr);
  EXPECT_TRUE(written->written);
}

TEST(LauncherFailure, OutputInMissingDirectoryFailsAfterTheCommandRan) {
  test::TempDir dir;
  const std::string output = dir / "missing/out.msgpack";
  RunOptions options;
  options.env["TMPDIR"] = dir.path();
  const RunResult run =
      trace(output, {actions(), "write", dir / "ran", "yes", "exit", "5"}, options);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, "drel-tracer-preload: failed to write report to " + output +
                         ": No such file or directory (os error 2)\n"
                         "drel-tracer-preload: the report was saved to " + dir / "out.msgpack\n");
  EXPECT_EQ(test::read_file(dir / "ran"), "yes");
  EXPECT_EQ(load(dir / "out.msgpack").tracer_mode, "preload");
}

TEST(LauncherFailure, NoLibraryAnywhere) {
  test::TempDir dir;
  // A copy of the program in a directory without the library, and an override naming nothing.
  const std::string copy = dir / "drel-tracer-preload";
  test::write_file(copy, test::read_file(launcher()));
  ASSERT_EQ(::chmod(copy.c_str(), 0755), 0);
  RunOptions options;
  options.env["DREL_PRELOAD_LIB"] = dir / "nothing-here.so";
  const RunResult run = test::run_program({copy, dir / "out.msgpack", actions()}, options);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err,
            "drel-tracer-preload: preload library not found; set DREL_PRELOAD_LIB or build "
            "drel-tracer-preload\n");
  EXPECT_FALSE(test::file_exists(dir / "out.msgpack"));
}

// ---- command line ----

struct UsageCase {
  std::string name;
  std::vector<std::string> args;
  std::string expected_err;
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class LauncherUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(LauncherUsage, PrintsUsageAndExitsTwo) {
  test::TempDir dir;
  std::vector<std::string> argv = {launcher()};
  argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
  RunOptions options;
  options.cwd = dir.path();
  const RunResult run = test::run_program(argv, options);
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.err, GetParam().expected_err);
  EXPECT_EQ(run.out, "");
  EXPECT_FALSE(test::file_exists(dir / "out.msgpack"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LauncherUsage,
    ::testing::Values(UsageCase{"NoArguments", {}, kGeneralUsage},
                      UsageCase{"OutputWithoutCommand", {"out.msgpack"}, kGeneralUsage},
                      UsageCase{"ProbeWithoutPath", {"--preflight-probe"}, kProbeUsage},
                      UsageCase{"PreflightUnknownOption", {"--preflight", "--verbose"},
                                kPreflightUsage},
                      UsageCase{"PreflightCommandWithoutValue",
                                {"--preflight", "--json", "--command"}, kPreflightUsage},
                      UsageCase{"PreflightStrayWord", {"--preflight", "--command", "ls", "x"},
                                kPreflightUsage}),
    [](const auto& info) { return info.param.name; });

TEST(LauncherCommandLine, OptionLikeFirstArgumentIsTheOutputFile) {
  test::TempDir dir;
  RunOptions options;
  options.cwd = dir.path();
  const RunResult run = trace("--help", {actions(), "exit", "0"}, options);
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(load(dir / "--help").tracer_mode, "preload");
}

TEST(LauncherCommandLine, ArgumentsThatAreNotUtf8RunAsTheirBytes) {
  test::TempDir dir;
  const std::string odd = "a\xff\xfe" "b";
  const RunResult run = trace(dir / "out.msgpack", {actions(), "dump-args", dir / "args", odd});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(test::read_file(dir / "args"), odd + std::string(1, '\0'));
  const TraceReport r = load(dir / "out.msgpack");
  ASSERT_EQ(r.processes.size(), 1u);
  EXPECT_EQ(r.processes[0].command.back(), "a\xef\xbf\xbd\xef\xbf\xbd" "b");
}

// ---- the traced command's environment and the socket ----

struct PreloadCase {
  std::string name;
  std::optional<std::string> inherited;  // the launcher's own LD_PRELOAD
  bool chained;
};

void PrintTo(const PreloadCase& c, std::ostream* os) { *os << c.name; }

class LauncherPreloadVariable : public ::testing::TestWithParam<PreloadCase> {};

TEST_P(LauncherPreloadVariable, LibraryFirstOldValueKept) {
  test::TempDir dir;
  const std::string extra = canonical(test::fixture_path("liblauncher_noop_preload.so"));
  RunOptions options;
  if (GetParam().inherited) {
    options.env["LD_PRELOAD"] = *GetParam().inherited == "EXTRA" ? extra : *GetParam().inherited;
  }
  const RunResult run =
      trace(dir / "out.msgpack",
            {actions(), "print-env", "LD_PRELOAD", "print-env", "DREL_PRELOAD_LIB"}, options);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const std::string expected_preload =
      GetParam().chained ? native_entry() + ":" + extra : native_entry();
  EXPECT_EQ(run.out, expected_preload + "\n" + preload_entry() + "\n");
  // The report shows the root's environment as the command received it, also when the
  // command was gone before /proc could be read.
  const TraceReport r = load(dir / "out.msgpack");
  ASSERT_TRUE(r.env_accessed.contains("LD_PRELOAD"));
  EXPECT_EQ(r.env_accessed.at("LD_PRELOAD"), expected_preload);
  EXPECT_EQ(r.env_accessed.at("DREL_PRELOAD_LIB"), preload_entry());
  EXPECT_TRUE(r.env_accessed.contains("DREL_PRELOAD_TRACE_SOCK"));
}

INSTANTIATE_TEST_SUITE_P(Values, LauncherPreloadVariable,
                         ::testing::Values(PreloadCase{"Unset", std::nullopt, false},
                                           PreloadCase{"Empty", std::string(""), false},
                                           PreloadCase{"Chained", std::string("EXTRA"), true}),
                         [](const auto& info) { return info.param.name; });

TEST(LauncherSocket, PrivateWhateverTheUmaskAndRemovedAfterwards) {
  test::TempDir dir;
  // umask 0 would leave a socket anyone could connect to, unless the launcher sees to it.
  const std::string script = "umask 000; exec \"$@\"";
  RunOptions options;
  options.env["DREL_PRELOAD_LIB"] = library();
  const RunResult run = test::run_program(
      {"/bin/sh", "-c", script, "sh", launcher(), dir / "out.msgpack", actions(),
       "print-socket-mode"},
      options);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(run.out, m,
                               std::regex(R"((/tmp/\.drel-[1-9][0-9]*-(0|[1-9][0-9]*)\.sock) 600\n)")))
      << run.out;
  EXPECT_FALSE(test::file_exists(m[1].str()));
}

// ---- processes that outlive the root ----

TEST(LauncherBackground, ReportIsWrittenWithoutWaitingForDescendants) {
  test::TempDir dir;
  test::write_file(dir / "input", "in");
  // The root reads, forks and exits; the child reads (opening its own connection), sleeps
  // well past the final drain, then writes twice into a launcher that is gone.
  const RunResult run =
      trace(dir / "out.msgpack", {actions(), "read", dir / "input", "fork", "read",
                                  dir / "input", "sleep", "1500", "write", dir / "late", "x",
                                  "write", dir / "alive", "y"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  // The launcher is back while the child still sleeps.
  EXPECT_FALSE(test::file_exists(dir / "alive"));
  const TraceReport r = load(dir / "out.msgpack");
  EXPECT_NE(find_file(r, dir / "input"), nullptr);
  EXPECT_EQ(find_file(r, dir / "late"), nullptr);
  // A send into the vanished launcher must not kill the child (no SIGPIPE): it gets to its end.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!test::file_exists(dir / "alive") && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(test::file_exists(dir / "late"));
  EXPECT_TRUE(test::file_exists(dir / "alive"));
}

// ---- report contents ----

TEST(LauncherReport, KeysInFileOrderAndListsMirrorFiles) {
  test::TempDir dir;
  test::write_file(dir / "input", "data");
  const RunResult run = trace(dir / "out.msgpack", {actions(), "read", dir / "input", "write",
                                                    dir / "output", "text"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const std::string bytes = test::read_file(dir / "out.msgpack");
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0x8b);  // all 11 keys that a preload report can have
  size_t last = 0;
  for (const char* key :
       {"version", "processes", "files", "opened_files", "read_files", "written_files",
        "env_accessed", "start_time", "end_time", "tracer_mode", "events_dropped"}) {
    const std::string encoded = std::string(1, static_cast<char>(0xa0 + std::strlen(key))) + key;
    const size_t at = bytes.find(encoded, last);
    ASSERT_NE(at, std::string::npos) << key << " missing or out of order";
    last = at + encoded.size();
  }
  // events_dropped is present and 0, and nothing follows it.
  EXPECT_EQ(bytes.substr(last), std::string(1, '\0'));

  const TraceReport r = load(dir / "out.msgpack");
  EXPECT_EQ(r.tracer_mode, "preload");
  EXPECT_EQ(r.events_dropped, 0u);
  EXPECT_LE(r.start_time, r.end_time);
  const PathLists lists = collect_path_lists(r.files);
  EXPECT_EQ(r.opened_files, lists.opened_files);
  EXPECT_EQ(r.read_files, lists.read_files);
  EXPECT_EQ(r.written_files, lists.written_files);
  EXPECT_TRUE(std::is_sorted(r.files.begin(), r.files.end(),
                             [](const auto& a, const auto& b) { return a.path < b.path; }));
  const FileRecord* in = find_file(r, dir / "input");
  const FileRecord* out = find_file(r, dir / "output");
  ASSERT_NE(in, nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(in->read);
  EXPECT_FALSE(in->written);
  EXPECT_FALSE(out->read);
  EXPECT_TRUE(out->written);
  ASSERT_TRUE(in->read_threads.has_value());
  ASSERT_EQ(r.processes.size(), 1u);
  // A single-threaded command: its only thread is the process itself.
  EXPECT_EQ(*in->read_threads, std::vector<uint32_t>{r.processes[0].pid});
  EXPECT_EQ(r.env_accessed, r.processes[0].env);
}

TEST(LauncherReport, EachThreadOnItsOwnConnection) {
  test::TempDir dir;
  test::write_file(dir / "shared", "s");
  constexpr size_t kThreads = 8;
  const RunResult run = trace(dir / "out.msgpack", {actions(), "threads",
                                                    std::to_string(kThreads), dir / "shared"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const TraceReport r = load(dir / "out.msgpack");
  const FileRecord* shared = find_file(r, dir / "shared");
  ASSERT_NE(shared, nullptr);
  ASSERT_TRUE(shared->read_threads.has_value());
  const std::vector<uint32_t>& tids = *shared->read_threads;
  EXPECT_EQ(tids.size(), kThreads);
  EXPECT_TRUE(std::is_sorted(tids.begin(), tids.end()));
  ASSERT_EQ(r.processes.size(), 1u);
  EXPECT_EQ(std::count(tids.begin(), tids.end(), r.processes[0].pid), 0);
}

// Every process that sent an event has its real command and its parent, however short it
// lived: each describes itself while it runs.
struct ProcessesCase {
  std::string name;
  std::function<std::vector<std::string>(const test::TempDir&)> command;
  size_t processes;                                  // the root and its descendants
  std::optional<std::vector<std::string>> children;  // each child's command; nullopt: the root's
  bool early_reader = false;  // an extra preloaded library reads before the tracer's has loaded
};

void PrintTo(const ProcessesCase& c, std::ostream* os) { *os << c.name; }

class LauncherProcesses : public testing::TestWithParam<ProcessesCase> {};

TEST_P(LauncherProcesses, EachHasItsCommandAndParent) {
  const ProcessesCase& c = GetParam();
  if ((c.name == "ShellLoopOfShortCommands" || c.name == "ChildWhoseOtherLibraryReadsFirst") &&
      (!test::loads_the_dynamic_loader("/bin/sh") || !test::loads_the_dynamic_loader("/bin/cat")))
    GTEST_SKIP() << "the shell or cat is statically linked here";
  test::TempDir dir;
  test::write_file(dir / "input", "in");
  std::vector<std::string> command = c.command(dir);
  RunOptions options;
  options.cwd = dir.path();
  if (c.early_reader) {
    options.env["LD_PRELOAD"] = canonical(test::fixture_path("liblauncher_noop_preload.so"));
    options.env["DREL_TEST_EARLY_READ"] = dir / "input";
  }
  const RunResult run = trace(dir / "out.msgpack", command, options);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const TraceReport r = load(dir / "out.msgpack");
  EXPECT_EQ(r.events_dropped, 0u);
  ASSERT_EQ(r.processes.size(), c.processes);
  std::vector<uint32_t> roots;
  for (const ProcessRecord& p : r.processes)
    if (!p.parent_pid) roots.push_back(p.pid);
  ASSERT_EQ(roots.size(), 1u);
  for (const ProcessRecord& p : r.processes) {
    EXPECT_FALSE(p.env.empty()) << p.pid;
    if (p.pid == roots[0]) {
      EXPECT_EQ(p.command, command);
      continue;
    }
    EXPECT_EQ(*p.parent_pid, roots[0]) << p.pid;
    EXPECT_EQ(p.command, c.children.value_or(command)) << p.pid;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LauncherProcesses,
    testing::Values(
        ProcessesCase{"ForkedChildrenThatEndAtOnce",
                      [](const test::TempDir& d) {
                        return std::vector<std::string>{actions(), "children", "2000",
                                                        d / "out"};
                      },
                      2001, std::nullopt},
        ProcessesCase{"ShellLoopOfShortCommands",
                      [](const test::TempDir&) {
                        return std::vector<std::string>{
                            "/bin/sh", "-c",
                            "i=0; while [ $i -lt 300 ]; do cat input >/dev/null; i=$((i+1)); "
                            "done"};
                      },
                      301, std::vector<std::string>{"cat", "input"}},
        ProcessesCase{"ChildWhoseOtherLibraryReadsFirst",
                      [](const test::TempDir&) {
                        return std::vector<std::string>{"/bin/sh", "-c",
                                                        "cat input >/dev/null; true"};
                      },
                      2, std::vector<std::string>{"cat", "input"}, true}),
    [](const auto& info) { return info.param.name; });

// Near its descriptor limit a traced program sees no EMFILE it would not see untraced, and a
// launcher started with a low limit serves a program that raised its own: every thread's files
// are in the report. In the last sixteenth of the limit a thread without a connection sends
// nothing, and the report counts what it lost. limit: the shell's ulimit before it starts the
// launcher.
struct DescriptorLimitCase {
  std::string name;
  std::string limit;
  std::vector<std::string> actions;  // "@": the scratch directory
  size_t held_files;
  bool loses_events = false;
};

void PrintTo(const DescriptorLimitCase& c, std::ostream* os) { *os << c.name; }

class LauncherDescriptorLimits : public testing::TestWithParam<DescriptorLimitCase> {};

TEST_P(LauncherDescriptorLimits, ProgramKeepsItsDescriptorsAndEveryEventIsReportedOrCounted) {
  const DescriptorLimitCase& c = GetParam();
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max < 1024) GTEST_SKIP() << "hard descriptor limit below 1024";
  test::TempDir dir;
  std::vector<std::string> argv = {"/bin/sh", "-c", c.limit + " && exec \"$0\" \"$@\"",
                                   launcher(), dir / "out.msgpack", actions()};
  for (const std::string& a : c.actions) argv.push_back(a == "@" ? dir.path() : a);
  RunOptions options;
  options.env = {{"DREL_PRELOAD_LIB", library()},
                 {"LD_PRELOAD", std::nullopt},
                 {"DREL_PRELOAD_TRACE_SOCK", std::nullopt}};
  const RunResult run = test::run_program(argv, options);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const TraceReport r = load(dir / "out.msgpack");
  size_t held = 0;
  for (const FileRecord& f : r.files) held += f.path.find("/held-") != std::string::npos;
  EXPECT_EQ(held, c.held_files);
  if (c.loses_events)
    EXPECT_GT(r.events_dropped, 0u);
  else
    EXPECT_EQ(r.events_dropped, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LauncherDescriptorLimits,
    testing::Values(
        DescriptorLimitCase{"ManyThreadsHoldingFilesNearTheLimit", "ulimit -n 1024",
                            {"hold-files", "400", "@"}, 800},
        DescriptorLimitCase{"ProgramRaisesTheLimitTheLauncherStartedWith", "ulimit -Sn 256",
                            {"raise-limit", "hold-files", "300", "@"}, 600},
        // The program checks that its thread's files get the numbers they get untraced.
        DescriptorLimitCase{"ThreadInTheLastSixteenthCountsWhatItLost", "ulimit -n 1024",
                            {"last-sixteenth", "@"}, 0, true}),
    [](const auto& info) { return info.param.name; });

TEST(LauncherReport, UndecodableFramesAreCountedAsDropped) {
  test::TempDir dir;
  test::write_file(dir / "input", "i");
  const RunResult run = trace(dir / "out.msgpack", {actions(), "send-garbage", "read",
                                                    dir / "input", "send-garbage"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const TraceReport r = load(dir / "out.msgpack");
  EXPECT_EQ(r.events_dropped, 2u);
  EXPECT_NE(find_file(r, dir / "input"), nullptr);
}

TEST(LauncherReport, ExistingOutputIsReplacedKeepingItsMode) {
  test::TempDir dir;
  const std::string output = dir / "out.msgpack";
  test::write_file(output, std::string(100000, 'x'));
  ASSERT_EQ(::chmod(output.c_str(), 0640), 0);
  struct stat before {};
  ASSERT_EQ(::stat(output.c_str(), &before), 0);
  const RunResult run = trace(output, {actions(), "exit", "0"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  struct stat after {};
  ASSERT_EQ(::stat(output.c_str(), &after), 0);
  // A new file renamed over the old, same permissions, no stale tail: the reader refuses
  // trailing bytes.
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_LT(after.st_size, 100000);
  EXPECT_EQ(load(output).tracer_mode, "preload");
}

TEST(LauncherReport, ShellScriptThatRenamesItsOutput) {
  test::TempDir dir;
  test::write_file(dir / "in.txt", "hello\n");
  // The shell writes the temporary, another process renames it; the pause keeps that process
  // alive while the launcher reads its /proc entry.
  const std::string script =
      "read line < \"$1/in.txt\"; echo \"$line\" > \"$1/out.txt.tmp\"; "
      "\"$2\" read \"$1/in.txt\" sleep 500 rename \"$1/out.txt.tmp\" \"$1/out.txt\"; :";
  const RunResult run = trace(dir / "report", {"/bin/sh", "-c", script, "sh", dir.path(), actions()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(test::read_file(dir / "out.txt"), "hello\n");
  const TraceReport r = load(dir / "report");
  std::vector<std::string> ours;
  for (const FileRecord& f : r.files) {
    if (f.path.starts_with(dir.path() + "/")) ours.push_back(f.path);
  }
  // Both names of the rename, each once; the temporary keeps its own record.
  EXPECT_EQ(ours, (std::vector<std::string>{dir / "in.txt", dir / "out.txt",
                                            dir / "out.txt.tmp"}));
  EXPECT_TRUE(find_file(r, dir / "out.txt.tmp")->written);
  EXPECT_TRUE(find_file(r, dir / "in.txt")->read);
  // The shell (the root) and the renaming program it started, recorded at its first read.
  ASSERT_EQ(r.processes.size(), 2u);
  const ProcessRecord& shell = r.processes[0].parent_pid ? r.processes[1] : r.processes[0];
  const ProcessRecord& renamer = r.processes[0].parent_pid ? r.processes[0] : r.processes[1];
  // The final name carries the shell's write of the temporary, sent on another connection.
  const FileRecord* out = find_file(r, dir / "out.txt");
  EXPECT_TRUE(out->written);
  EXPECT_EQ(out->written_threads, (std::vector<uint32_t>{std::min(shell.pid, renamer.pid),
                                                         std::max(shell.pid, renamer.pid)}));
  EXPECT_EQ(shell.command[0], "/bin/sh");
  ASSERT_FALSE(renamer.command.empty());
  EXPECT_EQ(renamer.command[0], actions());
  EXPECT_EQ(renamer.parent_pid, shell.pid);
  EXPECT_EQ(find_process(r, shell.pid), &shell);
}

// ---- programs that try the library hard: traced, each runs exactly as untraced ----

struct HostileCase {
  std::string name;
  std::string program;  // a build of the launcher_actions fixture
  std::vector<std::string> actions;
  std::vector<std::string> written;  // names under the run's directory the report shows written
  std::string also_runs = {};  // another build of the fixture the actions start
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::string> alarm_files(int n) {
  std::vector<std::string> names;
  for (int k = 0; k < n; ++k) names.push_back("alarm-" + std::to_string(k) + ".txt");
  return names;
}

// Where count-allocations works: six levels of 200-byte names, a working directory over 1 KiB.
std::vector<std::string> deep_files() {
  std::string deep;
  for (int level = 0; level < 6; ++level) deep += std::string(200, 'd') + "/";
  return {deep + "sub/g.txt", deep + "sub/h.txt", deep + "t0.txt", deep + "t3.txt"};
}

class LauncherHostilePrograms : public ::testing::TestWithParam<HostileCase> {};

TEST_P(LauncherHostilePrograms, RunAsUntracedWithEveryFileInTheReport) {
  const HostileCase& c = GetParam();
  const std::string program = test::fixture_path(c.program);
  if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << c.program << " is not built here";
  if (!c.also_runs.empty() && access(test::fixture_path(c.also_runs).c_str(), X_OK) != 0)
    GTEST_SKIP() << c.also_runs << " is not built here";
  std::vector<std::string> command = {program};
  command.insert(command.end(), c.actions.begin(), c.actions.end());
  test::TempDir plain_dir;
  RunOptions plain;
  plain.cwd = plain_dir.path();
  plain.env = {{"LD_PRELOAD", std::nullopt}, {"DREL_PRELOAD_TRACE_SOCK", std::nullopt}};
  const RunResult untraced = test::run_program(command, plain);
  test::TempDir traced_dir;
  test::TempDir report_dir;
  RunOptions in_dir;
  in_dir.cwd = traced_dir.path();
  const RunResult traced = trace(report_dir / "out.msgpack", command, in_dir);
  EXPECT_EQ(traced.exit_status, untraced.exit_status);
  EXPECT_EQ(traced.out, untraced.out);
  EXPECT_EQ(traced.err, untraced.err);
  ASSERT_EQ(untraced.exit_status, 0) << untraced.err;
  const TraceReport r = load(report_dir / "out.msgpack");
  const std::string root = canonical(traced_dir.path());
  int missing = 0;
  for (const std::string& name : c.written) {
    const FileRecord* f = find_file(r, root + "/" + name);
    if (f == nullptr || !f->written) ++missing;
  }
  EXPECT_EQ(missing, 0) << "of " << c.written.size() << " files written";
  EXPECT_EQ(r.events_dropped, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, LauncherHostilePrograms,
    ::testing::Values(
        HostileCase{"BuiltWithAddressSanitizer", "launcher_actions_asan",
                    {"write", "a.txt", "a", "read", "a.txt", "rename", "a.txt", "b.txt"},
                    {"b.txt"}},
        HostileCase{"SignalHandlerWritesFilesDuringFileIo", "launcher_actions",
                    {"alarm-files", "1000"}, alarm_files(1000)},
        // The loader takes the library's i386 twin: not a word on the program's stderr.
        HostileCase{"ThirtyTwoBitProgram", "launcher_actions_i386",
                    {"write", "a.txt", "a", "read", "a.txt", "rename", "a.txt", "b.txt",
                     "threads", "4", "b.txt", "children", "3", "c.txt", "exec-bare", "write",
                     "d.txt", "d"},
                    {"b.txt", "c.txt", "d.txt"}},
        // Started by the native build (which was given the library's plain path), then
        // starting it again: each exec names the library as the new program's loader reads it.
        HostileCase{"ThirtyTwoBitProgramStartedByANativeOne", "launcher_actions",
                    {"exec-sibling", "launcher_actions_i386", "write", "a.txt", "a", "children",
                     "2", "c.txt", "exec-sibling", "launcher_actions", "write", "d.txt", "d"},
                    {"a.txt", "c.txt", "d.txt"}, "launcher_actions_i386"},
        // The count it prints must not change: the library allocates nothing.
        HostileCase{"CountingItsOwnAllocations", "launcher_actions_counting",
                    {"count-allocations"}, deep_files()}),
    [](const auto& info) { return info.param.name; });

// The records of the paths under dir, as "name rw" ("r"/"-", "w"/"-") in report order.
std::vector<std::string> records_under(const TraceReport& r, const std::string& dir) {
  std::vector<std::string> got;
  for (const FileRecord& f : r.files) {
    if (!f.path.starts_with(dir + "/")) continue;
    got.push_back(f.path.substr(dir.size() + 1) + " " + (f.read ? "r" : "-") +
                  (f.written ? "w" : "-"));
  }
  return got;
}

// The program a process runs is read under its real name, however the process was started.
// Each row prepares a scratch directory untraced (a shell script, "$A" the actions fixture),
// traces the command there, and lists the records of every path in it ("r"/"-", "w"/"-") and
// whether the shell's own file was read.
struct ProgramRunCase {
  std::string name;
  std::string setup;
  std::vector<std::string> command;
  std::vector<std::string> files;  // "name rw" in report order
  bool shell_read;
};

void PrintTo(const ProgramRunCase& c, std::ostream* os) { *os << c.name; }

class LauncherPrograms : public ::testing::TestWithParam<ProgramRunCase> {};

TEST_P(LauncherPrograms, AreReadUnderTheirRealNames) {
  test::TempDir dir;
  const std::string here = canonical(dir.path());
  RunOptions options;
  options.cwd = here;
  const RunResult setup =
      test::run_program({"/bin/sh", "-c", "A=\"$0\"; " + GetParam().setup, actions()}, options);
  ASSERT_EQ(setup.exit_status, 0) << setup.err;
  const RunResult run = trace(here + "/report", GetParam().command, options);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const TraceReport r = load(here + "/report");
  EXPECT_EQ(records_under(r, here), GetParam().files);
  const FileRecord* shell = find_file(r, canonical("/bin/sh"));
  EXPECT_EQ(shell != nullptr && shell->read, GetParam().shell_read);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, LauncherPrograms,
    ::testing::Values(
        ProgramRunCase{"ThroughASymlink",
                       "mkdir d && cp \"$A\" d/prog && ln -s d/prog link",
                       {"./link", "exit", "0"},
                       {"d/prog r-"},
                       false},
        ProgramRunCase{"ByARelativeNameInAnotherDirectory",
                       "mkdir d && cp \"$A\" d/prog",
                       {"/bin/sh", "-c", "cd d && ./prog exit 0"},
                       {"d/prog r-"},
                       true},
        // The kernel starts the interpreter (through a link here): that is the program read,
        // besides the script the shell opens.
        ProgramRunCase{"ScriptRunDirectly",
                       "ln -s /bin/sh shell && "
                       "printf '#!%s/shell\\nexit 0\\n' \"$(pwd -P)\" > s.sh && chmod +x s.sh",
                       {"./s.sh"},
                       {"s.sh r-"},
                       true}),
    [](const auto& info) { return info.param.name; });

// Renames followed by what the run did: each row a script of the actions fixture ("$A"),
// run in a scratch directory, and the records of every path in it ("r"/"-", "w"/"-").
struct RenameRunCase {
  std::string name;
  std::string script;
  std::vector<std::string> files;  // "name rw" in report order
};

void PrintTo(const RenameRunCase& c, std::ostream* os) { *os << c.name; }

class LauncherRenames : public ::testing::TestWithParam<RenameRunCase> {};

TEST_P(LauncherRenames, FollowWhatTheRunDid) {
  test::TempDir dir;
  const std::string here = canonical(dir.path());
  RunOptions options;
  options.cwd = here;
  const RunResult run = trace(here + "/report", {"/bin/sh", "-c", "A=\"$0\"; " + GetParam().script,
                                                 actions()},
                              options);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const TraceReport r = load(here + "/report");
  EXPECT_EQ(records_under(r, here), GetParam().files);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, LauncherRenames,
    ::testing::Values(
        RenameRunCase{"FileWrittenThenRenamed",
                      "\"$A\" write a.tmp x read a.tmp rename a.tmp a",
                      {"a rw", "a.tmp rw"}},
        RenameRunCase{"DirectoryHoldingWrittenFilesRenamed",
                      "\"$A\" mkdir d mkdir d/s write d/x 1 read d/x write d/s/y 2 rename d e",
                      {"d -w", "d/s -w", "d/s/y -w", "d/x rw", "e -w", "e/s -w", "e/s/y -w",
                       "e/x rw"}},
        // Each step another process.
        RenameRunCase{"RenameChain",
                      "\"$A\" write a 1 read a; \"$A\" rename a b; \"$A\" rename b c",
                      {"a rw", "b rw", "c rw"}},
        // In its own process after the rename, and in the next process once the launcher has
        // seen that nothing was pending after the rename (the pause lets it look).
        RenameRunCase{"WriteToTheOldNameAfterTheRename",
                      "\"$A\" write a 1 rename a b write a 2 read a; "
                      "\"$A\" write c 3 rename c d sleep 100; \"$A\" write c 4 read c",
                      {"a rw", "b -w", "c rw", "d -w"}},
        RenameRunCase{"ExchangeSwapsWhatWasDone",
                      "\"$A\" write b 1 read b; \"$A\" write a 2 exchange a b",
                      {"a rw", "b rw"}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace drel
