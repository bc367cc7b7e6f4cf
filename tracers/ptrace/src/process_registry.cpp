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
  register_process(task, parent, read_proc_text("/proc/" + std::to_string(task) + "/cmdline"));
}

void ProcessRegistry::register_process(pid_t task, std::optional<pid_t> parent,
                                       const std::optional<std::string>& cmdline) {
  if (task < 1) return;
  store(task, parent, process_info_from(task, cmdline, &environ_cache_));
}

void ProcessRegistry::register_process(pid_t task, std::optional<pid_t> parent,
                                       const std::string* cmdline, std::string_view environ_text) {
  if (task < 1) return;
  std::optional<ProcessInfo> info;
  if (cmdline != nullptr) info = process_info_from_texts(*cmdline, environ_text, &environ_cache_);
  store(task, parent, std::move(info));
}

void ProcessRegistry::store(pid_t task, std::optional<pid_t> parent,
                            std::optional<ProcessInfo> info) {
  if (info && task == root_) root_running_command_ = info->command;
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

void ProcessRegistry::register_new_task(pid_t task, pid_t creator) {
  if (task < 1) return;
  // Only a task that executed before its creator's event has a record without a parent (the
  // root aside): a record left by an ended task of the same id always has one.
  if (const auto own = processes_.find(task);
      own != processes_.end() && task != root_ && !own->second.parent_pid) {
    own->second.parent_pid = static_cast<uint32_t>(creator);
    return;
  }
  const auto from = processes_.find(creator);
  if (from == processes_.end() || (creator == root_ && !root_running_command_)) {
    register_process(task, creator);
    return;
  }
  ProcessRecord record;
  record.pid = static_cast<uint32_t>(task);
  record.parent_pid = static_cast<uint32_t>(creator);
  record.command = creator == root_ ? *root_running_command_ : from->second.command;
  record.env = from->second.env;
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

std::vector<ProcessRecord> ProcessRegistry::take_records() {
  std::vector<ProcessRecord> out;
  out.reserve(processes_.size());
  for (auto& [task, record] : processes_) out.push_back(std::move(record));
  processes_.clear();
  return out;
}

}  // namespace drel
