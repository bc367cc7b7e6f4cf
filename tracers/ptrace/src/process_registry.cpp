#include "process_registry.h"

#include "common/proc_info.h"
#include "common/utf8.h"

namespace drel {

namespace {

// The last holder takes the shared value; every other gets a copy.
template <typename T>
T take_shared(std::shared_ptr<T>& shared) {
  if (!shared) return T();
  if (shared.use_count() == 1) return std::move(*shared);
  return *shared;
}

}  // namespace

ProcessRegistry::ProcessRegistry(pid_t root, const std::vector<std::string>& root_command)
    : root_(root), root_command_(std::make_shared<std::vector<std::string>>()) {
  root_command_->reserve(root_command.size());
  for (const auto& arg : root_command) root_command_->push_back(lossy_utf8(arg));
}

void ProcessRegistry::register_process(pid_t task, std::optional<pid_t> parent) {
  if (task < 1) return;
  register_process(task, parent, read_proc_text("/proc/" + std::to_string(task) + "/cmdline"));
}

void ProcessRegistry::register_process(pid_t task, std::optional<pid_t> parent,
                                       const std::optional<std::string>& cmdline) {
  if (task < 1) return;
  if (!cmdline) {
    store_texts(task, parent, nullptr, {});
    return;
  }
  // An environment that cannot be read counts as empty.
  if (!read_proc_text_into("/proc/" + std::to_string(task) + "/environ", read_buffer_)) {
    read_buffer_.clear();
  }
  store_texts(task, parent, &*cmdline, read_buffer_);
}

void ProcessRegistry::register_process(pid_t task, std::optional<pid_t> parent,
                                       const std::string* cmdline, std::string_view environ_text) {
  if (task < 1) return;
  store_texts(task, parent, cmdline, environ_text);
}

ProcessRegistry::Env ProcessRegistry::environment(std::string_view environ_text) {
  if (!last_env_ || environ_text != environ_bytes_) {
    last_env_ = std::make_shared<EnvMap>(parse_environ(environ_text));
    environ_bytes_.assign(environ_text);
  }
  return last_env_;
}

void ProcessRegistry::store_texts(pid_t task, std::optional<pid_t> parent,
                                  const std::string* cmdline, std::string_view environ_text) {
  if (cmdline == nullptr && task != root_) return;
  Entry entry;
  if (parent) entry.parent_pid = static_cast<uint32_t>(*parent);
  if (cmdline != nullptr) {
    entry.command = std::make_shared<std::vector<std::string>>(split_nul_pieces(*cmdline));
    entry.env = environment(environ_text);
    if (task == root_) root_running_command_ = entry.command;
  }
  if (task == root_ && !root_command_->empty()) entry.command = root_command_;
  processes_.insert_or_assign(task, std::move(entry));
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
  Entry entry;
  entry.parent_pid = static_cast<uint32_t>(creator);
  entry.command = creator == root_ ? root_running_command_ : from->second.command;
  entry.env = from->second.env;
  processes_.insert_or_assign(task, std::move(entry));
}

ProcessRecord ProcessRegistry::record_of(pid_t task, const Entry& entry) const {
  ProcessRecord record;
  record.pid = static_cast<uint32_t>(task);
  record.parent_pid = entry.parent_pid;
  if (entry.command) record.command = *entry.command;
  if (entry.env) record.env = *entry.env;
  return record;
}

std::optional<ProcessRecord> ProcessRegistry::find(pid_t task) const {
  const auto it = processes_.find(task);
  if (it == processes_.end()) return std::nullopt;
  return record_of(task, it->second);
}

std::optional<pid_t> ProcessRegistry::parent_of(pid_t task) const {
  const auto it = processes_.find(task);
  if (it == processes_.end() || !it->second.parent_pid) return std::nullopt;
  return static_cast<pid_t>(*it->second.parent_pid);
}

EnvMap ProcessRegistry::run_environment() const {
  const auto root = processes_.find(root_);
  const auto it = root != processes_.end() ? root : processes_.begin();
  if (it == processes_.end() || !it->second.env) return {};
  return *it->second.env;
}

std::vector<ProcessRecord> ProcessRegistry::records() const {
  std::vector<ProcessRecord> out;
  out.reserve(processes_.size());
  for (const auto& [task, entry] : processes_) out.push_back(record_of(task, entry));
  return out;
}

std::vector<ProcessRecord> ProcessRegistry::take_records() {
  // The cache and the root's running command hold a share too; let go of them first so that
  // the last record moves its values.
  last_env_.reset();
  root_running_command_.reset();
  std::vector<ProcessRecord> out;
  out.reserve(processes_.size());
  for (auto& [task, entry] : processes_) {
    ProcessRecord record;
    record.pid = static_cast<uint32_t>(task);
    record.parent_pid = entry.parent_pid;
    record.command = take_shared(entry.command);
    record.env = take_shared(entry.env);
    entry = Entry();
    out.push_back(std::move(record));
  }
  processes_.clear();
  return out;
}

}  // namespace drel
