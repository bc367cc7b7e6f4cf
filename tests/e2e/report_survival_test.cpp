// Both tracers when a run is interrupted or its report has nowhere to go: the command meets the
// signal as it would untraced, the report of what ran is written (or saved in TMPDIR and the
// error says where), an old report is never left half overwritten, and nothing stays in /tmp.
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/report.h"
#include "common/report_reader.h"
#include "support/case_names.h"
#include "support/process_runner.h"

extern char** environ;

namespace drel {
namespace {

using test::TempDir;

// How the run is disturbed.
enum class Trigger {
  kNone,
  kTerminalInterrupt,  // ^C typed on the run's terminal: SIGINT to its foreground group
  kSignalTracer,       // signal_1 to the tracer's pid alone
  kTwoSignals,         // signal_1, then signal_2, to the tracer alone
  kTimeout,  // run under timeout -s <signal_1> 2, which signals the tracer, then the group
};

// Where the report is to go.
enum class Target {
  kPlain,       // @/out.m, new
  kMissingDir,  // @/missing/out.m
  kSymlink,     // @/link -> real/out.m, which holds an old report
  kFullFs,      // out.m on a full tmpfs, holding an old report
  kReadOnlyFs,  // out.m on a read-only tmpfs, holding an old report
  kSizeLimit,   // @/out.m holding an old report, under RLIMIT_FSIZE smaller than the report
};

enum class Saved { kNo, kYes, kFailed };

struct Case {
  std::string name;
  std::string script;  // run by sh -c; "@" stands for the test's directory
  Trigger trigger;
  int signal_1;
  int signal_2;
  Target target;
  int exit_status;
  bool command_finished;  // the script reached its last line (@/done exists)
  std::string cause;      // after "failed to write report to <path>: ", "" when writing works
  Saved saved;
};
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

constexpr const char* kOldReport = "an old report";
constexpr size_t kSizeLimit = 4096;

std::string at(const std::string& text, const std::string& dir) {
  std::string out = text;
  for (size_t p; (p = out.find('@')) != std::string::npos;) out.replace(p, 1, dir);
  return out;
}

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    const size_t nl = text.find('\n', start);
    out.push_back(text.substr(start, nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return out;
}

bool has(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// Waits for a file the traced command makes; a guard against hanging, not a measurement.
bool wait_for_file(const std::string& path, pid_t tracer) {
  for (int i = 0; i < 2000; ++i) {
    if (test::file_exists(path)) return true;
    if (::waitpid(tracer, nullptr, WNOHANG) != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Mounts a small tmpfs at $1 in a private mount namespace, puts $2 there as out.m, makes the
// file system full or read-only ($3), runs the rest in the background, and leaves its pid, the
// final out.m and the listing in $4.
constexpr const char* kNamespaceScript = R"(mnt=$1 old=$2 how=$3 keep=$4; shift 4
mount -t tmpfs -o size=256k tmpfs "$mnt" || exit 125
cp "$old" "$mnt/out.m"
case $how in
  full) dd if=/dev/zero of="$mnt/fill" bs=64k 2>/dev/null ;;
  ro) mount -o remount,ro "$mnt" || exit 125 ;;
esac
"$@" &
echo $! > "$keep/pid"
wait $!
status=$?
cp "$mnt/out.m" "$keep/after"
ls -A "$mnt" > "$keep/listing"
exit $status
)";

struct Started {
  pid_t pid = -1;
  int terminal = -1;  // the pty's controlling side, for kTerminalInterrupt
};

// Forks the run in a process group of its own (a kill(0) in the command must not reach the
// test), standard output and error to files, on a terminal of its own when asked.
Started start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const std::string& dir, bool on_terminal, bool size_limit) {
  Started s;
  std::string terminal_name;
  if (on_terminal) {
    s.terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s.terminal < 0 || ::grantpt(s.terminal) != 0 || ::unlockpt(s.terminal) != 0) return s;
    terminal_name = ::ptsname(s.terminal);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const std::string out = dir + "/stdout", err = dir + "/stderr";
  s.pid = ::fork();
  if (s.pid != 0) return s;
  if (on_terminal) {
    ::setsid();  // the terminal opened next becomes the session's, this group its foreground
    const int t = ::open(terminal_name.c_str(), O_RDWR);
    if (t < 0) _exit(126);
    ::dup2(t, 0);
  } else {
    ::setpgid(0, 0);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
  }
  ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
  ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
  if (size_limit) {
    const rlimit limit{kSizeLimit, kSizeLimit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ::execve(args[0], args.data(), envp.data());
  _exit(127);
}

std::vector<std::string> environment(const std::string& tmpdir, bool padded) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name == "TMPDIR" || name == "LD_PRELOAD" || name == "DREL_PRELOAD_TRACE_SOCK" ||
        name == "DREL_PRELOAD_LIB")
      continue;
    out.push_back(entry);
  }
  out.push_back("TMPDIR=" + tmpdir);
  out.push_back("DREL_PRELOAD_LIB=" + test::bin_path("libdrel_tracer_preload.so"));
  // Every process's environment is in the report: this makes it larger than the size limit.
  if (padded) out.push_back("DREL_TEST_PAD=" + std::string(2 * kSizeLimit, 'p'));
  return out;
}

bool namespaces_work() {
  static const bool works = [] {
    const std::vector<std::string> probe = ::geteuid() == 0
                                               ? std::vector<std::string>{"unshare", "-m", "true"}
                                               : std::vector<std::string>{"unshare", "-rm", "true"};
    return test::run_program(probe).exit_status == 0;
  }();
  return works;
}

class ReportSurvival : public ::testing::TestWithParam<std::tuple<std::string, Case>> {};

TEST_P(ReportSurvival, CommandReportStatusAndNothingLeft) {
  const std::string& program = std::get<0>(GetParam());
  const Case& c = std::get<1>(GetParam());
  const bool in_namespace = c.target == Target::kFullFs || c.target == Target::kReadOnlyFs;
  if (in_namespace && !namespaces_work()) GTEST_SKIP() << "no mount namespace for a tmpfs here";

  TempDir dir;
  const std::string tmpdir = dir / "tmp";
  const std::string keep = dir / "keep";
  ASSERT_EQ(::mkdir(tmpdir.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(keep.c_str(), 0700), 0);
  const std::string script = at(c.script, dir.path());
  const std::string old = dir / "old.m";
  test::write_file(old, kOldReport);

  std::string target = dir / "out.m";
  std::string written_at = target;  // where the report itself lands
  switch (c.target) {
    case Target::kPlain:
      break;
    case Target::kMissingDir:
      target = written_at = dir / "missing/out.m";
      break;
    case Target::kSymlink:
      ASSERT_EQ(::mkdir((dir / "real").c_str(), 0700), 0);
      test::write_file(dir / "real/out.m", kOldReport);
      target = dir / "link";
      written_at = dir / "real/out.m";
      ASSERT_EQ(::symlink("real/out.m", target.c_str()), 0);
      break;
    case Target::kFullFs:
    case Target::kReadOnlyFs:
      ASSERT_EQ(::mkdir((dir / "mnt").c_str(), 0700), 0);
      target = written_at = dir / "mnt/out.m";
      break;
    case Target::kSizeLimit:
      test::write_file(target, kOldReport);
      break;
  }

  const std::vector<std::string> command = {"sh", "-c", script};
  std::vector<std::string> argv = {test::bin_path(program), target};
  argv.insert(argv.end(), command.begin(), command.end());
  if (c.trigger == Trigger::kTimeout) {
    std::vector<std::string> wrapped = {"/usr/bin/timeout", "--preserve-status", "-s",
                                        std::to_string(c.signal_1), "2"};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    argv = std::move(wrapped);
  }
  if (in_namespace) {
    std::vector<std::string> wrapped = {"/usr/bin/unshare"};
    if (::geteuid() != 0) wrapped.push_back("-r");
    wrapped.insert(wrapped.end(), {"-m", "/bin/sh", "-c", kNamespaceScript, "ns", dir / "mnt", old,
                                   c.target == Target::kFullFs ? "full" : "ro", keep});
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    argv = std::move(wrapped);
  }

  // The emulated aarch64 machine has neither pseudo-terminals nor coreutils' timeout.
  if (c.trigger == Trigger::kTimeout &&
      std::system("/usr/bin/timeout --preserve-status 5 true >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no /usr/bin/timeout with --preserve-status on this system";
  const Started run =
      start(argv, environment(tmpdir, c.target == Target::kSizeLimit), dir.path(),
            c.trigger == Trigger::kTerminalInterrupt, c.target == Target::kSizeLimit);
  if (run.pid < 0 && c.trigger == Trigger::kTerminalInterrupt)
    GTEST_SKIP() << "no pseudo-terminal on this system";
  ASSERT_GT(run.pid, 0);
  if (c.trigger != Trigger::kNone && c.trigger != Trigger::kTimeout) {
    // Once "ready" exists the tracer has let the command past its open of "started".
    ASSERT_TRUE(wait_for_file(dir / "ready", run.pid)) << test::read_file(dir / "stderr");
    switch (c.trigger) {
      case Trigger::kNone:
      case Trigger::kTimeout:
        break;
      case Trigger::kTerminalInterrupt:
        ASSERT_EQ(::write(run.terminal, "\x03", 1), 1);
        break;
      case Trigger::kSignalTracer:
        ::kill(run.pid, c.signal_1);
        break;
      case Trigger::kTwoSignals:
        // Different signals do not merge; the lower number is handled first.
        ::kill(run.pid, c.signal_1);
        ::kill(run.pid, c.signal_2);
        break;
    }
  }
  int status = 0;
  ASSERT_EQ(::waitpid(run.pid, &status, 0), run.pid);
  ::kill(-run.pid, SIGKILL);  // whatever the tracer left running in its group
  if (run.terminal >= 0) ::close(run.terminal);
  const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const std::string err = test::read_file(dir / "stderr");

  // The command.
  EXPECT_EQ(exit_status, c.exit_status) << err;
  EXPECT_TRUE(test::file_exists(dir / "started"));
  EXPECT_EQ(test::file_exists(dir / "done"), c.command_finished);

  // The report, where it should be, whole, with what ran.
  std::string report_path = written_at;
  const std::string lead = program + ": failed to write report to " + target + ": " + c.cause;
  if (c.cause.empty()) {
    EXPECT_EQ(err.find("failed to write report"), std::string::npos) << err;
  } else {
    const std::vector<std::string> lines = lines_of(err);
    ASSERT_EQ(lines.size(), 2u) << err;
    EXPECT_EQ(lines[0], lead);
    if (c.saved == Saved::kYes) {
      report_path = tmpdir + "/out.m";
      EXPECT_EQ(lines[1], program + ": the report was saved to " + report_path);
    } else {
      EXPECT_EQ(lines[1].rfind(program + ": the report could not be saved in TMPDIR either: ", 0),
                0u)
          << lines[1];
    }
  }
  if (c.saved != Saved::kFailed) {
    Result<TraceReport> report = read_report_file(report_path);
    ASSERT_TRUE(report.ok()) << report_path << ": " << report.error().text();
    ASSERT_FALSE(report->processes.empty());
    EXPECT_TRUE(std::any_of(report->processes.begin(), report->processes.end(),
                            [&](const ProcessRecord& p) { return p.command == command; }));
    EXPECT_TRUE(has(report->written_files, dir / "started")) << report_path;
    if (c.command_finished) {
      EXPECT_TRUE(has(report->written_files, dir / "done"));
    }
  }

  // The old report, untouched when the new one could not replace it; no temporary beside it.
  if (in_namespace) {
    EXPECT_EQ(test::read_file(keep + "/after"), kOldReport);
    EXPECT_EQ(test::read_file(keep + "/listing"),
              c.target == Target::kFullFs ? "fill\nout.m\n" : "out.m\n");
  } else if (c.target == Target::kSizeLimit) {
    EXPECT_EQ(test::read_file(target), kOldReport);
    EXPECT_EQ(names_in(dir.path()),
              (std::vector<std::string>{"done", "keep", "old.m", "out.m", "started", "stderr",
                                        "stdout", "tmp"}));
  } else if (c.target == Target::kSymlink) {
    EXPECT_TRUE(std::filesystem::is_symlink(target));
    EXPECT_EQ(names_in(dir / "real"), std::vector<std::string>{"out.m"});
  }

  // Nothing left behind: TMPDIR holds the saved report only, /tmp no socket of this run.
  EXPECT_EQ(names_in(tmpdir), c.saved == Saved::kYes ? std::vector<std::string>{"out.m"}
                                                     : std::vector<std::string>{});
  pid_t tracer = run.pid;
  if (in_namespace) tracer = std::stoi(test::read_file(keep + "/pid"));
  const std::string socket_prefix = ".drel-" + std::to_string(tracer) + "-";
  for (const std::string& name : names_in("/tmp"))
    EXPECT_NE(name.rfind(socket_prefix, 0), 0u) << name;
}

const Case kCases[] = {
    {"interrupt_typed_on_the_terminal",
     "echo > @/started; echo > @/ready; exec sleep 30; echo > @/done", Trigger::kTerminalInterrupt,
     0, 0, Target::kPlain, 128 + SIGINT, false, "", Saved::kNo},
    {"terminate_sent_to_the_tracer",
     "echo > @/started; echo > @/ready; exec sleep 30; echo > @/done", Trigger::kSignalTracer,
     SIGTERM, 0, Target::kPlain, 128 + SIGTERM, false, "", Saved::kNo},
    {"hangup_sent_to_the_tracer", "echo > @/started; echo > @/ready; exec sleep 30; echo > @/done",
     Trigger::kSignalTracer, SIGHUP, 0, Target::kPlain, 128 + SIGHUP, false, "", Saved::kNo},
    {"command_signals_its_own_group", "echo > @/started; kill -TERM 0; echo > @/done",
     Trigger::kNone, 0, 0, Target::kPlain, 128 + SIGTERM, false, "", Saved::kNo},
    {"second_signal_ends_the_tracer",
     "trap '' HUP TERM; echo > @/started; echo > @/ready; exec sleep 30", Trigger::kTwoSignals,
     SIGHUP, SIGTERM, Target::kPlain, 128 + SIGTERM, false, "", Saved::kNo},
    // The group's copy is the command's; the tracer's two copies are one signal, not a second.
    {"timeout_interrupts_the_run",
     "trap 'echo > @/done; exit 9' INT; echo > @/started; while :; do sleep 0.05; done",
     Trigger::kTimeout, SIGINT, 0, Target::kPlain, 9, true, "", Saved::kNo},
    {"missing_output_directory", "echo > @/started; echo > @/done", Trigger::kNone, 0, 0,
     Target::kMissingDir, 1, true, "No such file or directory (os error 2)", Saved::kYes},
    {"read_only_output_directory", "echo > @/started; echo > @/done", Trigger::kNone, 0, 0,
     Target::kReadOnlyFs, 1, true, "Read-only file system (os error 30)", Saved::kYes},
    {"full_file_system", "echo > @/started; echo > @/done", Trigger::kNone, 0, 0, Target::kFullFs,
     1, true, "No space left on device (os error 28)", Saved::kYes},
    {"file_size_limit", "echo > @/started; echo > @/done", Trigger::kNone, 0, 0, Target::kSizeLimit,
     1, true, "File too large (os error 27)", Saved::kFailed},
    {"output_path_is_a_symbolic_link", "echo > @/started; echo > @/done", Trigger::kNone, 0, 0,
     Target::kSymlink, 0, true, "", Saved::kNo},
};

INSTANTIATE_TEST_SUITE_P(Runs, ReportSurvival,
                         ::testing::Combine(::testing::Values("drel-tracer", "drel-tracer-preload"),
                                            ::testing::ValuesIn(kCases)),
                         [](const auto& info) {
                           return test::name_piece(std::get<0>(info.param)) + "_" +
                                  std::get<1>(info.param).name;
                         });

}  // namespace
}  // namespace drel
