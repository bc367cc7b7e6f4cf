// drel-tracer end to end: the real program on fixture programs and shell commands.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "common/report.h"
#include "common/report_reader.h"
#include "support/process_runner.h"

extern char** environ;

namespace drel {
namespace {

using test::bin_path;
using test::fixture_path;
using test::RunResult;
using test::TempDir;

struct Traced {
  RunResult run;
  std::optional<TraceReport> report;
};

Traced trace(const std::string& out, const std::vector<std::string>& command,
             const test::RunOptions& options = {}) {
  std::vector<std::string> argv{bin_path("drel-tracer"), out};
  argv.insert(argv.end(), command.begin(), command.end());
  Traced t{test::run_program(argv, options), std::nullopt};
  if (test::file_exists(out)) {
    Result<TraceReport> r = read_report_file(out);
    if (r) t.report = std::move(r).value();
  }
  return t;
}

std::vector<std::string> calls(std::vector<std::string> args) {
  args.insert(args.begin(), fixture_path("ptrace_calls"));
  return args;
}

const FileRecord* find_file(const TraceReport& report, const std::string& path) {
  for (const auto& f : report.files) {
    if (f.path == path) return &f;
  }
  return nullptr;
}

const ProcessRecord* find_process(const TraceReport& report, uint32_t pid) {
  for (const auto& p : report.processes) {
    if (p.pid == pid) return &p;
  }
  return nullptr;
}

const ProcessRecord* root_of(const TraceReport& report) {
  for (const auto& p : report.processes) {
    if (!p.parent_pid) return &p;
  }
  return nullptr;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// "name id" lines printed by the fixture.
std::map<std::string, uint32_t> printed_ids(const std::string& out) {
  std::map<std::string, uint32_t> ids;
  std::istringstream in(out);
  std::string name;
  uint32_t id = 0;
  while (in >> name >> id) ids[name] = id;
  return ids;
}

TEST(PtraceTracer, ShellRedirectionRecordsTheWritingTask) {
  TempDir dir;
  const std::string out = dir / "report.msgpack";
  test::RunOptions options;
  options.cwd = dir.path();
  const Traced t = trace(out, {"/bin/sh", "-c", "printf x > f"}, options);
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  EXPECT_EQ(t.run.err, "");
  EXPECT_EQ(test::read_file(dir / "f"), "x");
  ASSERT_TRUE(t.report);
  EXPECT_EQ(t.report->tracer_mode, "ptrace");
  EXPECT_FALSE(t.report->events_dropped.has_value());

  const FileRecord* f = find_file(*t.report, dir / "f");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->written);
  ASSERT_TRUE(f->written_threads);
  ASSERT_EQ(f->written_threads->size(), 1u);
  // The writer is a traced task: the shell itself, or a child it started.
  EXPECT_NE(find_process(*t.report, f->written_threads->front()), nullptr);
  EXPECT_TRUE(contains(t.report->opened_files, dir / "f"));
  EXPECT_TRUE(contains(t.report->written_files, dir / "f"));
  EXPECT_FALSE(contains(t.report->read_files, dir / "f"));

  const ProcessRecord* root = root_of(*t.report);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->command, (std::vector<std::string>{"/bin/sh", "-c", "printf x > f"}));
  EXPECT_EQ(t.report->env_accessed, root->env);
}

TEST(PtraceTracer, ReadsThroughTruncatingDescriptorAreNotRecorded) {
  TempDir dir;
  const std::string file = dir / "data";
  const Traced first = trace(dir / "r1", calls({"trunc-read", file}));
  ASSERT_EQ(first.run.exit_status, 0) << first.run.err;
  ASSERT_TRUE(first.report);
  const FileRecord* f = find_file(*first.report, file);
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(f->read);
  EXPECT_TRUE(f->written);

  const Traced second = trace(dir / "r2", calls({"reopen-read", file}));
  ASSERT_TRUE(second.report);
  f = find_file(*second.report, file);
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->read);
  EXPECT_FALSE(f->written);
}

