#include "file_tracker.h"

#include <fcntl.h>

#include <algorithm>

namespace drel {
namespace {

void add_tid(std::vector<uint32_t>& tids, uint32_t tid) {
  const auto it = std::lower_bound(tids.begin(), tids.end(), tid);
  if (it == tids.end() || *it != tid) tids.insert(it, tid);
}

std::optional<std::vector<uint32_t>> as_list(const std::vector<uint32_t>& tids) {
  if (tids.empty()) return std::nullopt;
  return tids;
}

}  // namespace

FileTracker::PathRef FileTracker::intern(std::string_view path) {
  auto it = paths_.find(path);
  if (it != paths_.end()) return it;
  return paths_.emplace(std::string(path), PathTotals{}).first;
}

const FileTracker::Descriptor* FileTracker::find(pid_t task, int fd) const {
  const auto table = tables_.find(task);
  if (table == tables_.end()) return nullptr;
  const auto d = table->second.find(fd);
  return d == table->second.end() || !d->second.open ? nullptr : &d->second;
}

void FileTracker::open_fd(pid_t task, int fd, std::string_view path, uint64_t flags) {
  tables_[task].insert_or_assign(fd, Descriptor{intern(path), (flags & O_TRUNC) != 0, true});
}

void FileTracker::close_fd(pid_t task, int fd) {
  const auto table = tables_.find(task);
  if (table == tables_.end()) return;
  const auto d = table->second.find(fd);
  if (d != table->second.end()) d->second.open = false;
}

void FileTracker::dup_fd(pid_t task, int oldfd, int newfd) {
  if (oldfd == newfd) return;
  const auto table = tables_.find(task);
  if (table == tables_.end()) return;
  FdTable& fds = table->second;
  const auto old = fds.find(oldfd);
  if (old == fds.end() || !old->second.open) {
    close_fd(task, newfd);
    return;
  }
  const PathRef path = old->second.path;
  fds.insert_or_assign(newfd, Descriptor{path, false, true});
}

void FileTracker::inherit_descriptors(pid_t parent, pid_t child) {
  if (parent == child) return;
  const auto from = tables_.find(parent);
  if (from == tables_.end()) return;
  FdTable& to = tables_[child];
  for (const auto& [fd, d] : from->second) {
    if (d.open) to.insert_or_assign(fd, Descriptor{d.path, false, true});
  }
}

void FileTracker::forget_task(pid_t task) {
  tables_.erase(task);
}

void FileTracker::record_read_fd(pid_t task, int fd, uint32_t tid) {
  const Descriptor* d = find(task, fd);
  if (d == nullptr || d->truncated) return;
  d->path->second.read = true;
  add_tid(d->path->second.read_tids, tid);
}

void FileTracker::record_write_fd(pid_t task, int fd, uint32_t tid) {
  const Descriptor* d = find(task, fd);
  if (d == nullptr) return;
  d->path->second.written = true;
  add_tid(d->path->second.written_tids, tid);
}

void FileTracker::record_write_path(std::string_view path, std::optional<uint32_t> tid) {
  if (path.empty()) return;
  record_write_path(intern(path), tid);
}

void FileTracker::record_write_path(PathRef path, std::optional<uint32_t> tid) {
  if (path->first.empty()) return;
  path->second.written = true;
  if (tid) add_tid(path->second.written_tids, *tid);
}

bool FileTracker::write_adds_nothing(PathRef path, uint32_t tid) {
  return path->first.empty() ||
         std::binary_search(path->second.written_tids.begin(), path->second.written_tids.end(),
                            tid);
}

bool FileTracker::read_adds_nothing(pid_t task, int fd, uint32_t tid) const {
  const Descriptor* d = find(task, fd);
  if (d == nullptr || d->truncated) return true;
  const std::vector<uint32_t>& tids = d->path->second.read_tids;
  return std::binary_search(tids.begin(), tids.end(), tid);
}

const std::string* FileTracker::lookup_fd(pid_t task, int fd) const {
  const Descriptor* d = find(task, fd);
  return d == nullptr ? nullptr : &d->path->first;
}

std::optional<FileTracker::PathRef> FileTracker::lookup_ref(pid_t task, int fd) const {
  const Descriptor* d = find(task, fd);
  if (d == nullptr) return std::nullopt;
  return d->path;
}

TrackedFiles FileTracker::aggregate_files() const {
  TrackedFiles out;
  out.files.reserve(paths_.size());
  for (const auto& [path, totals] : paths_) {  // std::string orders bytes as unsigned
    if (path.empty()) continue;
    FileRecord record;
    record.path = path;
    record.read = totals.read;
    record.written = totals.written;
    record.read_threads = as_list(totals.read_tids);
    record.written_threads = as_list(totals.written_tids);
    out.files.push_back(std::move(record));
  }
  out.paths = collect_path_lists(out.files);
  return out;
}

std::size_t FileTracker::descriptor_count() const {
  std::size_t n = 0;
  for (const auto& [task, fds] : tables_) n += fds.size();
  return n;
}

}  // namespace drel
