// Turns the traced calls of every task into descriptor-table changes and file accesses.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "arch/registers.h"
#include "file_tracker.h"
#include "path_resolution.h"
#include "tracee_memory.h"

namespace drel {

// Works at two moments of a call: at the seccomp stop (entry), before the kernel runs it, and
// at the system-call-exit stop, once the result is known. What needs the result is staged per
// task at entry and completed at exit. Never fails and never prints.
class SyscallDecoder {
 public:
  using Files = TrackedFiles;

  explicit SyscallDecoder(TraceeMemory& memory) : memory_(memory) {}

  // Returns true when the exit stop is needed: something was staged for this task. Reads,
  // mmap and close are decided here, whatever their outcome, and so are writes and transfers
  // whose success could add nothing to the record.
  bool decode_entry(pid_t task, const TracedCall& call);
  // The older x86_64 kinds are accepted and decoded as their aarch64 forms.
  void decode_exit(pid_t task, SyscallKind kind, int64_t result);

  // A fork, vfork or clone: the child inherits copies of the descriptors (both ids >= 0) and
  // the creator's cached working directory.
  void on_new_task(pid_t parent, pid_t child);
  // The task has ended: drops its working directory, its staged calls and its descriptors
  // (its accesses are already counted).
  void task_gone(pid_t task);

  Files aggregate_files() const { return tracker_.aggregate_files(); }

  const FileTracker& tracker() const { return tracker_; }
  const CwdCache& cwd_cache() const { return cwd_cache_; }
  // Tasks with staged state; bounded by the live tasks.
  std::size_t pending_task_count() const { return pending_.size(); }

 private:
  // One slot per kind of staged call: a new call of that kind replaces the old one.
  struct Pending {
    bool open = false;
    std::string open_path;  // storage reused from call to call
    uint64_t open_flags = 0;

    bool write = false;
    FileTracker::PathRef write_path{};

    bool transfer = false;
    std::optional<FileTracker::PathRef> transfer_out;
    int transfer_in = -1;

    bool rename = false;
    std::string rename_dest;
    std::optional<uint32_t> rename_tid;

    bool dup = false;
    int dup_old = -1;

    bool chdir = false;
    bool fchdir = false;
  };

  Pending& pending_for(pid_t task) { return pending_[task]; }
  Pending* find_pending(pid_t task);

  TraceeMemory& memory_;
  FileTracker tracker_;
  CwdCache cwd_cache_;
  std::unordered_map<pid_t, Pending> pending_;
  std::string scratch_;  // the path argument as read, before resolution
};

}  // namespace drel
