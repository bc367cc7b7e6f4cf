// Starting the traced command: fork, PTRACE_TRACEME, the seccomp filter, exec.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "common/termination_signals.h"

namespace drel {

// Everything the child needs between fork and exec, built beforehand: after a fork the child may
// only make system calls (no allocation, no locks), so the argument vector and the PATH lookup
// are prepared here.
class PreparedExec {
 public:
  // `command` is executed byte for byte; it must hold at least one element.
  explicit PreparedExec(const std::vector<std::string>& command);
  PreparedExec(const PreparedExec&) = delete;
  PreparedExec& operator=(const PreparedExec&) = delete;

  // The files tried in order, as execvp would: the name itself when it holds a "/", else each
  // PATH directory joined with it (an empty entry is the working directory).
  const std::vector<std::string>& candidates() const { return candidates_; }

  // Tries the candidates; a file the kernel refuses as not executable is run with /bin/sh, as
  // execvp does. Returns only on failure, with the errno execvp would leave (EACCES if any
  // candidate was refused so, else the last failure). Async-signal-safe.
  int exec() noexcept;

 private:
  std::vector<std::string> args_;
  std::vector<char*> argv_;
  std::vector<std::string> candidates_;
  // "/bin/sh", <candidate>, argv[1..], nullptr; slot 1 is filled in by exec().
  std::vector<char*> script_argv_;
};

// A word of memory shared with the child, where it leaves the errno of a failed exec. Once the
// filter is installed the child cannot print it itself: the write-family calls stop for the
// tracer, and before the tracer has set its options the kernel refuses them with ENOSYS.
class ExecFailureSlot {
 public:
  ExecFailureSlot();
  ~ExecFailureSlot();
  ExecFailureSlot(const ExecFailureSlot&) = delete;
  ExecFailureSlot& operator=(const ExecFailureSlot&) = delete;

  // Called in the child only; a plain store.
  void set(int err) noexcept;
  // False if the shared word could not be mapped.
  bool available() const { return slot_ != nullptr; }
  // The errno the child left, 0 if none.
  int error() const;

 private:
  volatile int* slot_ = nullptr;
};

// Forks the traced child. The child requests tracing, installs the seccomp filter, resets
// SIGPIPE and the termination signals and executes the command; if that fails it leaves the errno in `failure` (printing it
// itself only if there is no slot) and exits 1. Returns the child's id, or -1 after printing
// "fork failed: ..." to standard error.
pid_t launch_tracee(PreparedExec& exec, ExecFailureSlot& failure,
                    const TerminationSignals& signals);

// "exec failed: <strerror text> (os error N)" on standard error, if the child left an errno.
void report_exec_failure(const ExecFailureSlot& failure);

}  // namespace drel