TEST(PtraceTracer, OpenatRelativeToDirectoryDescriptor) {
  TempDir dir, elsewhere;
  test::write_file(dir / "name", "content");
  test::RunOptions options;
  options.cwd = elsewhere.path();  // the name must not be resolved against the working directory
  const Traced t = trace(dir / "report", calls({"dirfd", dir.path(), "name"}), options);
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  ASSERT_TRUE(t.report);
  const FileRecord* f = find_file(*t.report, dir / "name");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->read);
  EXPECT_EQ(find_file(*t.report, elsewhere / "name"), nullptr);
}

TEST(PtraceTracer, DirectoryOpenedWithODirectoryIsNeitherReadNorWritten) {
  TempDir dir;
  const std::string sub = dir / "sub";
  std::filesystem::create_directory(sub);
  const Traced t = trace(dir / "report", calls({"opendir", sub}));
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  ASSERT_TRUE(t.report);
  const FileRecord* f = find_file(*t.report, sub);
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(f->read);
  EXPECT_FALSE(f->written);
  EXPECT_TRUE(contains(t.report->opened_files, sub));
  EXPECT_FALSE(contains(t.report->read_files, sub));
  EXPECT_FALSE(contains(t.report->written_files, sub));
}

TEST(PtraceTracer, MmapPrivateReadsSharedAlsoWrites) {
  TempDir dir;
  test::write_file(dir / "private", std::string(4096, 'p'));
  test::write_file(dir / "shared", std::string(4096, 's'));
  const Traced t = trace(dir / "report", calls({"mmap", dir / "private", dir / "shared"}));
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  ASSERT_TRUE(t.report);
  const FileRecord* priv = find_file(*t.report, dir / "private");
  const FileRecord* shared = find_file(*t.report, dir / "shared");
  ASSERT_NE(priv, nullptr);
  ASSERT_NE(shared, nullptr);
  EXPECT_TRUE(priv->read);
  EXPECT_FALSE(priv->written);
  EXPECT_TRUE(shared->read);
  EXPECT_TRUE(shared->written);
}

TEST(PtraceTracer, RenameWritesBothNames) {
  TempDir dir;
  test::write_file(dir / "old", "x");
  const Traced t = trace(dir / "report", calls({"rename", dir / "old", dir / "new"}));
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  ASSERT_TRUE(t.report);
  for (const char* name : {"new", "old"}) {
    const FileRecord* f = find_file(*t.report, dir / name);
    ASSERT_NE(f, nullptr) << name;
    EXPECT_TRUE(f->written) << name;
    EXPECT_FALSE(f->read) << name;
  }
}

TEST(PtraceTracer, FailedWriteIsNotRecordedFailedReadIs) {
  TempDir dir;
  test::write_file(dir / "ronly", "r");
  test::write_file(dir / "wonly", "w");
  const Traced t = trace(dir / "report", calls({"failed-io", dir / "ronly", dir / "wonly"}));
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  ASSERT_TRUE(t.report);
  const FileRecord* r = find_file(*t.report, dir / "ronly");
  const FileRecord* w = find_file(*t.report, dir / "wonly");
  ASSERT_NE(r, nullptr);
  ASSERT_NE(w, nullptr);
  EXPECT_FALSE(r->written);
  EXPECT_TRUE(w->read);
  EXPECT_FALSE(w->written);
}

TEST(PtraceTracer, ChildThatOutlivesItsParentIsWaitedFor) {
  TempDir dir;
  const Traced t = trace(dir / "report", calls({"orphan", dir / "late"}));
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  ASSERT_TRUE(t.report);
  const auto ids = printed_ids(t.run.out);
  ASSERT_TRUE(ids.contains("child")) << t.run.out;
  // The child wrote its file 300 ms after its parent ended; the run saw it.
  const FileRecord* f = find_file(*t.report, dir / "late");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->written);
  ASSERT_NE(f->written_threads, std::nullopt);
  EXPECT_EQ(*f->written_threads, std::vector<uint32_t>{ids.at("child")});
  const ProcessRecord* root = root_of(*t.report);
  const ProcessRecord* child = find_process(*t.report, ids.at("child"));
  ASSERT_NE(root, nullptr);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->parent_pid, root->pid);
  EXPECT_EQ(t.report->processes.size(), 2u);
}

