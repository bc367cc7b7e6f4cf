#include "trace_loop.h"

#include <sys/ptrace.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <iostream>
#include <optional>
#include <string>
#include <unordered_map>

#include "common/errno_text.h"
#include "common/proc_info.h"
#include "wait_status.h"

namespace drel {

TraceObserver::~TraceObserver() = default;

namespace {

// How long a loop told to stop goes on handling the stops that are already waiting.
constexpr auto kLastStopsWindow = std::chrono::milliseconds(20);

// Without EXITKILL the traced processes would outlive a tracer that dies.
constexpr long kPtraceOptions = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                                PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC |
                                PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL;
static_assert((kPtraceOptions & ~PTRACE_O_EXITKILL) == 0x9F);

// Who made a task, as far as /proc/<task>/status tells before its creator's event: its thread
// group for a thread, its parent for a process.
struct NewTaskOrigin {
  bool secondary_thread = false;  // a clone with CLONE_THREAD
  std::optional<uint32_t> parent;
};

NewTaskOrigin new_task_origin(pid_t task) {
  NewTaskOrigin origin;
  const auto status = read_file_bytes("/proc/" + std::to_string(task) + "/status");
  if (!status) return origin;
  const std::optional<uint32_t> tgid = parse_status_number(*status, "Tgid:");
  origin.secondary_thread = tgid && *tgid != static_cast<uint32_t>(task);
  origin.parent = parse_status_number(*status, "PPid:");
  return origin;
}

void ptrace_resume(int request, pid_t task, int sig) {
  // A task that vanished in the meantime is reaped by the next wait; nothing to do here.
  (void)::ptrace(static_cast<__ptrace_request>(request), task, nullptr,
                 reinterpret_cast<void*>(static_cast<long>(sig)));
}

class Loop {
 public:
  Loop(pid_t root, TraceObserver& observer) : root_(root), observer_(observer) {
    tasks_.emplace(root, TaskState{});
  }

  // The root was attached with PTRACE_TRACEME, under which a group-stop cannot be kept (the
  // tracer can only resume a stopped task). It is handed over to PTRACE_SEIZE at its first stop:
  // detached with a SIGSTOP that stops it before it runs on, seized while stopped, continued.
  bool start() {
    if (!seize_root()) return false;
    // The root's own exec came before the options, so it brings no exec event: this is it.
    observer_.on_exec(root_);
    // SIGCONT ends the stop when it is sent; it is not delivered, so no handler of the command
    // sees it.
    tasks_[root_].swallow_sigcont = true;
    ::kill(root_, SIGCONT);
    observer_.after_resume();
    return true;
  }

  void run() {
    // Told to stop, the loop still handles the stops already waiting (a call the command has
    // made is in the report), for a short while and without blocking.
    std::optional<std::chrono::steady_clock::time_point> stop_by;
    while (!tasks_.empty()) {
      int status = 0;
      const pid_t task = ::waitpid(-1, &status, stop_by ? __WALL | WNOHANG : __WALL);
      if (!stop_by && observer_.should_stop()) {
        stop_by = std::chrono::steady_clock::now() + kLastStopsWindow;
      }
      if (stop_by && (task == 0 || std::chrono::steady_clock::now() >= *stop_by)) break;
      if (task == 0) continue;
      if (task < 0) {
        if (errno == ECHILD) break;
        continue;
      }
      handle(task, status);
    }
  }

  int exit_code() const { return exit_code_; }

 private:
  struct TaskState {
    // Set when the task was resumed with PTRACE_SYSCALL after a seccomp stop: its exit stop
    // comes next.
    bool exit_pending = false;
    // A new task's first stop (PTRACE_EVENT_STOP) is still to come.
    bool awaiting_attach_stop = false;
    // A new task stopped at its attach stop until its creator's event is handled.
    bool held_until_clone_event = false;
    // For a held process: its parent, whose end lets it go.
    pid_t held_for_parent = 0;
    // The root's SIGCONT that ended the stop it was seized in.
    bool swallow_sigcont = false;
    // It made a task since its last exec. A process starts with one thread, which is its
    // leader, so only a leader that made one can have others.
    bool made_tasks = false;
  };

