// Turns the traced calls of every task into descriptor-table changes and file accesses.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "arch/registers.h"
#include "file_tracker.h"
#include "path_resolution.h"
#include "tracee_memory.h"

namespace drel {

// Works at two moments of a call: at the seccomp stop (entry), before the kernel runs it, and
// at the system-call-exit stop, once the result is known. What needs the result is staged in the
// task's one in-flight slot at entry and completed at exit. Never fails and never prints.
class SyscallDecoder {
 public:
  using Files = TrackedFiles;

  // `names` (none: every name is resolved from its directory) tells what a successful open of a
  // relative name opened.
  SyscallDecoder(TraceeMemory& memory, OpenedFileNames* names)
      : memory_(memory), names_(names) {}

  // Returns true when the exit stop is needed: something was staged for this task. Reads,
  // mmap and close are decided here, whatever their outcome, and so are writes and transfers
  // whose success could add nothing to the record. A call arrives in its neutral kind
  // (normalize_call has mapped the older forms).
  bool decode_entry(pid_t task, const TracedCall& call);
  // Completes the call staged at the task's last entry, if any.
  void decode_exit(pid_t task, int64_t result);

  // A fork, vfork or clone: the child shares the creator's descriptor table when the kernel
  // says they share one (CLONE_FILES: threads and the like), else gets a copy (both ids >= 0);
  // it starts with the creator's cached working directory.
  void on_new_task(pid_t parent, pid_t child, bool shares_descriptors = false);
  // The task executed a new program: it no longer shares its descriptor table (the kernel
  // unshares it at exec), its close-on-exec descriptors are closed (`still_open`, asked only
  // about the ones the table holds open, tells which survived; none given: all did), and the
  // executed files (the program, a script and its interpreter) are read by it.
  void on_exec(pid_t task, std::span<const std::string> executed,
               const std::function<bool(int fd)>& still_open = {});
  // The task has ended: drops its state (its accesses are already counted).
  void task_gone(pid_t task);

  Files aggregate_files() const { return tracker_.aggregate_files(); }

  // Whether the task's last entry staged something for its exit.
  bool has_staged_call(pid_t task) const {
    const auto it = tasks_.find(task);
    return it != tasks_.end() && it->second.call.staged;
  }
  // Tasks with state; bounded by the live tasks.
  std::size_t task_count() const { return tasks_.size(); }
  // Descriptor slots over all live tasks (open ones, and numbers closed since, kept for reuse).
  std::size_t descriptor_count() const;

 private:
  // The call between a task's entry and exit stops; a task has at most one.
  struct InFlight {
    bool staged = false;
    CallFamily family = CallFamily::Read;
    std::string path;  // the name the call opens or changes; storage reused from call to call
    std::string old_path;  // a rename's old name
    uint64_t flags = 0;
    std::optional<FileTracker::PathRef> out;  // the written side of a write or transfer
    int fd = -1;  // dup's old descriptor, a transfer's input, an open's directory descriptor
    uint64_t address = 0;  // an open's name, read at its exit and only when it succeeded
    uint32_t first = 0;  // close_range's numbers
    uint32_t last = 0;
  };
  struct TaskState {
    InFlight call;
    WorkingDirectory cwd;
    std::shared_ptr<FileTracker::DescriptorTable> fds =
        std::make_shared<FileTracker::DescriptorTable>();
  };

  TaskState& state_for(pid_t task) { return tasks_[task]; }
  // The task gets its own copy of a descriptor table it shares.
  static void unshare_descriptors(TaskState& state);
  // The path argument at `address`, resolved against `dirfd` into `out`; false when it cannot
  // be read.
  bool resolve_argument(TaskState& state, pid_t task, uint64_t address, int dirfd,
                        std::string& out, LastName last);
  TaskState* find_state(pid_t task);
  // The recorded name of what the task's staged open returned on `fd`; false when its name
  // cannot be read.
  bool opened_path(TaskState& state, pid_t task, int fd);

  TraceeMemory& memory_;
  OpenedFileNames* names_;
  FileTracker tracker_;
  std::unordered_map<pid_t, TaskState> tasks_;
  std::string scratch_;  // the path argument as read, before resolution
};

}  // namespace drel
