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
    if (snap != identity_snapshots.end() && !path_exists(f.path)) {
      vanished_files.push_back({f.path, snap->second});
    }
  }
  std::vector<Vanished> vanished_dirs;
  for (const auto& [dir, id] : directory_snapshots) {
    if (!path_exists(dir)) vanished_dirs.push_back({dir, id});
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

}  // namespace drel::launcher
