// The tracker folds every access into per-path totals at once. Checked against a plain model
// that keeps every descriptor record, retired ones in a list, and aggregates at the end.
#include "file_tracker.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

namespace drel {
namespace {

// The unfolded bookkeeping: every record is kept until aggregation.
class KeepEverything {
 public:
  void open_fd(pid_t task, int fd, const std::string& path, uint64_t flags) {
    retire(task, fd);
    fd_paths_[{task, fd}] = path;
    open_[{task, fd}] = Record{path, {}, {}, false, false, (flags & O_TRUNC) != 0};
  }
  void close_fd(pid_t task, int fd) {
    fd_paths_.erase({task, fd});
    retire(task, fd);
  }
  void dup_fd(pid_t task, int oldfd, int newfd) {
    if (oldfd == newfd) return;
    fd_paths_.erase({task, newfd});
    retire(task, newfd);
    const auto it = fd_paths_.find({task, oldfd});
    if (it == fd_paths_.end()) return;
    const std::string path = it->second;
    fd_paths_[{task, newfd}] = path;
    open_[{task, newfd}] = Record{path, {}, {}, false, false, false};
  }
  void inherit_descriptors(pid_t parent, pid_t child) {
    std::vector<std::pair<int, std::string>> copy;
    for (const auto& [key, path] : fd_paths_) {
      if (key.first == parent) copy.emplace_back(key.second, path);
    }
    for (const auto& [fd, path] : copy) {
      fd_paths_[{child, fd}] = path;
      open_[{child, fd}] = Record{path, {}, {}, false, false, false};
    }
  }
  void record_read_fd(pid_t task, int fd, uint32_t tid) {
    const auto it = open_.find({task, fd});
    if (it == open_.end() || it->second.truncated) return;
    it->second.read = true;
    it->second.read_tids.insert(tid);
    read_paths_.insert(it->second.path);
    read_by_path_[it->second.path].insert(tid);
  }
  void record_write_fd(pid_t task, int fd, uint32_t tid) {
    const auto it = open_.find({task, fd});
    if (it == open_.end()) return;
    it->second.written = true;
    it->second.written_tids.insert(tid);
    written_paths_.insert(it->second.path);
    written_by_path_[it->second.path].insert(tid);
  }
  void record_write_path(const std::string& path, std::optional<uint32_t> tid) {
    if (path.empty()) return;
    written_paths_.insert(path);
    if (tid) written_by_path_[path].insert(*tid);
  }
  const std::string* lookup_fd(pid_t task, int fd) const {
    const auto it = fd_paths_.find({task, fd});
    return it == fd_paths_.end() ? nullptr : &it->second;
  }

  std::vector<FileRecord> aggregate() const {
    struct Acc {
      bool read = false, written = false;
      std::set<uint32_t> r, w;
    };
    std::map<std::string, Acc> acc;
    const auto add = [&](const Record& rec) {
      if (rec.path.empty()) return;
      Acc& a = acc[rec.path];
      a.read |= rec.read;
      a.written |= rec.written;
      a.r.insert(rec.read_tids.begin(), rec.read_tids.end());
      a.w.insert(rec.written_tids.begin(), rec.written_tids.end());
    };
    for (const auto& [key, rec] : open_) add(rec);
    for (const auto& rec : closed_) add(rec);
    for (const auto& p : read_paths_) {
      if (p.empty()) continue;
      acc[p].read = true;
      if (auto it = read_by_path_.find(p); it != read_by_path_.end()) {
        acc[p].r.insert(it->second.begin(), it->second.end());
      }
    }
    for (const auto& p : written_paths_) {
      if (p.empty()) continue;
      acc[p].written = true;
      if (auto it = written_by_path_.find(p); it != written_by_path_.end()) {
        acc[p].w.insert(it->second.begin(), it->second.end());
      }
    }
    std::vector<FileRecord> files;
    for (const auto& [path, a] : acc) {
      FileRecord f;
      f.path = path;
      f.read = a.read;
      f.written = a.written;
      if (!a.r.empty()) f.read_threads = std::vector<uint32_t>(a.r.begin(), a.r.end());
      if (!a.w.empty()) f.written_threads = std::vector<uint32_t>(a.w.begin(), a.w.end());
      files.push_back(std::move(f));
    }
    return files;
  }

  std::size_t retained_records() const { return open_.size() + closed_.size(); }