TEST(PtraceTracer, EachThreadIsAProcessWithItsCreatorAsParent) {
  TempDir dir;
  test::write_file(dir / "shared", "s");
  const Traced t = trace(dir / "report", calls({"threads", dir / "shared"}));
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  ASSERT_TRUE(t.report);
  const auto ids = printed_ids(t.run.out);
  ASSERT_EQ(ids.size(), 3u) << t.run.out;
  const ProcessRecord* main_thread = find_process(*t.report, ids.at("main"));
  const ProcessRecord* outer = find_process(*t.report, ids.at("outer"));
  const ProcessRecord* inner = find_process(*t.report, ids.at("inner"));
  ASSERT_NE(main_thread, nullptr);
  ASSERT_NE(outer, nullptr);
  ASSERT_NE(inner, nullptr);
  EXPECT_FALSE(main_thread->parent_pid.has_value());
  EXPECT_EQ(outer->parent_pid, ids.at("main"));
  EXPECT_EQ(inner->parent_pid, ids.at("outer"));
  EXPECT_EQ(outer->command, main_thread->command);
  const FileRecord* f = find_file(*t.report, dir / "shared");
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(f->read_threads);
  EXPECT_EQ(*f->read_threads, (std::vector<uint32_t>{std::min(ids.at("outer"), ids.at("inner")),
                                                     std::max(ids.at("outer"), ids.at("inner"))}));
}

TEST(PtraceTracer, RootThatExecsKeepsItsCommandAndRereadsItsEnvironment) {
  TempDir dir;
  test::write_file(dir / "after", "a");
  const std::vector<std::string> command = calls({"exec", dir / "after"});
  const Traced t = trace(dir / "report", command);
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  ASSERT_TRUE(t.report);
  ASSERT_EQ(t.report->processes.size(), 1u);
  const ProcessRecord& root = t.report->processes.front();
  EXPECT_EQ(root.command, command);
  EXPECT_EQ(root.env, (EnvMap{{"DREL_AFTER_EXEC", "yes"}}));
  const FileRecord* f = find_file(*t.report, dir / "after");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->read);
}

TEST(PtraceTracer, ExecFromASecondThreadEndsTheRunNormally) {
  TempDir dir;
  test::write_file(dir / "after", "a");
  const std::vector<std::string> command = calls({"thread-exec", dir / "after"});
  const Traced t = trace(dir / "report", command);
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  ASSERT_TRUE(t.report);
  const ProcessRecord* root = root_of(*t.report);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->command, command);
  EXPECT_EQ(root->env, (EnvMap{{"DREL_AFTER_EXEC", "yes"}}));
  // The root and the thread that executed, which took over the root's id.
  EXPECT_EQ(t.report->processes.size(), 2u);
  const FileRecord* f = find_file(*t.report, dir / "after");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->read);
  ASSERT_TRUE(f->read_threads);
  EXPECT_EQ(*f->read_threads, std::vector<uint32_t>{root->pid});
}

TEST(PtraceTracer, NonUtf8ArgumentsRunByteForByteAndShowConverted) {
  TempDir dir;
  const std::string arg = "v\xff";
  const Traced t = trace(dir / "report", {"/bin/sh", "-c", "printf %s \"$1\" > out", "sh", arg},
                         {.env = {}, .cwd = dir.path(), .stdin_data = {}});
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  EXPECT_EQ(test::read_file(dir / "out"), arg);
  ASSERT_TRUE(t.report);
  const ProcessRecord* root = root_of(*t.report);
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(root->command.size(), 5u);
  EXPECT_EQ(root->command[4], "v\xef\xbf\xbd");
}

// One fixture scenario in a fresh directory D: what must be made first, and what the report must
// then say of each name under D.
struct Effect {
  std::string name;  // under D
  bool read;
  bool written;
};

struct EffectCase {
  std::string name;
  std::vector<std::string> args;     // a leading "D" is replaced by the directory
  std::vector<std::string> prepare;  // files made under D first; a trailing "/" makes a directory
  std::vector<Effect> want;
  std::vector<std::string> absent;  // names under D the report must not hold
  std::string err;                  // what the run prints on standard error
};

void PrintTo(const EffectCase& c, std::ostream* os) { *os << c.name; }

class PtraceFileEffects : public testing::TestWithParam<EffectCase> {};

