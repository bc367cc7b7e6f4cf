// Written files whose directory was renamed during the run, found again by the directory's
// identity (device and inode) near the paths the run touched.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/report.h"

namespace drel::launcher {

struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;

  auto operator<=>(const FileIdentity&) const = default;
};

struct FileIdentityHash {
  size_t operator()(const FileIdentity& id) const noexcept {
    return std::hash<uint64_t>()(id.inode * 0x9e3779b97f4a7c15ULL ^ id.device);
  }
};

using IdentityMap = std::unordered_map<std::string, FileIdentity>;

// stat (following links); nothing when it fails.
std::optional<FileIdentity> identity_of(const std::string& path);

// The path's parent component, or "." when it has none or it is empty.
std::string parent_directory(std::string_view path);

// Gives written files whose directory was renamed during the run the names they have now (the
// directory found by its identity near the paths seen, the file by its own name in it).
// Records that end on one path are merged. Returns whether any record was renamed; if so the
// path lists are collected again.
bool reconcile_renames(std::vector<FileRecord>& files, PathLists& lists,
                       const IdentityMap& identity_snapshots,
                       const IdentityMap& directory_snapshots);

}  // namespace drel::launcher