 private:
  struct Record {
    std::string path;
    std::set<uint32_t> read_tids, written_tids;
    bool read, written, truncated;
  };
  void retire(pid_t task, int fd) {
    const auto it = open_.find({task, fd});
    if (it == open_.end()) return;
    closed_.push_back(std::move(it->second));
    open_.erase(it);
  }
  std::map<std::pair<pid_t, int>, std::string> fd_paths_;
  std::map<std::pair<pid_t, int>, Record> open_;
  std::vector<Record> closed_;
  std::set<std::string> read_paths_, written_paths_;
  std::map<std::string, std::set<uint32_t>> read_by_path_, written_by_path_;
};

class FoldedMatchesKept : public testing::TestWithParam<uint32_t> {};

TEST_P(FoldedMatchesKept, OnRandomOperationSequences) {
  std::mt19937 rng(GetParam());
  const std::vector<std::string> paths = {"", "/a", "/b", "/dir/c", "/dir/d\xC3\xA9"};
  const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
  FileTracker folded;
  std::map<pid_t, FileTracker::DescriptorTable> tables;  // each task's own
  KeepEverything kept;
  std::vector<pid_t> tasks = {100};
  for (int step = 0; step < 3000; ++step) {
    const pid_t task = tasks[static_cast<std::size_t>(pick(static_cast<int>(tasks.size())))];
    const int fd = pick(6);
    const auto tid = static_cast<uint32_t>(task + pick(2));
    switch (pick(9)) {
      case 0:
      case 1: {
        const std::string& path = paths[static_cast<std::size_t>(pick(5))];
        const uint64_t flags = pick(3) == 0 ? (O_WRONLY | O_TRUNC) : O_RDONLY;
        folded.open_fd(tables[task], fd, path, flags);
        kept.open_fd(task, fd, path, flags);
        break;
      }
      case 2:
        folded.close_fd(tables[task], fd);
        kept.close_fd(task, fd);
        break;
      case 3: {
        const int newfd = pick(6);
        folded.dup_fd(tables[task], fd, newfd);
        kept.dup_fd(task, fd, newfd);
        break;
      }
      case 4:
        if (tasks.size() < 6) {
          const pid_t child = 100 + static_cast<pid_t>(tasks.size());
          tasks.push_back(child);
          tables[child] = FileTracker::copy_for_child(tables[task]);
          kept.inherit_descriptors(task, child);
        }
        break;
      case 5:
        folded.record_read_fd(tables[task], fd, tid);
        kept.record_read_fd(task, fd, tid);
        break;
      case 6:
        folded.record_write_fd(tables[task], fd, tid);
        kept.record_write_fd(task, fd, tid);
        break;
      case 7: {
        const std::string& path = paths[static_cast<std::size_t>(pick(5))];
        const auto t = pick(2) == 0 ? std::nullopt : std::optional<uint32_t>(tid);
        folded.record_write_path(path, t);
        kept.record_write_path(path, t);
        break;
      }
      default: {
        const std::string* a = FileTracker::lookup_fd(tables[task], fd);
        const std::string* b = kept.lookup_fd(task, fd);
        ASSERT_EQ(a == nullptr, b == nullptr) << "step " << step;
        if (a != nullptr) {
          ASSERT_EQ(*a, *b) << "step " << step;
        }
      }
    }
  }
  const TrackedFiles got = folded.aggregate_files();
  const std::vector<FileRecord> want = kept.aggregate();
  EXPECT_EQ(got.files, want);
  EXPECT_EQ(got.paths.opened_files, collect_path_lists(want).opened_files);
  EXPECT_EQ(got.paths.read_files, collect_path_lists(want).read_files);
  EXPECT_EQ(got.paths.written_files, collect_path_lists(want).written_files);
}

INSTANTIATE_TEST_SUITE_P(Seeds, FoldedMatchesKept, testing::Range(1u, 21u));

TEST(FileTracker, AMillionOpenCloseCyclesRetainNothingPerCycle) {
  FileTracker tracker;
  FileTracker::DescriptorTable fds;
  tracker.open_fd(fds, 0, "/dev/stdin-ish", O_RDONLY);
  for (uint32_t i = 0; i < 1'000'000; ++i) {
    const int fd = 3 + static_cast<int>(i % 2);  // also reopen over a live number
    tracker.open_fd(fds, fd, "/data/hot", i % 3 == 0 ? O_WRONLY | O_TRUNC : O_RDONLY);
    tracker.record_read_fd(fds, fd, 7);
    if (i % 2 == 1) tracker.close_fd(fds, fd);
  }
  // Two live descriptors at most, two distinct paths: whatever the number of cycles.
  EXPECT_LE(fds.size(), 3u);
  EXPECT_EQ(tracker.path_count(), 2u);
  const TrackedFiles files = tracker.aggregate_files();
  ASSERT_EQ(files.files.size(), 2u);
  EXPECT_EQ(files.files[0].path, "/data/hot");
  EXPECT_TRUE(files.files[0].read);
  EXPECT_EQ(files.files[0].read_threads, std::vector<uint32_t>{7});
}

TEST(FileTracker, ForgettingATaskKeepsItsAccessesAndFreesItsTable) {
  FileTracker tracker;
  std::map<pid_t, FileTracker::DescriptorTable> tables;
  for (int fd = 0; fd < 50; ++fd) tracker.open_fd(tables[1], fd, "/f" + std::to_string(fd % 5), O_RDONLY);
  tracker.record_read_fd(tables[1], 2, 1);
  for (pid_t child = 2; child < 1002; ++child) {
    tables[child] = FileTracker::copy_for_child(tables[1]);
    tracker.record_write_fd(tables[child], 3, static_cast<uint32_t>(child));
    tables.erase(child);
  }
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[1].size(), 50u);
  const TrackedFiles files = tracker.aggregate_files();
  ASSERT_EQ(files.files.size(), 5u);
  EXPECT_EQ(files.files[2].path, "/f2");
  EXPECT_TRUE(files.files[2].read);
  EXPECT_EQ(files.files[3].path, "/f3");
  ASSERT_TRUE(files.files[3].written_threads.has_value());
  EXPECT_EQ(files.files[3].written_threads->size(), 1000u);
  EXPECT_EQ(files.files[3].written_threads->front(), 2u);
}

TEST(FileTracker, PathsAreOrderedBytewise) {
  FileTracker tracker;
  FileTracker::DescriptorTable fds;
  for (const char* p : {"/b", "/\xC3\xA9", "/B", "/a/b", "/a"}) tracker.open_fd(fds, 3, p, 0);
  std::vector<std::string> got;
  for (const auto& f : tracker.aggregate_files().files) got.push_back(f.path);
  EXPECT_EQ(got, (std::vector<std::string>{"/B", "/a", "/a/b", "/b", "/\xC3\xA9"}));
}

}  // namespace
}  // namespace drel
