// The per-thread table of descriptors already reported: when an entry still stands for the
// descriptor's file, and what a full table gives up.
#include <gtest/gtest.h>

#include <string>

#include "preload/guest/fd_table.h"

namespace drel::guest {
namespace {

constexpr uint32_t kPid = 100;

struct Key {
  int fd;
  dev_t dev;
  ino_t ino;
  uint32_t opened;
};

FdEntry& fill(FdTable& table, Key k, const std::string& path) {
  return table.fill(k.fd, k.dev, k.ino, k.opened, path.data(), path.size());
}

FdEntry* find(FdTable& table, Key k) { return table.find(k.fd, k.dev, k.ino, k.opened); }

struct LookupCase {
  const char* name;
  Key probe;
  bool found;
};

void PrintTo(const LookupCase& c, std::ostream* os) { *os << c.name; }

class FdTableLookup : public testing::TestWithParam<LookupCase> {};

TEST_P(FdTableLookup, EntryStandsOnlyForTheSameFileOpenedAtTheSameGeneration) {
  FdTable table{};
  table.revalidate(kPid, 0);
  fill(table, Key{3, 8, 77, 5}, "/a/b");
  FdEntry* e = find(table, GetParam().probe);
  ASSERT_EQ(e != nullptr, GetParam().found);
  if (e != nullptr) {
    EXPECT_EQ(std::string(e->path, e->path_len), "/a/b");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FdTableLookup,
    testing::Values(LookupCase{"same", {3, 8, 77, 5}, true},
                    LookupCase{"other_number", {4, 8, 77, 5}, false},
                    LookupCase{"other_inode", {3, 8, 78, 5}, false},
                    LookupCase{"other_device", {3, 9, 77, 5}, false},
                    LookupCase{"reopened_since", {3, 8, 77, 6}, false}),
    [](const testing::TestParamInfo<LookupCase>& info) { return std::string(info.param.name); });

struct RevalidateCase {
  const char* name;
  uint32_t pid;
  uint32_t names;
  bool kept;
};

void PrintTo(const RevalidateCase& c, std::ostream* os) { *os << c.name; }

class FdTableRevalidate : public testing::TestWithParam<RevalidateCase> {};

TEST_P(FdTableRevalidate, AnotherProcessOrANameChangeEmptiesTheTable) {
  FdTable table{};
  table.revalidate(kPid, 4);
  fill(table, Key{3, 1, 1, 0}, "/x").sent = kSentRead;
  table.revalidate(GetParam().pid, GetParam().names);
  FdEntry* e = find(table, Key{3, 1, 1, 0});
  ASSERT_EQ(e != nullptr, GetParam().kept);
  if (e != nullptr) {
    EXPECT_EQ(e->sent, kSentRead);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FdTableRevalidate,
    testing::Values(RevalidateCase{"same_process_same_names", kPid, 4, true},
                    RevalidateCase{"forked_child", kPid + 1, 4, false},
                    RevalidateCase{"name_changed", kPid, 5, false}),
    [](const testing::TestParamInfo<RevalidateCase>& info) {
      return std::string(info.param.name);
    });

TEST(FdTable, NewTableKnowsNothingEvenForPidZero) {
  FdTable table{};
  table.revalidate(0, 0);
  EXPECT_EQ(find(table, Key{0, 0, 0, 0}), nullptr);
}

TEST(FdTable, RefillingADescriptorReplacesItsEntryAndForgetsWhatWasSent) {
  FdTable table{};
  table.revalidate(kPid, 0);
  fill(table, Key{3, 1, 1, 0}, "/old").sent = kSentRead | kSentWrite;
  FdEntry& again = fill(table, Key{3, 1, 2, 1}, "/new");
  EXPECT_EQ(again.sent, 0);
  EXPECT_EQ(find(table, Key{3, 1, 1, 0}), nullptr);
  ASSERT_EQ(find(table, Key{3, 1, 2, 1}), &again);
  EXPECT_EQ(std::string(again.path, again.path_len), "/new");
  // Only one entry per number: every other slot is still free for other descriptors.
  for (int fd = 10; fd < 10 + static_cast<int>(FdTable::kEntries) - 1; ++fd)
    fill(table, Key{fd, 1, static_cast<ino_t>(fd), 0}, "/f");
  EXPECT_EQ(find(table, Key{3, 1, 2, 1}), &again);
}

TEST(FdTable, FullTableGivesUpItsEntriesInTurn) {
  FdTable table{};
  table.revalidate(kPid, 0);
  const int n = static_cast<int>(FdTable::kEntries);
  for (int fd = 0; fd < n; ++fd) fill(table, Key{fd, 1, static_cast<ino_t>(fd), 0}, "/f");
  fill(table, Key{n, 1, 99, 0}, "/g");
  int kept = 0;
  for (int fd = 0; fd < n; ++fd)
    if (find(table, Key{fd, 1, static_cast<ino_t>(fd), 0}) != nullptr) ++kept;
  EXPECT_EQ(kept, n - 1);
  EXPECT_NE(find(table, Key{n, 1, 99, 0}), nullptr);
  fill(table, Key{n + 1, 1, 100, 0}, "/h");
  EXPECT_NE(find(table, Key{n, 1, 99, 0}), nullptr) << "the newest entry went first";
}

struct PathCase {
  const char* name;
  bool is_file;
  size_t length;
  bool kept;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

class FdTablePath : public testing::TestWithParam<PathCase> {};

TEST_P(FdTablePath, KeepsPathsThatFitAndRemembersNonFiles) {
  FdTable table{};
  table.revalidate(kPid, 0);
  std::string path(GetParam().length, 'p');
  if (!path.empty()) path[0] = '/';
  FdEntry& e = table.fill(3, 1, 1, 0, GetParam().is_file ? path.data() : nullptr, path.size());
  EXPECT_EQ(e.is_file, GetParam().is_file);
  EXPECT_EQ(e.has_path, GetParam().kept);
  if (GetParam().kept) {
    EXPECT_EQ(std::string(e.path, e.path_len), path);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FdTablePath,
    testing::Values(PathCase{"short", true, 5, true},
                    PathCase{"exactly_full", true, FdEntry::kPathCapacity, true},
                    PathCase{"too_long", true, FdEntry::kPathCapacity + 1, false},
                    PathCase{"pipe_or_socket", false, 0, false}),
    [](const testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

TEST(FdTable, AThreadUsingItsTableLendsItToNobodyElse) {
  FdTable* first = acquire_thread_fd_table();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(acquire_thread_fd_table(), nullptr) << "a signal handler would share the update";
  release_thread_fd_table();
  ThreadFdTable again;
  EXPECT_EQ(again.get(), first);
}

TEST(FdTable, DescriptorGenerationsMoveForTheirOwnNumberOnly) {
  uint32_t three = descriptor_generation(3), four = descriptor_generation(4);
  uint32_t names = name_generation();
  note_descriptor_opened(3);
  EXPECT_EQ(descriptor_generation(3), three + 1);
  EXPECT_EQ(descriptor_generation(4), four);
  EXPECT_EQ(name_generation(), names);
  note_name_change();
  EXPECT_EQ(name_generation(), names + 1);
}

}  // namespace
}  // namespace drel::guest
