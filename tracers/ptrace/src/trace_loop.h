// The one ptrace wait loop: every stop of every traced task is classified here, new tasks are
// adopted, signals are passed on, and what a stop means for the files goes to an observer.
// drel-tracer, the benchmarks' floor tracer and the real-kernel tests all run this loop.
#pragma once

#include <sys/types.h>

namespace drel {

// What the loop asks of its user at the stops that concern it. Called on the tracer's thread,
// with the task stopped.
class TraceObserver {
 public:
  virtual ~TraceObserver();
  // A seccomp stop of a filtered call; true asks for the call's exit stop.
  virtual bool on_seccomp_stop(pid_t task) = 0;
  // The exit stop asked for at the task's last seccomp stop.
  virtual void on_syscall_exit(pid_t task) = 0;
  // A fork, vfork or clone by `parent` made `child` (reported before the child is let run
  // after its creator's event).
  virtual void on_new_task(pid_t parent, pid_t child) = 0;
  // The task has executed a new program (for the root: its first stop, after its exec).
  virtual void on_exec(pid_t task) = 0;
  // Called once the tasks of a fork, vfork, clone or exec event have been let run again, for
  // the work that event brings which needs no stopped task: it then overlaps with theirs.
  virtual void after_resume() {}
  // The task is gone (reaped, or replaced by the thread that executed).
  virtual void on_task_gone(pid_t task) = 0;
  // Asked after every wait, also one a signal interrupted: true ends the loop at once, with
  // the tasks still traced (the tracer was told to finish now).
  virtual bool should_stop() { return false; }
  // A signal is about to be delivered to the task (its signal-delivery stop).
  virtual void on_signal_delivery(pid_t /*task*/, int /*sig*/) {}
};

// Takes over `root`, stopped at its first stop under PTRACE_TRACEME (the exec's SIGTRAP), with
// PTRACE_SEIZE, so that group-stops stay stopped (PTRACE_LISTEN) as without a tracer, with the
// options (TRACESYSGOOD | TRACEFORK | TRACEVFORK | TRACECLONE | TRACEEXEC | TRACESECCOMP,
// and EXITKILL so that the traced processes do not outlive a tracer that dies: every traced call
// would fail with ENOSYS without one), resumes it and traces it and every task it creates until
// all are gone. Prints a "Warning: " line if this is refused (the root is then killed, result 1).
// Returns the root's exit code (128 + signal if a signal ended it).
int trace_loop(pid_t root, TraceObserver& observer);

}  // namespace drel
