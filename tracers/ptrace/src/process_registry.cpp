#include "process_registry.h"

#include "common/proc_info.h"
#include "common/utf8.h"

namespace drel {

ProcessRegistry::ProcessRegistry(pid_t root, const std::vector<std::string>& root_command)
    : root_(root) {
  root_command_.reserve(root_command.size());
  for (const auto& arg : root_command) root_command_.push_back(lossy_utf8(arg));
}

void ProcessRegistry::register_process(pid_t task, std::optional<pid_t> parent) {
  if (task < 1) return;
  std::optional<ProcessInfo> info = read_process_info(task);
  if (!info) {
    if (task != root_) return;
    info.emplace();
  }
  ProcessRecord record;
  record.pid = static_cast<uint32_t>(task);
  if (parent) record.parent_pid = static_cast<uint32_t>(*parent);
  record.command = task == root_ && !root_command_.empty() ? root_command_
                                                          : std::move(info->command);
  record.env = std::move(info->env);
  processes_.insert_or_assign(task, std::move(record));
}

const ProcessRecord* ProcessRegistry::find(pid_t task) const {
  const auto it = processes_.find(task);
  return it == processes_.end() ? nullptr : &it->second;
}

std::optional<pid_t> ProcessRegistry::parent_of(pid_t task) const {
  const ProcessRecord* record = find(task);
  if (record == nullptr || !record->parent_pid) return std::nullopt;
  return static_cast<pid_t>(*record->parent_pid);
}

EnvMap ProcessRegistry::run_environment() const {
  if (const ProcessRecord* root = find(root_)) return root->env;
  if (!processes_.empty()) return processes_.begin()->second.env;
  return {};
}

std::vector<ProcessRecord> ProcessRegistry::records() const {
  std::vector<ProcessRecord> out;
  out.reserve(processes_.size());
  for (const auto& [task, record] : processes_) out.push_back(record);
  return out;
}

}  // namespace drel
