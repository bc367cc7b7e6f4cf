// The processes of a report as a tree, and the process behind a thread id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/report.h"

namespace drel::report {

struct TreeEntry {
  size_t index;  // into report.processes
  size_t depth;  // 0 for a root
};

// Depth-first, children in report order. A process hangs under the first record of its
// parent's pid; one whose parent is absent or not recorded is a root; records that a cycle
// of parent links leaves unreached are shown as roots too, so every record appears once.
std::vector<TreeEntry> process_tree(const std::vector<ProcessRecord>& processes);

// Thread id -> the first process record with that pid. A report ties a thread id to a process
// only this way: the ptrace backend records every thread as a process of its own, and each
// process's main thread has the process's id.
class ProcessIndex {
 public:
  explicit ProcessIndex(const std::vector<ProcessRecord>& processes);
  std::optional<size_t> find(uint32_t thread_id) const;
  // "cc1[102]" for a known thread, "102" for another.
  std::string describe(uint32_t thread_id) const;

 private:
  const std::vector<ProcessRecord>& processes_;
  std::unordered_map<uint32_t, size_t> first_of_pid_;
};

// The command shell-quoted, or "(command not recorded)" for an empty one (a process that
// ended before its tracer could read it).
std::string command_text(const ProcessRecord& process);

// The program's name: argv[0] without its directory ("?" when the command is empty).
std::string program_name(const ProcessRecord& process);

}  // namespace drel::report