TEST_P(PtraceFileEffects, AreRecorded) {
  const EffectCase& c = GetParam();
  TempDir dir;
  for (const auto& name : c.prepare) {
    if (name.back() == '/') {
      std::filesystem::create_directory(dir / name);
    } else {
      test::write_file(dir / name, "content");
    }
  }
  std::vector<std::string> args;
  for (const auto& a : c.args) {
    const bool under = a == "D" || a.rfind("D/", 0) == 0;
    args.push_back(under ? dir.path() + a.substr(1) : a);
  }
  const Traced t = trace(dir / "report", calls(args));
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  EXPECT_EQ(t.run.err, c.err);
  ASSERT_TRUE(t.report);
  for (const auto& e : c.want) {
    const FileRecord* f = find_file(*t.report, dir / e.name);
    ASSERT_NE(f, nullptr) << e.name;
    EXPECT_EQ(f->read, e.read) << e.name;
    EXPECT_EQ(f->written, e.written) << e.name;
  }
  for (const auto& name : c.absent) EXPECT_EQ(find_file(*t.report, dir / name), nullptr) << name;
  // The program that ran is an input of the run.
  const FileRecord* program = find_file(*t.report, fixture_path("ptrace_calls"));
  ASSERT_NE(program, nullptr);
  EXPECT_TRUE(program->read);
}

#if defined(__x86_64__)
const std::vector<Effect> kOlderNameCalls = {{"u2", false, true}, {"s2", false, true}};
#else
const std::vector<Effect> kOlderNameCalls = {};
#endif

std::vector<Effect> with(std::vector<Effect> a, const std::vector<Effect>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, PtraceFileEffects,
    testing::Values(
        // dash moves the script it runs to descriptor 10 with F_DUPFD_CLOEXEC.
        EffectCase{"DescriptorsMovedByFcntlAndDup",
                   {"moves", "D"},
                   {"r", "w"},
                   {{"r", true, false}, {"w", false, true}},
                   {},
                   ""},
        // A directory made and removed is a name written: d (mkdir, rmdir), d2 (mkdirat and
        // unlinkat(AT_REMOVEDIR) relative to a directory descriptor).
        EffectCase{"NamesChangedWithoutADescriptor",
                   {"names", "D"},
                   {"u", "t", "f", "u2"},
                   with({{"u", false, true},
                         {"t", false, true},
                         {"f", false, true},
                         {"s", false, true},
                         {"d", false, true},
                         {"d2", false, true}},
                        kOlderNameCalls),
                   {"target"},
                   ""},
        EffectCase{"CreatingTruncatingAndListing",
                   {"opens", "D"},
                   {"trunc", "o2", "tmp/", "list/"},
                   {{"trunc", false, true},
                    {"excl", false, true},
                    {"named", false, true},
                    {"o2", true, false},
                    {"list", true, false}},
                   {"tmp"},
                   ""},
        EffectCase{"ThreadsShareOneDescriptorTable", {"shared-table", "D/s"}, {"s"}, {{"s", true, false}}, {}, ""},
        // Numbers the kernel closed at an exec or a close_range name nothing once pipes reuse
        // them; the one left open still names its file after the exec.
        EffectCase{"DescriptorsClosedByExecAndCloseRange",
                   {"cloexec", "D"},
                   {"z", "c", "f", "g", "u", "h", "d", "e", "k"},
                   {{"c", false, false},
                    {"f", false, false},
                    {"g", false, false},
                    {"u", false, false},
                    {"h", false, false},
                    {"d", false, false},
                    {"e", false, false},
                    {"k", true, false}},
                   {},
                   ""},
        EffectCase{"UntracedCloneIsTracedAnyway", {"untraced-clone", "D/s"}, {"s"}, {{"s", true, false}}, {}, ""},
        EffectCase{"NameNotUtf8IsShownWithReplacement",
                   {"non-utf8", "D"},
                   {},
                   {{"n\xEF\xBF\xBD", false, true}},
                   {},
                   ""},
        EffectCase{"ProgramsOwnFilterGetsEnosysForItsTraceStop", {"own-filter"}, {}, {}, {}, ""}),
    [](const testing::TestParamInfo<EffectCase>& info) { return info.param.name; });

