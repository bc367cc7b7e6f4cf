#include "preload/launcher/rename_reconciliation.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "common/file_system.h"
#include "common/utf8.h"

namespace drel::launcher {
namespace {

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
      visit(EntryType::Directory, id, join_path(dir, std::string(name)));
    } else if (S_ISREG(st.st_mode)) {
      visit(EntryType::RegularFile, id, join_path(dir, std::string(name)));
    }
  }
  ::closedir(d);
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

// Records that now carry one path become one, in path order: flags OR-ed, thread lists joined.
static void merge_same_paths(std::vector<FileRecord>& files) {
  std::stable_sort(files.begin(), files.end(),
                   [](const FileRecord& a, const FileRecord& b) { return a.path < b.path; });
  auto join = [](std::optional<std::vector<uint32_t>>& into,
                 std::optional<std::vector<uint32_t>>& from) {
    if (!from) return;
    if (!into) into.emplace();
    into->insert(into->end(), from->begin(), from->end());
    std::sort(into->begin(), into->end());
    into->erase(std::unique(into->begin(), into->end()), into->end());
  };
  std::vector<FileRecord> merged;
  merged.reserve(files.size());
  for (FileRecord& f : files) {
    if (!merged.empty() && merged.back().path == f.path) {
      FileRecord& m = merged.back();
      m.read = m.read || f.read;
      m.written = m.written || f.written;
      join(m.read_threads, f.read_threads);
      join(m.written_threads, f.written_threads);
      continue;
    }
    merged.push_back(std::move(f));
  }
  files = std::move(merged);
}

// A written file is followed only when the directory holding it moved as a whole: the
// directory is found again by its identity near the paths seen, and the file under its own
// name inside it, with the identity it had when written. A single file is never matched by
// inode alone: the file system reuses a deleted file's inode for unrelated files, and the
// rename's both names are in the report already.
bool reconcile_renames(std::vector<FileRecord>& files, PathLists& lists,
                       const IdentityMap& identity_snapshots,
                       const IdentityMap& directory_snapshots) {
  std::vector<std::pair<std::string, FileIdentity>> vanished_dirs;
  for (const auto& [dir, id] : directory_snapshots) {
    if (!path_exists(dir)) vanished_dirs.emplace_back(dir, id);
  }
  if (vanished_dirs.empty()) return false;

  std::unordered_set<std::string> candidates;
  for (const auto& entry : identity_snapshots) candidates.insert(parent_directory(entry.first));
  for (const std::string& p : lists.opened_files) candidates.insert(parent_directory(p));
  for (const auto& entry : directory_snapshots) candidates.insert(parent_directory(entry.first));

  std::unordered_map<FileIdentity, std::string, FileIdentityHash> dirs_by_identity;
  for (const std::string& dir : candidates) {
    scan_directory(dir, [&](EntryType type, const FileIdentity& id, std::string full) {
      if (type == EntryType::Directory) dirs_by_identity.try_emplace(id, std::move(full));
    });
  }
  std::unordered_map<std::string, std::string> moved_dirs;  // old → new
  for (const auto& [dir, id] : vanished_dirs) {
    auto found = dirs_by_identity.find(id);
    if (found != dirs_by_identity.end()) moved_dirs.emplace(dir, found->second);
  }
  if (moved_dirs.empty()) return false;

  bool renamed = false;
  for (FileRecord& f : files) {
    if (!f.written || path_exists(f.path)) continue;
    auto snap = identity_snapshots.find(f.path);
    if (snap == identity_snapshots.end()) continue;
    auto moved = moved_dirs.find(parent_directory(f.path));
    if (moved == moved_dirs.end()) continue;
    std::string now = join_path(moved->second, f.path.substr(f.path.rfind('/') + 1));
    if (identity_of(now) != snap->second) continue;
    f.path = lossy_utf8(now);
    renamed = true;
  }
  if (!renamed) return false;
  merge_same_paths(files);
  lists = collect_path_lists(files);
  return true;
}

}  // namespace drel::launcher
