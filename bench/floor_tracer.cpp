// drel-floor-tracer [--count] <command> [args...]
//
// drel-tracer's seccomp filter and ptrace options with no decoding at all: every stop is resumed
// at once and nothing is read from the tracee. Its added time is the least any tracer built on
// this filter can cost, which is what the benchmarks hold drel-tracer against.
//
// --count prints the number of seccomp stops on standard error at the end (one counter, so the
// floor stays a floor).
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

#include "arch/registers.h"
#include "seccomp.h"

namespace {

constexpr long kOptions = PTRACE_O_TRACESECCOMP | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                          PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL;

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

[[noreturn]] void run_child(char** command, ChildFailure* failure) {
  if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
    *failure = {"ptrace(PTRACE_TRACEME)", errno};
    _exit(127);
  }
  drel::install_seccomp_filter(drel::TRACED_SYSCALLS, drel::AUDIT_ARCH_NATIVE);
  signal(SIGPIPE, SIG_DFL);
  execvp(command[0], command);
  *failure = {"exec", errno};
  _exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  bool count = false;
  if (argc > 1 && std::strcmp(argv[1], "--count") == 0) {
    count = true;
    first = 2;
  }
  if (argc <= first) {
    std::fprintf(stderr, "usage: drel-floor-tracer [--count] <command> [args...]\n");
    return 2;
  }

  void* shared = mmap(nullptr, sizeof(ChildFailure), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) {
    std::fprintf(stderr, "drel-floor-tracer: mmap: %s\n", std::strerror(errno));
    return 1;
  }
  auto* failure = new (shared) ChildFailure{nullptr, 0};

  const pid_t root = fork();
  if (root < 0) {
    std::fprintf(stderr, "drel-floor-tracer: fork: %s\n", std::strerror(errno));
    return 1;
  }
  if (root == 0) run_child(argv + first, failure);

  int status = 0;
  if (waitpid(root, &status, 0) != root || !WIFSTOPPED(status)) {
    if (failure->step != nullptr) {
      std::fprintf(stderr, "drel-floor-tracer: %s %s: %s\n", failure->step, argv[first],
                   std::strerror(failure->error));
    }
    return WIFEXITED(status) || WIFSIGNALED(status) ? status_code(status) : 1;
  }
  if (ptrace(PTRACE_SETOPTIONS, root, nullptr, kOptions) != 0 ||
      ptrace(PTRACE_CONT, root, nullptr, nullptr) != 0) {
    std::fprintf(stderr, "drel-floor-tracer: ptrace setup: %s\n", std::strerror(errno));
    return 1;
  }

  unsigned long long seccomp_stops = 0;
  int root_status = 0;
  for (;;) {
    const pid_t pid = waitpid(-1, &status, __WALL);
    if (pid < 0) {
      if (errno == EINTR) continue;
      break;  // ECHILD: every task is gone
    }
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      if (pid == root) root_status = status;
      continue;
    }
    if (!WIFSTOPPED(status)) continue;
    const int event = status >> 16;
    const int sig = WSTOPSIG(status);
    long deliver = 0;
    if (event == PTRACE_EVENT_SECCOMP) {
      ++seccomp_stops;
    } else if (event == 0 && sig != SIGSTOP) {
      // A real signal for the tracee. SIGSTOP is how a new child starts (or a stop request the
      // floor does not honour) and is swallowed; exec comes as an event, not a bare SIGTRAP.
      deliver = sig;
    }
    ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(deliver));
  }
  if (count) std::fprintf(stderr, "drel-floor-tracer: %llu seccomp stops\n", seccomp_stops);
  return status_code(root_status);
}
