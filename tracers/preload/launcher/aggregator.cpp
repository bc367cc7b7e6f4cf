#include "preload/launcher/aggregator.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "common/proc_info.h"
#include "common/utf8.h"
#include "preload/launcher/renamed_path.h"

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
  // "d/" names d: git and others make and list directories with a trailing "/".
  path = without_trailing_slashes(path);
  auto it = paths_.find(path);
  if (it == paths_.end()) {
    it = paths_.emplace(std::string(path), PathState{}).first;
    ordered_paths_.emplace(it->first, &it->second);
  }
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
  state.written = true;
  insert_sorted(state.written_threads, thread_id);
}

void PreloadAggregator::carry(std::string_view from, std::string_view to, Carried& out) const {
  if (auto it = paths_.find(from); it != paths_.end()) out.emplace_back(std::string(to), it->second);
  const std::string inside = std::string(from) + '/';
  for (auto it = ordered_paths_.lower_bound(inside); it != ordered_paths_.end(); ++it) {
    std::optional<std::string> now = renamed_path(it->first, from, to);
    if (!now) break;
    out.emplace_back(std::move(*now), *it->second);
  }
}

void PreloadAggregator::record_rename(uint32_t pid, uint32_t thread_id, std::string_view from,
                                      std::string_view to, bool exchange) {
  from = without_trailing_slashes(from);
  to = without_trailing_slashes(to);
  if (from.empty() || to.empty()) return;
  ensure_process(pid);
  if (from != to) {
    // Both sides are copied before anything lands, so an exchange swaps.
    Carried carried;
    carry(from, to, carried);
    if (exchange) carry(to, from, carried);
    for (auto& [path, moved] : carried) {
      PathState& into = path_state(path);
      into.read = into.read || moved.read;
      into.written = into.written || moved.written;
      for (uint32_t id : moved.read_threads) insert_sorted(into.read_threads, id);
      for (uint32_t id : moved.written_threads) insert_sorted(into.written_threads, id);
    }
  }
  for (std::string_view name : {from, to}) {
    PathState& state = path_state(name);
    state.written = true;
    insert_sorted(state.written_threads, thread_id);
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
  // Byte order: the order of ordered_paths_.
  std::vector<FileRecord> files;
  files.reserve(paths_.size());
  for (auto [path, state] : ordered_paths_) {
    PathState& s = *state;
    FileRecord f;
    f.path = std::string(path);
    f.read = s.read;
    f.written = s.written;
    if (!s.read_threads.empty()) f.read_threads = std::move(s.read_threads);
    if (!s.written_threads.empty()) f.written_threads = std::move(s.written_threads);
    files.push_back(std::move(f));
  }
  PathLists lists = collect_path_lists(files);

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
