#include "tracee_launch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/process_runner.h"

namespace drel {
namespace {

// Sets or unsets PATH for one test and puts it back afterwards.
class ScopedPath {
 public:
  explicit ScopedPath(const std::optional<std::string>& value) {
    if (const char* old = std::getenv("PATH")) old_ = old;
    if (value) {
      ::setenv("PATH", value->c_str(), 1);
    } else {
      ::unsetenv("PATH");
    }
  }
  ~ScopedPath() {
    if (old_) {
      ::setenv("PATH", old_->c_str(), 1);
    } else {
      ::unsetenv("PATH");
    }
  }

 private:
  std::optional<std::string> old_;
};

struct LookupCase {
  std::string name;
  std::string program;
  std::optional<std::string> path;
  std::vector<std::string> expected;
};

void PrintTo(const LookupCase& c, std::ostream* os) {
  *os << c.name;
}

class CandidateTest : public testing::TestWithParam<LookupCase> {};

TEST_P(CandidateTest, FollowsExecvpOrder) {
  ScopedPath path(GetParam().path);
  PreparedExec exec({GetParam().program, "arg"});
  EXPECT_EQ(exec.candidates(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lookup, CandidateTest,
    testing::Values(
        LookupCase{"SlashMeansNoSearch", "./tool", "/a:/b", {"./tool"}},
        LookupCase{"AbsoluteName", "/usr/bin/env", "/a", {"/usr/bin/env"}},
        LookupCase{"EachDirectoryInOrder", "cc", "/a:/b/c", {"/a/cc", "/b/c/cc"}},
        LookupCase{"EmptyEntryIsWorkingDirectory", "cc", "/a::/b", {"/a/cc", "cc", "/b/cc"}},
        LookupCase{"TrailingColon", "cc", "/a:", {"/a/cc", "cc"}},
        LookupCase{"UnsetPathUsesDefault", "cc", std::nullopt, {"/bin/cc", "/usr/bin/cc"}},
        LookupCase{"EmptyName", "", "/a", {}}),
    [](const testing::TestParamInfo<LookupCase>& info) { return info.param.name; });

// Runs PreparedExec::exec in a child; returns the child's exit code, or 100 + the errno exec()
// reported when it returned.
int exec_in_child(const std::vector<std::string>& command, const std::string& path) {
  ScopedPath scoped(path);
  PreparedExec exec(command);
  const pid_t pid = ::fork();
  if (pid == 0) _exit(100 + exec.exec());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ExecTest : public testing::Test {
 protected:
  void SetUp() override {
    test::write_file(dir_ / "script", "exit 7\n");  // no "#!": the kernel refuses the format
    ::chmod((dir_ / "script").c_str(), 0755);
    test::write_file(dir_ / "plain", "exit 8\n");  // not executable
    ::chmod((dir_ / "plain").c_str(), 0644);
  }
  test::TempDir dir_;
};

TEST_F(ExecTest, RunsFoundProgramWithItsArguments) {
  EXPECT_EQ(exec_in_child({"sh", "-c", "exit $0", "5"}, "/nonexistent:/bin:/usr/bin"), 5);
}

TEST_F(ExecTest, MissingProgramIsEnoent) {
  EXPECT_EQ(exec_in_child({"drel-no-such-program"}, dir_.path()), 100 + ENOENT);
}

TEST_F(ExecTest, RefusedCandidateWinsOverLaterMissing) {
  // "plain" exists but cannot be executed; the later directory lacks it: execvp says EACCES.
  EXPECT_EQ(exec_in_child({"plain"}, dir_.path() + ":/nonexistent"), 100 + EACCES);
}

TEST_F(ExecTest, FileWithoutFormatRunsUnderShell) {
  EXPECT_EQ(exec_in_child({"script"}, dir_.path()), 7);
}

TEST_F(ExecTest, ArgumentBytesPassUnchanged) {
  // A non-UTF-8 argument reaches the program byte for byte.
  const std::string arg = "a\xff\xfe";
  EXPECT_EQ(exec_in_child({"sh", "-c", "test \"$0\" = \"$(printf 'a\\377\\376')\"", arg},
                          "/bin:/usr/bin"),
            0);
}

TEST(LaunchTest, FailedExecLeavesItsErrnoForTheParent) {
  ScopedPath path("/nonexistent");
  PreparedExec exec({"drel-no-such-program"});
  ExecFailureSlot failure;
  ASSERT_TRUE(failure.available());
  const TerminationSignals signals;
  const pid_t pid = launch_tracee(exec, failure, signals);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(failure.error(), ENOENT);
}

TEST(LaunchTest, SuccessfulExecStopsTracedAtItsSigtrap) {
  PreparedExec exec({"/bin/true"});
  ExecFailureSlot failure;
  const TerminationSignals signals;
  const pid_t pid = launch_tracee(exec, failure, signals);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSTOPPED(status) && WSTOPSIG(status) == SIGTRAP);
  EXPECT_EQ(failure.error(), 0);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
}

void (*disposition(int sig))(int) {
  struct sigaction current {};
  ::sigaction(sig, nullptr, &current);
  return current.sa_handler;
}

TEST(TerminationSignalsTest, HandledInTracerDefaultInChildRestoredAfterwards) {
  // Start from the defaults whatever this test inherited (a background job ignores SIGINT),
  // except SIGHUP, ignored as under nohup: the command must inherit that one ignored.
  const int kCaught[] = {SIGINT, SIGTERM, SIGQUIT};
  struct sigaction old[4]{};
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (size_t i = 0; i < 3; ++i) ::sigaction(kCaught[i], &dfl, &old[i]);
  const auto old_hup = ::signal(SIGHUP, SIG_IGN);
  {
    const TerminationSignals signals;
    for (const int sig : kCaught) {
      EXPECT_NE(disposition(sig), SIG_DFL) << sig;
      EXPECT_NE(disposition(sig), SIG_IGN) << sig;
    }
    EXPECT_EQ(disposition(SIGHUP), SIG_IGN);
    const pid_t pid = ::fork();
    if (pid == 0) {
      signals.reset_in_child();
      bool defaults = disposition(SIGHUP) == SIG_IGN;
      for (const int sig : kCaught) defaults = defaults && disposition(sig) == SIG_DFL;
      _exit(defaults ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (const int sig : kCaught) EXPECT_EQ(disposition(sig), SIG_DFL) << sig;
  EXPECT_EQ(disposition(SIGHUP), SIG_IGN);
  for (size_t i = 0; i < 3; ++i) ::sigaction(kCaught[i], &old[i], nullptr);
  ::signal(SIGHUP, old_hup);
}

}  // namespace
}  // namespace drel