// A stop signal stops the task as it would untraced: it goes on only when continued. (A stopped
// tracee shows "t (tracing stop)", as under strace; untraced it would be "T (stopped)".) SIGSTOP,
// since the kernel drops SIGTSTP in a process group without a parent outside it, as here.
TEST(PtraceTracer, StoppedTaskStaysStoppedUntilContinued) {
  TempDir dir;
  const std::string script =
      "\"$0\" raise " + std::to_string(SIGSTOP) + " & p=$!\n"
      "state() { sed -n 's/^State:.\\(.\\).*/\\1/p' /proc/$p/status; }\n"
      "i=0; while [ $i -lt 400 ] && [ \"$(state)\" != t ] && [ \"$(state)\" != T ]; do\n"
      "  sleep 0.05; i=$((i+1)); done\n"
      "sleep 0.3; case \"$(state)\" in [tT]) echo stopped;; *) echo \"state $(state)\";; esac\n"
      "kill -CONT $p; wait $p; echo \"exit $?\"\n";
  const Traced t = trace(dir / "report", {"/bin/sh", "-c", script, fixture_path("ptrace_calls")});
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  EXPECT_EQ(t.run.out, "stopped\nexit 103\n");
}

TEST(PtraceTracer, IoUringIsWarnedAboutOnce) {
  TempDir dir;
  const Traced t = trace(dir / "report", calls({"io-uring"}));
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  EXPECT_EQ(t.run.err.rfind("Warning: process ", 0), 0u) << t.run.err;
  EXPECT_NE(t.run.err.find("io_uring; the file accesses it makes through it are not recorded\n"),
            std::string::npos)
      << t.run.err;
  EXPECT_EQ(std::count(t.run.err.begin(), t.run.err.end(), '\n'), 1);
}

TEST(PtraceTracer, ShellScriptIsReadThroughItsMovedDescriptorAndExecutedFilesAreRead) {
  TempDir dir;
  test::write_file(dir / "script.sh", "#!/bin/sh\nread line < in; echo \"$line\" > out\n");
  ASSERT_EQ(::chmod((dir / "script.sh").c_str(), 0755), 0);
  test::write_file(dir / "in", "text\n");
  test::RunOptions options;
  options.cwd = dir.path();
  const Traced t = trace(dir / "report", {"./script.sh"}, options);
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  ASSERT_TRUE(t.report);
  for (const std::string& path : {dir / "script.sh", dir / "in",
                                  std::filesystem::canonical("/bin/sh").string()}) {
    const FileRecord* f = find_file(*t.report, path);
    ASSERT_NE(f, nullptr) << path;
    EXPECT_TRUE(f->read) << path;
  }
  const FileRecord* out = find_file(*t.report, dir / "out");
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(out->written);
}

// At an exec the tracer looks at the first arguments for a #! script; a FIFO among them must
// neither block it nor lose its data to it.
TEST(PtraceTracer, FifoArgumentOfAnExecutedProgramKeepsItsData) {
  TempDir dir;
  test::RunOptions options;
  options.cwd = dir.path();
  const Traced t = trace(dir / "report", {"/bin/sh", "-c", "mkfifo p; cat p & echo x > p; wait"},
                         options);
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  EXPECT_EQ(t.run.out, "x\n");
}

