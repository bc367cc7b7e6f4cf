#include "wait_status.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ostream>
#include <string>

namespace drel {
namespace {

struct StatusCase {
  std::string name;
  int status;
  WaitStatus expected;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

// Status words as the kernel lays them out: exit code in bits 8-15 with 0 below; a death with
// the signal in the low 7 bits (0x80 for a core); a stop with 0x7F, the signal in bits 8-15 and
// the ptrace event in bits 16 and up.
constexpr int exited(int code) { return (code & 0xFF) << 8; }
constexpr int stopped(int sig, int event = 0) { return (event << 16) | (sig << 8) | 0x7F; }

class WaitStatusTest : public testing::TestWithParam<StatusCase> {};

TEST_P(WaitStatusTest, Classifies) {
  EXPECT_EQ(classify_wait_status(GetParam().status), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, WaitStatusTest,
    testing::Values(
        StatusCase{"ExitZero", exited(0), {WaitKind::Exited, 0}},
        StatusCase{"ExitThree", exited(3), {WaitKind::Exited, 3}},
        StatusCase{"Exit255", exited(255), {WaitKind::Exited, 255}},
        StatusCase{"KilledBySigkill", SIGKILL, {WaitKind::Signaled, SIGKILL}},
        StatusCase{"KilledWithCore", SIGSEGV | 0x80, {WaitKind::Signaled, SIGSEGV}},
        StatusCase{"KilledBySignal31", 31, {WaitKind::Signaled, 31}},
        StatusCase{"KilledByRealtime34", 34, {WaitKind::Signaled, 34}},
        StatusCase{"KilledByRealtime64", 64, {WaitKind::Signaled, 64}},
        StatusCase{"DeathBeyondLastSignal", 65, {WaitKind::Undecodable, 0}},
        StatusCase{"SyscallStop", stopped(SIGTRAP | 0x80), {WaitKind::SyscallStop, 0}},
        StatusCase{"SeccompEvent", stopped(SIGTRAP, 7), {WaitKind::EventStop, 7}},
        StatusCase{"ForkEvent", stopped(SIGTRAP, 1), {WaitKind::EventStop, 1}},
        StatusCase{"ExecEvent", stopped(SIGTRAP, 4), {WaitKind::EventStop, 4}},
        StatusCase{"PlainSigstop", stopped(SIGSTOP), {WaitKind::Stopped, SIGSTOP}},
        StatusCase{"PlainSigtrap", stopped(SIGTRAP), {WaitKind::Stopped, SIGTRAP}},
        StatusCase{"StopBySignal31", stopped(31), {WaitKind::Stopped, 31}},
        StatusCase{"StopByRealtime32", stopped(32), {WaitKind::Stopped, 32}},
        StatusCase{"StopByRealtime64", stopped(64), {WaitKind::Stopped, 64}},
        StatusCase{"StopWithoutSignal", stopped(0), {WaitKind::Undecodable, 0}},
        StatusCase{"StopBeyondLastSignal", stopped(0x7E), {WaitKind::Undecodable, 0}},
        StatusCase{"Continued", 0xFFFF, {WaitKind::Continued, 0}}),
    [](const testing::TestParamInfo<StatusCase>& info) { return info.param.name; });

// The same classification on words the kernel itself produced for real children.
struct RealCase {
  std::string name;
  void (*child)();
  int wait_flags;
  WaitStatus expected;
};

void PrintTo(const RealCase& c, std::ostream* os) { *os << c.name; }

void exit_three() { _exit(3); }
void kill_self() { ::raise(SIGKILL); }
void realtime_death() { ::raise(SIGRTMIN + 2); }
void stop_self() { ::raise(SIGSTOP); }

class RealWaitStatusTest : public testing::TestWithParam<RealCase> {};

TEST_P(RealWaitStatusTest, ClassifiesKernelWords) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    GetParam().child();
    _exit(99);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, GetParam().wait_flags), pid);
  EXPECT_EQ(classify_wait_status(status), GetParam().expected);
  if (WIFSTOPPED(status)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Children, RealWaitStatusTest,
    testing::Values(RealCase{"Exit3", exit_three, 0, {WaitKind::Exited, 3}},
                    RealCase{"Sigkill", kill_self, 0, {WaitKind::Signaled, SIGKILL}},
                    RealCase{"Realtime", realtime_death, 0, {WaitKind::Signaled, SIGRTMIN + 2}},
                    RealCase{"Sigstop", stop_self, WUNTRACED, {WaitKind::Stopped, SIGSTOP}}),
    [](const testing::TestParamInfo<RealCase>& info) { return info.param.name; });

}  // namespace
}  // namespace drel
