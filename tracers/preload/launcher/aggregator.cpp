#include "preload/launcher/aggregator.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "common/proc_info.h"
#include "common/utf8.h"

namespace drel::launcher {
namespace {

void insert_sorted(std::vector<uint32_t>& ids, uint32_t id) {
  auto it = std::lower_bound(ids.begin(), ids.end(), id);
  if (it == ids.end() || *it != id) ids.insert(it, id);
}

}  // namespace

PreloadAggregator::PreloadAggregator(std::vector<std::string> command, EnvMap launcher_env,
                                     uint32_t root_pid)
    : root_pid_(root_pid), command_(std::move(command)), launcher_env_(std::move(launcher_env)) {}

PreloadAggregator::PathState& PreloadAggregator::path_state(std::string_view path) {
  auto it = paths_.find(path);
  if (it == paths_.end()) it = paths_.emplace(std::string(path), PathState{}).first;
  return it->second;
}

void PreloadAggregator::record_read_access(uint32_t pid, uint32_t thread_id,
                                           std::string_view path) {
  if (path.empty()) return;
  ensure_process(pid);
  PathState& state = path_state(path);
  state.read = true;
  insert_sorted(state.read_threads, thread_id);
}

void PreloadAggregator::record_write_access(uint32_t pid, uint32_t thread_id,
                                            std::string_view path) {
  if (path.empty()) return;
  ensure_process(pid);
  PathState& state = path_state(path);
  snapshot_written(path, state);
  state.written = true;
  insert_sorted(state.written_threads, thread_id);
}

// Identities let the report follow renames: taken at the first write event handled for a path
// (retried while the path does not exist) and for its directory.
void PreloadAggregator::snapshot_written(std::string_view path, PathState& state) {
  if (!state.has_identity) {
    if (auto id = identity_of(std::string(path))) {
      state.identity = *id;
      state.has_identity = true;
    }
  }
  if (!state.parent_seen) {
    std::string dir = parent_directory(path);
    if (directory_snapshots_.contains(dir)) {
      state.parent_seen = true;
    } else if (auto id = identity_of(dir)) {
      directory_snapshots_.emplace(std::move(dir), *id);
      state.parent_seen = true;
    }
  }
}

void PreloadAggregator::ensure_process(uint32_t pid) {
  if (processes_.contains(pid)) return;
  ProcessRecord record;
  record.pid = pid;
  if (pid == root_pid_) {
    // The root is recorded as it was started: the argument vector the launcher was given and
    // the environment it passed. /proc is no witness here: read around the exec it can show
    // nothing, or the launcher's own environment.
    for (const std::string& arg : command_) record.command.push_back(lossy_utf8(arg));
    record.env = launcher_env_;
  } else if (pid <= static_cast<uint32_t>(std::numeric_limits<int>::max())) {
    // Ids beyond the kernel's range name no process: nothing to read.
    const int id = static_cast<int>(pid);
    record.parent_pid = read_parent_pid(id);
    if (std::optional<ProcessInfo> info = read_process_info(id)) {
      record.command = std::move(info->command);
      record.env = std::move(info->env);
    }
  }
  processes_.emplace(pid, KnownProcess{std::move(record)});
}

int PreloadAggregator::command_rank(Witness w) {
  return w == Witness::Proc ? 0 : w == Witness::ForkedCopy ? 1 : 2;
}

int PreloadAggregator::parent_rank(Witness w) {
  return w == Witness::Proc ? 0 : w == Witness::ExecutedImage ? 1 : 2;
}

void PreloadAggregator::record_process_description(uint32_t pid, const Description& d) {
  if (pid == root_pid_) {
    ensure_process(pid);
    return;
  }
  const Witness witness = d.exec ? Witness::ExecutedImage : Witness::ForkedCopy;
  // Without its areas a process is read from /proc like one that said nothing.
  if (!d.has_areas) ensure_process(pid);
  auto [it, fresh] = processes_.try_emplace(pid);
  KnownProcess& known = it->second;
  known.record.pid = pid;
  const bool better_parent = fresh || !known.record.parent_pid ||
                             parent_rank(witness) > parent_rank(known.parent_from);
  if (d.parent_pid && better_parent) {
    known.record.parent_pid = d.parent_pid;
    known.parent_from = witness;
  }
  if (d.has_areas && (fresh || command_rank(witness) >= command_rank(known.command_from))) {
    known.record.command = split_nul_pieces(d.cmdline);
    known.record.env = environ_cache_.parse(d.environ);
    known.command_from = witness;
  }
}

TraceReport PreloadAggregator::build_preload_report(double start_time, double end_time) && {
  std::vector<std::pair<const std::string, PathState>*> table;
  table.reserve(paths_.size());
  for (auto& entry : paths_) table.push_back(&entry);
  std::sort(table.begin(), table.end(), [](const auto* a, const auto* b) {
    return a->first < b->first;  // byte order
  });

  std::vector<FileRecord> files;
  files.reserve(table.size());
  IdentityMap identity_snapshots;
  for (auto* entry : table) {
    PathState& s = entry->second;
    FileRecord f;
    f.path = entry->first;
    f.read = s.read;
    f.written = s.written;
    if (!s.read_threads.empty()) f.read_threads = std::move(s.read_threads);
    if (!s.written_threads.empty()) f.written_threads = std::move(s.written_threads);
    if (s.has_identity) identity_snapshots.emplace(entry->first, s.identity);
    files.push_back(std::move(f));
  }
  PathLists lists = collect_path_lists(files);
  reconcile_renames(files, lists, identity_snapshots, directory_snapshots_);

  std::vector<ProcessRecord> processes;
  processes.reserve(processes_.size());
  EnvMap env_accessed;
  bool root_found = false;
  for (auto& [pid, known] : processes_) {
    ProcessRecord& record = known.record;
    if (pid == root_pid_) {
      env_accessed = record.env;
      root_found = true;
    }
    processes.push_back(std::move(record));
  }
  if (!root_found) env_accessed = launcher_env_;

  return make_report("preload", std::nullopt, std::move(processes), std::move(files),
                     std::move(lists), std::move(env_accessed), start_time, end_time,
                     events_dropped_);
}

}  // namespace drel::launcher