  bool seize(long options) {
    return ::ptrace(PTRACE_SEIZE, root_, nullptr, reinterpret_cast<void*>(options)) == 0;
  }

  bool seize_root() {
    if (::ptrace(PTRACE_DETACH, root_, nullptr, reinterpret_cast<void*>(long{SIGSTOP})) != 0) {
      std::cerr << "Warning: ptrace detach failed: " << errno_message(errno) << '\n';
      return false;
    }
    int status = 0;
    while (::waitpid(root_, &status, WSTOPPED) < 0) {
      if (errno != EINTR) return false;
    }
    if (!WIFSTOPPED(status)) return false;
    if (seize(kPtraceOptions)) return true;
    // A kernel that does not know EXITKILL refuses the whole set; trace without it then.
    const int err = errno;
    if (err == EINVAL && seize(kPtraceOptions & ~PTRACE_O_EXITKILL)) return true;
    std::cerr << "Warning: ptrace seize failed: " << errno_message(err) << '\n';
    return false;
  }

  void handle(pid_t task, int status) {
    const WaitStatus ws = classify_wait_status(status);
    switch (ws.kind) {
      case WaitKind::Exited:
        task_gone(task);
        if (task == root_) exit_code_ = ws.value;
        break;
      case WaitKind::Signaled:
        task_gone(task);
        if (task == root_) exit_code_ = ws.value | 0x80;
        break;
      case WaitKind::Stopped:
        on_signal_stop(task, ws.value);
        break;
      case WaitKind::EventStop:
        if (ws.value == PTRACE_EVENT_STOP) {
          on_trap_stop(task, WSTOPSIG(status));
        } else {
          on_event(task, ws.value);
        }
        break;
      case WaitKind::SyscallStop:
        on_syscall_exit(task);
        break;
      case WaitKind::Continued:
        break;
      case WaitKind::Undecodable:
        // Never leave a task stopped, whatever the status said.
        if (WIFSTOPPED(status)) resume(task, 0);
        break;
    }
  }

  // A task in the middle of a call whose exit stop was requested keeps PTRACE_SYSCALL, so that
  // a signal stop in between does not lose that exit.
  void resume(pid_t task, int sig) {
    const auto it = tasks_.find(task);
    const bool pending = it != tasks_.end() && it->second.exit_pending;
    ptrace_resume(pending ? PTRACE_SYSCALL : PTRACE_CONT, task, sig);
  }

  // Signals are passed on unchanged; a stopping one then brings the group-stop below.
  void on_signal_stop(pid_t task, int sig) {
    const auto it = tasks_.find(task);
    if (sig == SIGCONT && it != tasks_.end() && it->second.swallow_sigcont) {
      it->second.swallow_sigcont = false;
      resume(task, 0);
      return;
    }
    observer_.on_signal_delivery(task, sig);
    resume(task, sig);
  }

  // PTRACE_EVENT_STOP: a group-stop (the signal that stopped it), a new task's first stop, or
  // the end of a group-stop (SIGTRAP).
  void on_trap_stop(pid_t task, int sig) {
    auto it = tasks_.find(task);
    if (it == tasks_.end()) {
      // Seen before its creator's fork event: this is the attach stop.
      it = tasks_.try_emplace(task).first;
      // It waits for that event: a thread let run now could exec before it is read (its id
      // would be gone from /proc and the creator killed with its event unreported, so the
      // thread would never be registered), and a process would make its first calls without
      // its creator's descriptors and working directory. Should the creator die first, a
      // thread dies with its group; a process is let go when its parent is gone, or when no
      // other task is left to bring the event.
      const NewTaskOrigin origin = new_task_origin(task);
      if (origin.secondary_thread || origin.parent) {
        it->second.held_until_clone_event = true;
        if (!origin.secondary_thread) it->second.held_for_parent = static_cast<pid_t>(*origin.parent);
        ++held_;
        return;
      }
      resume(task, 0);
      return;
    }
    if (it->second.awaiting_attach_stop) {
      it->second.awaiting_attach_stop = false;
      resume(task, 0);
      return;
    }
    if (sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU) {
      // Stopped as it would be untraced, until a SIGCONT; its parent sees it stopped.
      (void)::ptrace(PTRACE_LISTEN, task, nullptr, nullptr);
      return;
    }
    resume(task, 0);
  }

