#include "preload/src/preload_aggregator.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <unordered_set>
#include <utility>

#include "common/proc_info.h"
#include "common/utf8.h"

namespace drel {
namespace {

void insert_sorted(std::vector<uint32_t>& ids, uint32_t id) {
  auto it = std::lower_bound(ids.begin(), ids.end(), id);
  if (it == ids.end() || *it != id) ids.insert(it, id);
}

std::string join_path(const std::string& dir, std::string_view name) {
  std::string out = dir;
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

enum class EntryType { Directory, RegularFile };

// Lists a directory and calls visit(type, identity, full path) for every directory and regular
// file in it, without following symbolic links. Anything unreadable is skipped.
template <typename Visit>
void scan_directory(const std::string& dir, Visit&& visit) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  const int dfd = ::dirfd(d);
  while (const dirent* e = ::readdir(d)) {
    const std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const FileIdentity id{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    if (S_ISDIR(st.st_mode)) {
      visit(EntryType::Directory, id, join_path(dir, name));
    } else if (S_ISREG(st.st_mode)) {
      visit(EntryType::RegularFile, id, join_path(dir, name));
    }
  }
  ::closedir(d);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::optional<FileIdentity> identity_of(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::string parent_directory(std::string_view path) {
  // Trailing separators do not make a component.
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || path == "/") return ".";
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  if (parent.empty()) return "/";
  return std::string(parent);
}

bool reconcile_renames(std::vector<FileRecord>& files, PathLists& lists,
                       const IdentityMap& identity_snapshots,
                       const IdentityMap& directory_snapshots) {
  struct Vanished {
    std::string path;
    FileIdentity identity;
  };
  std::vector<Vanished> vanished_files;
  for (const FileRecord& f : files) {
    if (!f.written) continue;
    auto snap = identity_snapshots.find(f.path);
    if (snap != identity_snapshots.end() && !exists(f.path)) {
      vanished_files.push_back({f.path, snap->second});
    }
  }
  std::vector<Vanished> vanished_dirs;
  for (const auto& [dir, id] : directory_snapshots) {
    if (!exists(dir)) vanished_dirs.push_back({dir, id});
  }
  if (vanished_files.empty() && vanished_dirs.empty()) return false;

  std::sort(vanished_files.begin(), vanished_files.end(),
            [](const Vanished& a, const Vanished& b) {
              if (a.path != b.path) return a.path < b.path;
              return a.identity < b.identity;
            });

  std::unordered_set<std::string> candidates;
  for (const auto& entry : identity_snapshots) candidates.insert(parent_directory(entry.first));
  for (const std::string& p : lists.opened_files) candidates.insert(parent_directory(p));
  for (const auto& entry : directory_snapshots) candidates.insert(parent_directory(entry.first));

  std::unordered_map<FileIdentity, std::string, FileIdentityHash> files_by_identity;
  std::unordered_map<FileIdentity, std::string, FileIdentityHash> dirs_by_identity;
  for (const std::string& dir : candidates) {
    scan_directory(dir, [&](EntryType type, const FileIdentity& id, std::string full) {
      auto& table = type == EntryType::Directory ? dirs_by_identity : files_by_identity;
      table.try_emplace(id, std::move(full));
    });
  }

  // A directory that moved as a whole: its files are found one level down at the new place.
  if (!vanished_dirs.empty() && !dirs_by_identity.empty()) {
    for (const Vanished& d : vanished_dirs) {
      auto moved = dirs_by_identity.find(d.identity);
      if (moved == dirs_by_identity.end()) continue;
      scan_directory(moved->second, [&](EntryType type, const FileIdentity& id, std::string full) {
        if (type == EntryType::RegularFile) files_by_identity.try_emplace(id, std::move(full));
      });
    }
  }

  std::unordered_map<std::string, std::string> renamed;
  for (const Vanished& v : vanished_files) {
    auto found = files_by_identity.find(v.identity);
    if (found == files_by_identity.end()) continue;
    renamed.try_emplace(v.path, lossy_utf8(found->second));
    files_by_identity.erase(found);
  }
  if (renamed.empty()) return false;

  for (FileRecord& f : files) {
    auto it = renamed.find(f.path);
    if (it != renamed.end()) f.path = it->second;
  }
  lists = collect_path_lists(files);
  return true;
}

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
  processes_.emplace(pid, std::move(record));
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
  for (auto& [pid, record] : processes_) {
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

}  // namespace drel
