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
  // "d/" names d: git and mkdir make directories with a trailing "/"; "/" stays "/".
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  auto it = paths_.find(path);
  if (it != paths_.end()) return it;
  return paths_.emplace(std::string(path), PathTotals{}).first;
}

const FileTracker::Descriptor* FileTracker::find(const DescriptorTable& fds, int fd) {
  const auto d = fds.find(fd);
  return d == fds.end() || !d->second.open ? nullptr : &d->second;
}

void FileTracker::open_fd(DescriptorTable& fds, int fd, std::string_view path, uint64_t flags) {
  fds.insert_or_assign(fd, Descriptor{intern(path), (flags & O_TRUNC) != 0, true});
}

void FileTracker::close_fd(DescriptorTable& fds, int fd) {
  const auto d = fds.find(fd);
  if (d != fds.end()) d->second.open = false;
}

void FileTracker::dup_fd(DescriptorTable& fds, int oldfd, int newfd) {
  if (oldfd == newfd) return;
  const Descriptor* old = find(fds, oldfd);
  if (old == nullptr) {
    close_fd(fds, newfd);
    return;
  }
  const PathRef path = old->path;
  fds.insert_or_assign(newfd, Descriptor{path, false, true});
}

void FileTracker::close_range(DescriptorTable& fds, uint32_t first, uint32_t last) {
  for (auto& [fd, d] : fds) {
    const auto n = static_cast<uint32_t>(fd);
    if (n >= first && n <= last) d.open = false;
  }
}

void FileTracker::close_unless(DescriptorTable& fds, const std::function<bool(int fd)>& still_open) {
  for (auto& [fd, d] : fds) {
    if (d.open && !still_open(fd)) d.open = false;
  }
}

FileTracker::DescriptorTable FileTracker::copy_for_child(const DescriptorTable& fds) {
  DescriptorTable copy;
  for (const auto& [fd, d] : fds) {
    if (d.open) copy.emplace(fd, Descriptor{d.path, false, true});
  }
  return copy;
}

void FileTracker::record_read_fd(const DescriptorTable& fds, int fd, uint32_t tid) {
  const Descriptor* d = find(fds, fd);
  if (d == nullptr || d->truncated) return;
  d->path->second.read = true;
  add_tid(d->path->second.read_tids, tid);
}

void FileTracker::record_write_fd(const DescriptorTable& fds, int fd, uint32_t tid) {
  const Descriptor* d = find(fds, fd);
  if (d == nullptr) return;
  d->path->second.written = true;
  add_tid(d->path->second.written_tids, tid);
}

void FileTracker::record_read_path(std::string_view path, uint32_t tid) {
  if (path.empty()) return;
  const PathRef ref = intern(path);
  ref->second.read = true;
  add_tid(ref->second.read_tids, tid);
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

bool FileTracker::read_adds_nothing(const DescriptorTable& fds, int fd, uint32_t tid) {
  const Descriptor* d = find(fds, fd);
  if (d == nullptr || d->truncated) return true;
  const std::vector<uint32_t>& tids = d->path->second.read_tids;
  return std::binary_search(tids.begin(), tids.end(), tid);
}

const std::string* FileTracker::lookup_fd(const DescriptorTable& fds, int fd) {
  const Descriptor* d = find(fds, fd);
  return d == nullptr ? nullptr : &d->path->first;
}

std::optional<FileTracker::PathRef> FileTracker::lookup_ref(const DescriptorTable& fds, int fd) {
  const Descriptor* d = find(fds, fd);
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

}  // namespace drel
