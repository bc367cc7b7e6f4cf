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

  // Opening alone marks neither read nor written; O_TRUNC stops reads through this descriptor
  // from being recorded.
  void open_fd(pid_t task, int fd, std::string_view path, uint64_t flags);
  void close_fd(pid_t task, int fd);
  // newfd gets oldfd's path, not its O_TRUNC; nothing when the two are equal.
  void dup_fd(pid_t task, int oldfd, int newfd);
  // The child gets copies of the parent's descriptors (threads too), without O_TRUNC.
  void inherit_descriptors(pid_t parent, pid_t child);
  // An ended task makes no further calls; its accesses already live in the path totals.
  void forget_task(pid_t task);

  void record_read_fd(pid_t task, int fd, uint32_t tid);
  void record_write_fd(pid_t task, int fd, uint32_t tid);
  // Nothing for an empty path; with no tid only the path is marked written.
  void record_write_path(std::string_view path, std::optional<uint32_t> tid);
  void record_write_path(PathRef path, std::optional<uint32_t> tid);

  // True when a successful write through this path by tid would add nothing: the path is not
  // reported ("") or tid is already among its writers.
  static bool write_adds_nothing(PathRef path, uint32_t tid);
  // True when record_read_fd(task, fd, tid) would add nothing: the descriptor is not known,
  // was opened with O_TRUNC, or tid is already among its path's readers.
  bool read_adds_nothing(pid_t task, int fd, uint32_t tid) const;

  // nullptr when the descriptor is not known.
  const std::string* lookup_fd(pid_t task, int fd) const;
  std::optional<PathRef> lookup_ref(pid_t task, int fd) const;

  TrackedFiles aggregate_files() const;

  // What the tracker retains: descriptor slots over all live tasks (open ones, and numbers
  // closed since, kept for reuse), and distinct paths.
  std::size_t descriptor_count() const;
  std::size_t path_count() const { return paths_.size(); }

 private:
  struct Descriptor {
    PathRef path;
    bool truncated = false;
    bool open = true;  // a closed number keeps its slot, so reopening it allocates nothing
  };
  using FdTable = std::unordered_map<int, Descriptor>;

  PathRef intern(std::string_view path);
  const Descriptor* find(pid_t task, int fd) const;

  PathMap paths_;  // includes "" for descriptors whose path could not be resolved; never reported
  std::unordered_map<pid_t, FdTable> tables_;
};

}  // namespace drel