struct StatusCase {
  std::string name;
  std::vector<std::string> args;
  int expected;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class PtraceExitStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(PtraceExitStatus, IsTheCommandsStatus) {
  TempDir dir;
  const Traced t = trace(dir / "report", calls(GetParam().args));
  EXPECT_EQ(t.run.exit_status, GetParam().expected) << t.run.err;
  EXPECT_EQ(t.run.err, "");
  ASSERT_TRUE(t.report);
  EXPECT_EQ(t.report->processes.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, PtraceExitStatus,
    testing::Values(
        StatusCase{"Exit0", {"exit", "0"}, 0}, StatusCase{"Exit3", {"exit", "3"}, 3},
        StatusCase{"Sigkill", {"raise", std::to_string(SIGKILL)}, 137},
        StatusCase{"Sigterm", {"raise", std::to_string(SIGTERM)}, 128 + SIGTERM},
        // Real-time signals: a handled one is passed on and handled, an unhandled one kills.
        StatusCase{"RealtimeHandled", {"rt-stop"}, 0},
        StatusCase{"RealtimeDeath", {"raise", std::to_string(SIGRTMIN + 3)}, 128 + SIGRTMIN + 3}),
    [](const testing::TestParamInfo<StatusCase>& info) { return info.param.name; });

TEST(PtraceTracer, NewChildIsNotSeenStoppedByItsParent) {
  // The SIGSTOP a new task is attached with must not reach it: a parent waiting with WUNTRACED
  // would take its child for stopped.
  TempDir dir;
  const Traced t = trace(dir / "report", calls({"wait-untraced"}));
  EXPECT_EQ(t.run.exit_status, 7) << t.run.out;
  ASSERT_TRUE(t.report);
  EXPECT_EQ(t.report->processes.size(), 2u);
}

TEST(PtraceTracer, MissingCommandFailsWithoutTouchingTheReport) {
  TempDir dir;
  const std::string out = dir / "report";
  test::write_file(out, "old contents");
  const Traced t = trace(out, {"drel-no-such-command", "arg"});
  EXPECT_EQ(t.run.exit_status, 1);
  EXPECT_EQ(t.run.err,
            "exec failed: No such file or directory (os error 2)\n"
            "Unexpected initial wait status\n");
  EXPECT_EQ(test::read_file(out), "old contents");

  const Traced none = trace(dir / "absent", {dir / "no-such-file"});
  EXPECT_EQ(none.run.exit_status, 1);
  EXPECT_FALSE(test::file_exists(dir / "absent"));
}

TEST(PtraceTracer, ReportWriteFailureIsReported) {
  TempDir dir;
  const std::string out = dir / "missing-dir/report";
  test::RunOptions options;
  options.env["TMPDIR"] = dir.path();
  const Traced t = trace(out, calls({"exit", "3"}), options);
  EXPECT_EQ(t.run.exit_status, 1);
  EXPECT_EQ(t.run.err, "drel-tracer: failed to write report to " + out +
                           ": No such file or directory (os error 2)\n"
                           "drel-tracer: the report was saved to " + dir / "report\n");
  EXPECT_TRUE(read_report_file(dir / "report").ok());
}

bool process_gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  return close == std::string::npos || line.size() < close + 3 || line[close + 2] == 'Z' ||
         line[close + 2] == 'X';
}

TEST(PtraceTracer, TracedProcessesDieWithTheTracer) {
  TempDir dir;
  const std::string pidfile = dir / "pid";
  std::vector<std::string> args{bin_path("drel-tracer"), dir / "report",
                                fixture_path("ptrace_calls"), "pidfile", pidfile};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t tracer = 0;
  ASSERT_EQ(::posix_spawn(&tracer, argv[0], nullptr, nullptr, argv.data(), environ), 0);

  pid_t tracee = 0;
  for (int i = 0; i < 500 && tracee == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string text = test::file_exists(pidfile) ? test::read_file(pidfile) : "";
    if (!text.empty()) tracee = std::stoi(text);
  }
  ::kill(tracer, SIGKILL);
  ::waitpid(tracer, nullptr, 0);
  ASSERT_GT(tracee, 0) << "the traced fixture never started";

  bool gone = false;
  for (int i = 0; i < 500 && !gone; ++i) {
    gone = process_gone(tracee);
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!gone) ::kill(tracee, SIGKILL);
  EXPECT_TRUE(gone) << "tracee " << tracee << " outlived its tracer";
}

TEST(PtraceTracer, KeyboardInterruptReachesTheCommandAndTheReportIsWritten) {
  // Ctrl-C goes to the whole foreground group: the command ends of it, the tracer does not.
  TempDir dir;
  const std::string pidfile = dir / "pid";
  const std::string report = dir / "report";
  std::vector<std::string> args{bin_path("drel-tracer"), report, fixture_path("ptrace_calls"),
                                "pidfile", pidfile};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Its own group, as a foreground job has, and the default dispositions whatever this test
  // inherited (a background job ignores SIGINT).
  posix_spawnattr_t attr;
  ::posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGQUIT);
  ::posix_spawnattr_setsigdefault(&attr, &defaults);
  ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  ::posix_spawnattr_setpgroup(&attr, 0);
  pid_t tracer = 0;
  ASSERT_EQ(::posix_spawn(&tracer, argv[0], nullptr, &attr, argv.data(), environ), 0);
  ::posix_spawnattr_destroy(&attr);