  void task_gone(pid_t task) {
    if (const auto it = tasks_.find(task); it != tasks_.end()) {
      if (it->second.held_until_clone_event) --held_;
      tasks_.erase(it);
    }
    observer_.on_task_gone(task);
    if (held_ == 0) return;
    // A process whose creator died before its event, or with nobody left to bring one.
    const bool all_held = held_ == tasks_.size();
    for (auto& [other, state] : tasks_) {
      if (state.held_until_clone_event && (all_held || state.held_for_parent == task)) {
        release(other, state);
      }
    }
  }

  void release(pid_t task, TaskState& state) {
    state.held_until_clone_event = false;
    state.held_for_parent = 0;
    --held_;
    resume(task, 0);
  }

  void on_event(pid_t task, int event) {
    switch (event) {
      case PTRACE_EVENT_SECCOMP:
        on_seccomp(task);
        return;
      case PTRACE_EVENT_FORK:
      case PTRACE_EVENT_VFORK:
      case PTRACE_EVENT_CLONE: {
        unsigned long message = 0;
        if (::ptrace(PTRACE_GETEVENTMSG, task, nullptr, &message) == 0) {
          tasks_[task].made_tasks = true;
          const auto child = static_cast<pid_t>(message);
          // Its first stop may already have been seen, before this event.
          const auto [it, added] = tasks_.try_emplace(child);
          if (added) it->second.awaiting_attach_stop = true;
          observer_.on_new_task(task, child);
          if (it->second.held_until_clone_event) {
            release(child, it->second);
          } else if (added) {
            take_attach_stop(child);
          }
        }
        resume(task, 0);
        observer_.after_resume();
        return;
      }
      case PTRACE_EVENT_EXEC: {
        // A thread other than the leader that executes takes over the leader's id; its old id
        // is never reported again. Only a process that had other threads is asked.
        const auto it = tasks_.find(task);
        if (it == tasks_.end() || it->second.made_tasks) {
          if (it != tasks_.end()) it->second.made_tasks = false;
          unsigned long former = 0;
          if (::ptrace(PTRACE_GETEVENTMSG, task, nullptr, &former) == 0 &&
              static_cast<pid_t>(former) != task) {
            task_gone(static_cast<pid_t>(former));
          }
        }
        observer_.on_exec(task);
        resume(task, 0);
        observer_.after_resume();
        return;
      }
      default:
        resume(task, 0);
        return;
    }
  }

  // A new task's first stop is usually waiting by the time its creator's event is handled:
  // taken now, the task runs on while the tracer finishes with the event.
  void take_attach_stop(pid_t child) {
    int status = 0;
    if (::waitpid(child, &status, __WALL | WNOHANG) == child) handle(child, status);
  }

  void on_seccomp(pid_t task) {
    if (observer_.on_seccomp_stop(task)) {
      // Only calls whose result matters pay for the exit stop.
      tasks_[task].exit_pending = true;
      ptrace_resume(PTRACE_SYSCALL, task, 0);
      return;
    }
    ptrace_resume(PTRACE_CONT, task, 0);
  }

  void on_syscall_exit(pid_t task) {
    const auto it = tasks_.find(task);
    if (it != tasks_.end() && it->second.exit_pending) {
      it->second.exit_pending = false;
      observer_.on_syscall_exit(task);
    }
    ptrace_resume(PTRACE_CONT, task, 0);
  }

  pid_t root_;
  TraceObserver& observer_;
  // The live tasks; an entry is made when a task appears and dropped when it is reaped, so a
  // stop allocates nothing here.
  std::unordered_map<pid_t, TaskState> tasks_;
  std::size_t held_ = 0;  // tasks held until their creator's event
  int exit_code_ = 0;
};

}  // namespace

int trace_loop(pid_t root, TraceObserver& observer) {
  Loop loop(root, observer);
  if (!loop.start()) {
    ::kill(root, SIGKILL);
    ::waitpid(root, nullptr, 0);
    return 1;
  }
  loop.run();
  return loop.exit_code();
}

}  // namespace drel
