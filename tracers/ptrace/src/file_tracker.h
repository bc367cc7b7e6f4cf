// Which path each descriptor of each task refers to, and what was read and written.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/report.h"

namespace drel {

struct TrackedFiles {
  std::vector<FileRecord> files;  // ascending byte order of path
  PathLists paths;
};

// Every access is added at once to its path's totals, so a descriptor that is closed, reopened
// or overwritten by a dup leaves nothing behind: memory follows the number of distinct paths and
// of open descriptors, not the number of opens. A descriptor's own read/write sets would only
// ever repeat what its path's totals already hold, since every access is recorded under the
// descriptor's path; the report comes out the same as if each record were kept to the end.
class FileTracker {
 public:
  struct PathTotals {
    bool read = false;
    bool written = false;
    std::vector<uint32_t> read_tids;  // ascending, each once
    std::vector<uint32_t> written_tids;
  };
  using PathMap = std::map<std::string, PathTotals, std::less<>>;
  // A stable handle on one path's totals (map nodes never move and are never erased).
  using PathRef = PathMap::iterator;

  struct Descriptor {
    PathRef path;
    bool truncated = false;
    bool open = true;  // a closed number keeps its slot, so reopening it allocates nothing
  };
  // One task's descriptors (the task's state owns it; tasks that share the kernel's table share
  // one of these).
  using DescriptorTable = std::unordered_map<int, Descriptor>;

  // Opening alone marks neither read nor written; O_TRUNC stops reads through this descriptor
  // from being recorded.
  void open_fd(DescriptorTable& fds, int fd, std::string_view path, uint64_t flags);
  static void close_fd(DescriptorTable& fds, int fd);
  // newfd gets oldfd's path, not its O_TRUNC; nothing when the two are equal.
  static void dup_fd(DescriptorTable& fds, int oldfd, int newfd);
  // close_range(first, last) closes every number in the range, open or not.
  static void close_range(DescriptorTable& fds, uint32_t first, uint32_t last);
  // Closes each open descriptor for which `still_open` says no.
  static void close_unless(DescriptorTable& fds, const std::function<bool(int fd)>& still_open);
  // A new task's own copy of its creator's open descriptors, without O_TRUNC.
  static DescriptorTable copy_for_child(const DescriptorTable& fds);

  static void record_read_fd(const DescriptorTable& fds, int fd, uint32_t tid);
  static void record_write_fd(const DescriptorTable& fds, int fd, uint32_t tid);
  // An executed file: read by tid. Nothing for an empty path.
  void record_read_path(std::string_view path, uint32_t tid);
  // Nothing for an empty path; with no tid only the path is marked written.
  void record_write_path(std::string_view path, std::optional<uint32_t> tid);
  static void record_write_path(PathRef path, std::optional<uint32_t> tid);

  // True when a successful write through this path by tid would add nothing: the path is not
  // reported ("") or tid is already among its writers.
  static bool write_adds_nothing(PathRef path, uint32_t tid);
  // True when record_read_fd(fds, fd, tid) would add nothing: the descriptor is not known,
  // was opened with O_TRUNC, or tid is already among its path's readers.
  static bool read_adds_nothing(const DescriptorTable& fds, int fd, uint32_t tid);

  // nullptr when the descriptor is not known.
  static const std::string* lookup_fd(const DescriptorTable& fds, int fd);
  static std::optional<PathRef> lookup_ref(const DescriptorTable& fds, int fd);

  TrackedFiles aggregate_files() const;

  // Distinct paths retained.
  std::size_t path_count() const { return paths_.size(); }

 private:
  PathRef intern(std::string_view path);
  static const Descriptor* find(const DescriptorTable& fds, int fd);

  PathMap paths_;  // includes "" for descriptors whose path could not be resolved; never reported
};

}  // namespace drel
