// The processes of one trace run: one record per task, copied from its creator's when the task
// appears and read from /proc when it executes a new program. Records share their command and
// environment until the report is built: nearly every process has its creator's environment,
// and a forked child's copy is usually replaced at its exec straight after.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/proc_info.h"
#include "common/report.h"

namespace drel {

class ProcessRegistry {
 public:
  // `root_command` is the command as given to the tracer, possibly not UTF-8: the root's record
  // always shows it (converted), also after the root executes another program.
  ProcessRegistry(pid_t root, const std::vector<std::string>& root_command);

  // Builds the task's record from /proc/<task>/cmdline and environ and stores it, replacing any
  // earlier one. Tasks below 1 are ignored; a task whose cmdline cannot be read is not stored,
  // except the root, which is stored with what is known.
  void register_process(pid_t task, std::optional<pid_t> parent);
  // The same with /proc/<task>/cmdline already read (nullopt: it could not be).
  void register_process(pid_t task, std::optional<pid_t> parent,
                        const std::optional<std::string>& cmdline);
  // The same with both texts already read (as /proc gives them; cmdline nullptr: it could not
  // be read).
  void register_process(pid_t task, std::optional<pid_t> parent, const std::string* cmdline,
                        std::string_view environ_text);

  // A task that a fork, vfork or clone made runs its creator's program with its creator's
  // environment until it executes, so it gets a copy of the creator's record and costs no /proc
  // read. One whose exec was seen before its creator's event already has its own record and
  // only learns its parent. Without a record of the creator, /proc is read as for any task.
  void register_new_task(pid_t task, pid_t creator);

  // A copy of the task's record, or nullopt if it has none.
  std::optional<ProcessRecord> find(pid_t task) const;
  // The stored parent of a registered task (absent for the root), or nullopt if unknown.
  std::optional<pid_t> parent_of(pid_t task) const;

  // The environment attributed to the run as a whole: the root's, or, if the root was never
  // stored, that of any record.
  EnvMap run_environment() const;
  std::vector<ProcessRecord> records() const;
  // The records moved out, once, when the report is built; the registry is empty after.
  std::vector<ProcessRecord> take_records();

 private:
  using Command = std::shared_ptr<std::vector<std::string>>;
  using Env = std::shared_ptr<EnvMap>;
  // A record before the report: what it shares with others is only read, never changed.
  struct Entry {
    std::optional<uint32_t> parent_pid;
    Command command;
    Env env;
  };

  // The texts as /proc gives them (cmdline nullptr: it could not be read).
  void store_texts(pid_t task, std::optional<pid_t> parent, const std::string* cmdline,
                   std::string_view environ_text);
  // The last environment parsed, shared when the next one has the same bytes.
  Env environment(std::string_view environ_text);
  ProcessRecord record_of(pid_t task, const Entry& entry) const;

  pid_t root_;
  Command root_command_;  // already converted to text
  // The root's command as /proc showed it at its last registration, for the children it forks:
  // they run what the root runs now, not what the tracer was given.
  Command root_running_command_;
  std::unordered_map<pid_t, Entry> processes_;
  std::string environ_bytes_;
  Env last_env_;
  std::string read_buffer_;
};

}  // namespace drel