  bool started = false;
  for (int i = 0; i < 500 && !started; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    started = test::file_exists(pidfile) && !test::read_file(pidfile).empty();
  }
  ::kill(-tracer, SIGINT);
  int status = 0;
  pid_t waited = 0;
  for (int i = 0; i < 1000 && waited == 0; ++i) {
    waited = ::waitpid(tracer, &status, WNOHANG);
    if (waited == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (waited == 0) {
    ::kill(-tracer, SIGKILL);
    ::waitpid(tracer, &status, 0);
    FAIL() << "the interrupted run did not end";
  }
  ASSERT_TRUE(started) << "the traced fixture never started";
  ASSERT_TRUE(WIFEXITED(status)) << "the tracer died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
  Result<TraceReport> r = read_report_file(report);
  ASSERT_TRUE(r) << r.error().text();
  EXPECT_EQ(r->processes.size(), 1u);
}

#ifdef __x86_64__
TEST(PtraceTracer, OlderX86CallsAreRecordedLikeTheirModernForms) {
  TempDir dir;
  test::write_file(dir / "opened", "o");
  const Traced t = trace(dir / "report", calls({"legacy", dir.path()}));
  ASSERT_EQ(t.run.exit_status, 0) << t.run.err;
  ASSERT_TRUE(t.report);
  const FileRecord* opened = find_file(*t.report, dir / "opened");
  ASSERT_NE(opened, nullptr);
  EXPECT_TRUE(opened->read);
  const FileRecord* created = find_file(*t.report, dir / "created");
  ASSERT_NE(created, nullptr);
  EXPECT_TRUE(created->written);  // written through the dup2 copy
  for (const char* name : {"renamed", "linked"}) {
    const FileRecord* f = find_file(*t.report, dir / name);
    ASSERT_NE(f, nullptr) << name;
    EXPECT_TRUE(f->written) << name;
  }
}
#endif

struct UsageCase {
  std::string name;
  std::vector<std::string> args;
  std::string err;
  int status;
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

constexpr const char* kFullUsage =
    "Usage: drel-tracer <output-file> <command> [args...]\n"
    "       drel-tracer --preflight [--json] [--command <cmd>]\n"
    "  Traces <command> and writes syscall data to <output-file>\n";
constexpr const char* kPreflightUsage =
    "usage: drel-tracer --preflight [--json] [--command <cmd>]\n";
constexpr const char* kProbeUsage = "usage: drel-tracer --preflight-probe <path>\n";
constexpr const char* kNotStarted =
    "exec failed: No such file or directory (os error 2)\nUnexpected initial wait status\n";

class PtraceUsage : public testing::TestWithParam<UsageCase> {};

TEST_P(PtraceUsage, PrintsAndExits) {
  TempDir dir;
  std::vector<std::string> argv{bin_path("drel-tracer")};
  argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
  test::RunOptions options;
  options.cwd = dir.path();
  const RunResult r = test::run_program(argv, options);
  EXPECT_EQ(r.err, GetParam().err);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.exit_status, GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PtraceUsage,
    testing::Values(
        UsageCase{"NoArguments", {}, kFullUsage, 1},
        UsageCase{"OutputWithoutCommand", {"out.bin"}, kFullUsage, 1},
        UsageCase{"PreflightUnknownOption", {"--preflight", "--verbose"}, kPreflightUsage, 2},
        UsageCase{"PreflightCommandWithoutValue", {"--preflight", "--json", "--command"},
                  kPreflightUsage, 2},
        UsageCase{"ProbeWithoutPath", {"--preflight-probe"}, kProbeUsage, 2},
        // The mode flags count only in first position and only when spelled exactly.
        UsageCase{"FlagAsCommand", {"out.bin", "--preflight"}, kNotStarted, 1},
        UsageCase{"FlagCaseMatters", {"--Preflight", "drel-no-such-command"}, kNotStarted, 1},
        UsageCase{"NoEqualsForm", {"--preflight=1", "drel-no-such-command"}, kNotStarted, 1},
        UsageCase{"FlagAsOutputPath", {"--json", "true"}, "", 0}),
    [](const testing::TestParamInfo<UsageCase>& info) { return info.param.name; });

}  // namespace
}  // namespace drel
