// SIGINT, SIGTERM, SIGHUP and SIGQUIT while a command is traced. The tracer lives on to write
// its report, and the command gets each signal as it would untraced: one that reached the
// command's process group too (from the terminal, or sent to the group from inside it) is left
// alone; one sent to the tracer alone is passed on to the command. A second SIGINT or SIGTERM
// asks the tracer to finish at once; 100 ms later it exits with 128 + that signal, whatever it
// is doing then.
#pragma once

#include <sys/types.h>

namespace drel {

// One at a time: the handlers keep their state in the process.
class TerminationSignals {
 public:
  // Installs the handlers, except for a signal that this process was started with ignored:
  // the command inherits that one ignored, as it would untraced.
  TerminationSignals();
  // Puts the dispositions back and stops a running deadline.
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  // Where a signal for the tracer alone is passed on to; none before this is called.
  void set_command(pid_t pid);
  // A file removed if the deadline ends the process (at most 255 bytes; longer is ignored).
  void remove_on_forced_exit(const char* path);

  // A tracer that sees the command's signals (ptrace) says so: a signal from a process of the
  // tracer's group is held back 20 ms and passed on only if the command got no copy of its own.
  void note_delivered(pid_t task, int sig) const;

  // The first of the four signals that arrived, or 0.
  int first_signal() const;
  // A second SIGINT or SIGTERM arrived: its number, or 0.
  int hurry_signal() const;

  // Default dispositions, for a forked child before it executes; async-signal-safe.
  void reset_in_child() const noexcept;
};

}  // namespace drel
