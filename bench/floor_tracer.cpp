// drel-floor-tracer [--count] [--registers] <command> [args...]
//
// drel-tracer's seccomp filter and its trace loop with no decoding at all: every stop is resumed
// at once and nothing is read from the tracee. Its added time is the least any tracer built on
// this filter can cost, which is what the benchmarks hold drel-tracer against.
//
// --count prints the number of seccomp stops on standard error at the end (one counter, so the
// floor stays a floor).
//
// --registers also does what no exact tracer on this filter can skip: it reads each stopped
// call's registers (the call and its arguments are only there) and takes the exit stop of every
// call that makes a descriptor (its number is only in the result), reading the result. It reads
// no memory and keeps no state, so drel-tracer's time above it is its own decoding.
#include <signal.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>

#include "arch/registers.h"
#include "seccomp.h"
#include "trace_loop.h"

namespace {

// Counts the seccomp stops and asks for no exit stop; every other stop is the loop's own.
class CountingObserver final : public drel::TraceObserver {
 public:
  bool on_seccomp_stop(pid_t) override {
    ++seccomp_stops;
    return false;
  }
  void on_syscall_exit(pid_t) override {}
  void on_new_task(pid_t, pid_t) override {}
  void on_exec(pid_t) override {}
  void on_task_gone(pid_t) override {}
  unsigned long long seccomp_stops = 0;
};

class RegistersObserver final : public drel::TraceObserver {
 public:
  bool on_seccomp_stop(pid_t task) override {
    ++seccomp_stops;
    const std::optional<drel::SyscallRegs> regs = drel::read_syscall_regs(task);
    if (!regs) return false;
    const std::optional<drel::SyscallKind> kind = drel::syscall_kind(regs->nr);
    if (!kind) return false;
    const drel::CallFamily family = drel::call_family(*kind);
    return family == drel::CallFamily::Open || family == drel::CallFamily::Dup;
  }
  void on_syscall_exit(pid_t task) override { results += drel::read_syscall_result(task) ? 1 : 0; }
  void on_new_task(pid_t, pid_t) override {}
  void on_exec(pid_t) override {}
  void on_task_gone(pid_t) override {}
  unsigned long long seccomp_stops = 0;
  unsigned long long results = 0;
};

int status_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

// Once the filter is in, write(2) is refused until the parent has set its options, so a failing
// child leaves its errno in memory shared with the parent instead of printing it.
struct ChildFailure {
  const char* step;
  int error;
};

[[noreturn]] void run_child(char** command, ChildFailure* failure, bool privileged) {
  if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
    *failure = {"ptrace(PTRACE_TRACEME)", errno};
    _exit(127);
  }
  drel::install_seccomp_filter(drel::TRACED_SYSCALLS, drel::ARGUMENT_TESTS,
                               drel::AUDIT_ARCH_NATIVE, privileged);
  signal(SIGPIPE, SIG_DFL);
  execvp(command[0], command);
  *failure = {"exec", errno};
  _exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  bool count = false;
  bool registers = false;
  for (; first < argc; ++first) {
    if (std::strcmp(argv[first], "--count") == 0) {
      count = true;
    } else if (std::strcmp(argv[first], "--registers") == 0) {
      registers = true;
    } else {
      break;
    }
  }
  if (argc <= first) {
    std::fprintf(stderr, "usage: drel-floor-tracer [--count] [--registers] <command> [args...]\n");
    return 2;
  }

  void* shared = mmap(nullptr, sizeof(ChildFailure), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) {
    std::fprintf(stderr, "drel-floor-tracer: mmap: %s\n", std::strerror(errno));
    return 1;
  }
  auto* failure = new (shared) ChildFailure{nullptr, 0};

  const bool privileged = drel::may_filter_without_no_new_privs();
  const pid_t root = fork();
  if (root < 0) {
    std::fprintf(stderr, "drel-floor-tracer: fork: %s\n", std::strerror(errno));
    return 1;
  }
  if (root == 0) run_child(argv + first, failure, privileged);

  int status = 0;
  if (waitpid(root, &status, 0) != root || !WIFSTOPPED(status)) {
    if (failure->step != nullptr) {
      std::fprintf(stderr, "drel-floor-tracer: %s %s: %s\n", failure->step, argv[first],
                   std::strerror(failure->error));
    }
    return WIFEXITED(status) || WIFSIGNALED(status) ? status_code(status) : 1;
  }
  if (registers) {
    RegistersObserver observer;
    const int code = drel::trace_loop(root, observer);
    if (count) {
      std::fprintf(stderr, "drel-floor-tracer: %llu seccomp stops, %llu exit stops\n",
                   observer.seccomp_stops, observer.results);
    }
    return code;
  }
  CountingObserver observer;
  const int code = drel::trace_loop(root, observer);
  if (count) std::fprintf(stderr, "drel-floor-tracer: %llu seccomp stops\n", observer.seccomp_stops);
  return code;
}
