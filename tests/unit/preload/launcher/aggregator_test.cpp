#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/proc_info.h"
#include "preload/launcher/aggregator.h"
#include "support/process_runner.h"

namespace drel::launcher {
namespace {

constexpr uint32_t kNoSuchPid = 4000000000u;
constexpr uint32_t kOtherGonePid = 4000000001u;

using Threads = std::optional<std::vector<uint32_t>>;

TEST(PreloadAggregator, FilesInByteOrderWithThreadsAscendingAndOnce) {
  PreloadAggregator agg({"cmd"}, {}, kNoSuchPid);
  agg.record_write_access(kNoSuchPid, 5, "/b");
  agg.record_read_access(kNoSuchPid, 12, "/data/a.txt");
  agg.record_read_access(kNoSuchPid, 11, "/data/a.txt");
  agg.record_read_access(kNoSuchPid, 12, "/data/a.txt");
  agg.record_read_access(kNoSuchPid, 1, "/a");
  agg.record_read_access(kNoSuchPid, 1, "/\xc3\xa9");  // bytes above 0x7f sort last
  agg.record_read_access(kNoSuchPid, 1, "/A");
  TraceReport r = std::move(agg).build_preload_report(1.0, 2.0);
  std::vector<std::string> paths;
  for (const FileRecord& f : r.files) paths.push_back(f.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"/A", "/a", "/b", "/data/a.txt", "/\xc3\xa9"}));
  const FileRecord& a = r.files[3];
  EXPECT_TRUE(a.read);
  EXPECT_FALSE(a.written);
  EXPECT_EQ(a.read_threads, Threads(std::vector<uint32_t>{11, 12}));
  EXPECT_EQ(a.written_threads, std::nullopt);
  EXPECT_EQ(r.files[2].read_threads, std::nullopt);
  EXPECT_EQ(r.files[2].written_threads, Threads(std::vector<uint32_t>{5}));
  EXPECT_EQ(r.opened_files, paths);
  EXPECT_EQ(r.read_files, (std::vector<std::string>{"/A", "/a", "/data/a.txt", "/\xc3\xa9"}));
  EXPECT_EQ(r.written_files, (std::vector<std::string>{"/b"}));
  EXPECT_EQ(r.tracer_mode, "preload");
  EXPECT_EQ(r.events_dropped, 0u);
  EXPECT_EQ(r.start_time, 1.0);
  EXPECT_EQ(r.end_time, 2.0);
}

TEST(PreloadAggregator, EmptyPathRecordsNothing) {
  PreloadAggregator agg({"cmd"}, {}, kNoSuchPid);
  agg.record_read_access(kOtherGonePid, 1, "");
  agg.record_write_access(kOtherGonePid, 1, "");
  TraceReport r = std::move(agg).build_preload_report(0, 0);
  EXPECT_TRUE(r.files.empty());
  EXPECT_TRUE(r.processes.empty());
}

TEST(PreloadAggregator, DroppedEventsAreCarried) {
  PreloadAggregator agg({"cmd"}, {}, kNoSuchPid);
  agg.count_dropped_event();
  agg.count_dropped_event();
  EXPECT_EQ(std::move(agg).build_preload_report(0, 0).events_dropped, 2u);
}

TEST(PreloadAggregator, RootIsRecordedAsItWasStarted) {
  // A live root whose /proc shows another environment (this test process's own).
  const auto self = static_cast<uint32_t>(::getpid());
  EnvMap launcher_env = {{"GIVEN_TO_THE_ROOT", "1"}};
  // The command is given as bytes; the report shows it as UTF-8.
  PreloadAggregator agg({"prog", "a\xff"}, launcher_env, self);
  agg.ensure_process(self);
  agg.ensure_process(self);
  TraceReport r = std::move(agg).build_preload_report(0, 0);
  ASSERT_EQ(r.processes.size(), 1u);
  const ProcessRecord& root = r.processes[0];
  EXPECT_EQ(root.pid, self);
  EXPECT_EQ(root.parent_pid, std::nullopt);
  EXPECT_EQ(root.command, (std::vector<std::string>{"prog", "a\xef\xbf\xbd"}));
  // The environment it was given, not what /proc shows around its exec.
  EXPECT_EQ(root.env, launcher_env);
  EXPECT_EQ(r.env_accessed, launcher_env);
}

TEST(PreloadAggregator, VanishedRootGetsLauncherCommandAndEnvironment) {
  EnvMap launcher_env = {{"HOME", "/home/x"}, {"LANG", "C"}};
  PreloadAggregator agg({"make", "all"}, launcher_env, kNoSuchPid);
  agg.ensure_process(kNoSuchPid);
  agg.record_read_access(kOtherGonePid, 3, "/x");
  TraceReport r = std::move(agg).build_preload_report(0, 0);
  ASSERT_EQ(r.processes.size(), 2u);
  EXPECT_EQ(r.processes[0].pid, kNoSuchPid);
  EXPECT_EQ(r.processes[0].command, (std::vector<std::string>{"make", "all"}));
  EXPECT_EQ(r.processes[0].env, launcher_env);
  EXPECT_EQ(r.env_accessed, launcher_env);
  // Any other vanished process is recorded with nothing known.
  EXPECT_EQ(r.processes[1].pid, kOtherGonePid);
  EXPECT_EQ(r.processes[1].parent_pid, std::nullopt);
  EXPECT_TRUE(r.processes[1].command.empty());
  EXPECT_TRUE(r.processes[1].env.empty());
}

TEST(PreloadAggregator, NoRootRecordFallsBackToLauncherEnvironment) {
  EnvMap launcher_env = {{"K", "v"}};
  PreloadAggregator agg({"cmd"}, launcher_env, kNoSuchPid);
  EXPECT_EQ(std::move(agg).build_preload_report(0, 0).env_accessed, launcher_env);
}

TEST(PreloadAggregator, OtherProcessReadFromProc) {
  const auto self = static_cast<uint32_t>(::getpid());
  PreloadAggregator agg({"cmd"}, {}, kNoSuchPid);
  agg.record_read_access(self, self, "/p");
  TraceReport r = std::move(agg).build_preload_report(0, 0);
  ASSERT_EQ(r.processes.size(), 1u);
  EXPECT_EQ(r.processes[0].parent_pid, static_cast<uint32_t>(::getppid()));
  ASSERT_FALSE(r.processes[0].command.empty());
  EXPECT_NE(r.processes[0].command[0].find("tests"), std::string::npos);
}

// A process's own descriptions, in the order the launcher handles them, and the record that
// results. Steps name the process "gone" (no /proc to fall back on), "self" (this test, whose
// /proc is there) or "root".
struct DescriptionStep {
  std::string who;
  enum { Forked, Executed, ExecutedWithoutAreas, FileEvent } what;
  uint32_t parent = 0;
  std::string cmdline;
  std::string environ;
};

struct DescribedCase {
  std::string name;
  std::vector<DescriptionStep> steps;
  std::optional<uint32_t> parent;
  std::vector<std::string> command;  // {"<proc>"}: what /proc shows for this test
  EnvMap env;
};

void PrintTo(const DescribedCase& c, std::ostream* os) { *os << c.name; }

class PreloadAggregatorDescriptions : public ::testing::TestWithParam<DescribedCase> {};

TEST_P(PreloadAggregatorDescriptions, MakeTheRecord) {
  const DescribedCase& c = GetParam();
  const auto self = static_cast<uint32_t>(::getpid());
  const EnvMap launcher_env = {{"L", "1"}};
  PreloadAggregator agg({"launched"}, launcher_env, kNoSuchPid);
  auto pid_of = [&](const std::string& who) {
    return who == "self" ? self : who == "root" ? kNoSuchPid : kOtherGonePid;
  };
  for (const DescriptionStep& step : c.steps) {
    if (step.what == DescriptionStep::FileEvent) {
      agg.record_read_access(pid_of(step.who), 1, "/f");
      continue;
    }
    PreloadAggregator::Description d;
    d.parent_pid = step.parent;
    d.exec = step.what != DescriptionStep::Forked;
    d.has_areas = step.what != DescriptionStep::ExecutedWithoutAreas;
    d.cmdline = step.cmdline;
    d.environ = step.environ;
    agg.record_process_description(pid_of(step.who), d);
  }
  const uint32_t pid = pid_of(c.steps.back().who);
  TraceReport r = std::move(agg).build_preload_report(0, 0);
  const ProcessRecord* record = nullptr;
  for (const ProcessRecord& p : r.processes)
    if (p.pid == pid) record = &p;
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(r.processes.size(), 1u);
  EXPECT_EQ(record->parent_pid, c.parent);
  if (c.command == std::vector<std::string>{"<proc>"}) {
    std::optional<ProcessInfo> proc = read_process_info(static_cast<int>(self));
    ASSERT_TRUE(proc.has_value());
    EXPECT_EQ(record->command, proc->command);
    EXPECT_EQ(record->env, proc->env);
  } else {
    EXPECT_EQ(record->command, c.command);
    EXPECT_EQ(record->env, c.env);
  }
}

using Step = DescriptionStep;
using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Rows, PreloadAggregatorDescriptions,
    testing::Values(
        DescribedCase{"ForkedCopy",
                      {{"gone", Step::Forked, 10, "a\0b\0"s, "X=1\0"s}},
                      10, {"a", "b"}, {{"X", "1"}}},
        DescribedCase{"ExecutedImageReplacesTheForkedCopyButNotItsParent",
                      {{"gone", Step::Forked, 10, "sh\0"s, "X=1\0"s},
                       {"gone", Step::Executed, 11, "cat\0f\0"s, "Y=2\0"s}},
                      10, {"cat", "f"}, {{"Y", "2"}}},
        DescribedCase{"ForkedCopyHandledLateKeepsTheExecutedCommand",
                      {{"gone", Step::Executed, 11, "cat\0"s, "Y=2\0"s},
                       {"gone", Step::Forked, 10, "sh\0"s, "X=1\0"s}},
                      10, {"cat"}, {{"Y", "2"}}},
        DescribedCase{"LaterExecutedImageWins",
                      {{"gone", Step::Executed, 10, "sh\0"s, "X=1\0"s},
                       {"gone", Step::Executed, 10, "cat\0"s, "Y=2\0"s}},
                      10, {"cat"}, {{"Y", "2"}}},
        DescribedCase{"EventOfAGoneProcessBeforeItsDescription",
                      {{"gone", Step::FileEvent, 0, ""s, ""s},
                       {"gone", Step::Executed, 10, "cat\0"s, ""s}},
                      10, {"cat"}, {}},
        DescribedCase{"AreasAsProcShowsThem",
                      {{"gone", Step::Forked, 10, "a\0\0b\xff\0"s, "A=1\0A=2\0N\0\0"s}},
                      10, {"a", "b\xef\xbf\xbd"}, {{"A", "2"}, {"N", ""}}},
        DescribedCase{"WithoutAreasProcIsRead",
                      {{"self", Step::ExecutedWithoutAreas, 42, ""s, ""s}}, 42, {"<proc>"}, {}},
        DescribedCase{"RootKeepsWhatItWasStartedWith",
                      {{"root", Step::Executed, 10, "other\0"s, "X=1\0"s}},
                      std::nullopt, {"launched"}, {{"L", "1"}}}),
    [](const auto& info) { return info.param.name; });

class RenameTest : public ::testing::Test {
 protected:
  std::string at(const std::string& rel) const { return dir_ / rel; }
  void make(const std::string& rel) { test::write_file(at(rel), "x"); }
  void move(const std::string& from, const std::string& to) {
    ASSERT_EQ(std::rename(at(from).c_str(), at(to).c_str()), 0);
  }
  std::vector<std::string> paths(const TraceReport& r) const {
    std::vector<std::string> out;
    for (const FileRecord& f : r.files) out.push_back(f.path);
    return out;
  }

  test::TempDir dir_;
  PreloadAggregator agg_{{"cmd"}, {}, kNoSuchPid};
};

// A renamed file is reported under both names, as the rename's events give them; the old
// name's record is not moved onto the new one by its inode.
TEST_F(RenameTest, RenamedFileKeepsBothNames) {
  make("out.tmp");
  agg_.record_read_access(kNoSuchPid, 1, at("a-input"));
  agg_.record_write_access(kNoSuchPid, 1, at("out.tmp"));
  move("out.tmp", "out");
  agg_.record_write_access(kNoSuchPid, 1, at("out.tmp"));  // the rename's events
  agg_.record_write_access(kNoSuchPid, 1, at("out"));
  TraceReport r = std::move(agg_).build_preload_report(0, 0);
  EXPECT_EQ(paths(r), (std::vector<std::string>{at("a-input"), at("out"), at("out.tmp")}));
  EXPECT_EQ(r.written_files, (std::vector<std::string>{at("out"), at("out.tmp")}));
}

TEST_F(RenameTest, FilesOfAMovedDirectoryAreFound) {
  ASSERT_EQ(::mkdir(at("tmp1").c_str(), 0700), 0);
  make("tmp1/x");
  agg_.record_write_access(kNoSuchPid, 1, at("tmp1/x"));
  move("tmp1", "final");
  agg_.record_write_access(kNoSuchPid, 1, at("final"));
  TraceReport r = std::move(agg_).build_preload_report(0, 0);
  EXPECT_EQ(paths(r), (std::vector<std::string>{at("final"), at("final/x")}));
  EXPECT_EQ(r.written_files, paths(r));
}

TEST_F(RenameTest, DeletedFileKeepsItsName) {
  make("gone");
  agg_.record_write_access(kNoSuchPid, 1, at("gone"));
  make("other");  // made first, so it cannot reuse the deleted file's inode
  ASSERT_EQ(::unlink(at("gone").c_str()), 0);
  agg_.record_read_access(kNoSuchPid, 1, at("other"));
  TraceReport r = std::move(agg_).build_preload_report(0, 0);
  EXPECT_EQ(paths(r), (std::vector<std::string>{at("gone"), at("other")}));
  EXPECT_TRUE(r.files[0].written);
}

TEST_F(RenameTest, FileCreatedAfterItsFirstWriteEventIsSnapshotLater) {
  // The first write event found nothing on disk; the next one takes the identity, which
  // the file still has in the directory's new place.
  ASSERT_EQ(::mkdir(at("d.tmp").c_str(), 0700), 0);
  agg_.record_write_access(kNoSuchPid, 1, at("d.tmp/late"));
  make("d.tmp/late");
  agg_.record_write_access(kNoSuchPid, 1, at("d.tmp/late"));
  move("d.tmp", "d");
  TraceReport r = std::move(agg_).build_preload_report(0, 0);
  EXPECT_EQ(paths(r), (std::vector<std::string>{at("d/late")}));
}

// Another file under the old name in the moved directory is not the written one.
TEST_F(RenameTest, MovedDirectoryFileMustStillBeTheWrittenOne) {
  ASSERT_EQ(::mkdir(at("tmp1").c_str(), 0700), 0);
  make("tmp1/x");
  agg_.record_write_access(kNoSuchPid, 1, at("tmp1/x"));
  make("tmp1/y");
  move("tmp1/y", "tmp1/x");  // replaced by another file
  move("tmp1", "final");
  TraceReport r = std::move(agg_).build_preload_report(0, 0);
  EXPECT_EQ(paths(r), (std::vector<std::string>{at("tmp1/x")}));
}

// A deleted file's inode given to a new file does not give the new file the old record.
TEST_F(RenameTest, ReusedInodeIsNotARename) {
  make("gone");
  agg_.record_write_access(kNoSuchPid, 1, at("gone"));
  ASSERT_EQ(::unlink(at("gone").c_str()), 0);
  make("new");  // may well take the freed inode
  agg_.record_read_access(kNoSuchPid, 2, at("input"));
  TraceReport r = std::move(agg_).build_preload_report(0, 0);
  EXPECT_EQ(paths(r), (std::vector<std::string>{at("gone"), at("input")}));
}

// A written file moved with its directory onto a path written directly as well: one record,
// flags and threads of both.
TEST_F(RenameTest, RecordsEndingOnOnePathAreMerged) {
  ASSERT_EQ(::mkdir(at("tmp1").c_str(), 0700), 0);
  make("tmp1/x");
  agg_.record_write_access(kNoSuchPid, 7, at("tmp1/x"));
  move("tmp1", "final");
  agg_.record_read_access(kNoSuchPid, 3, at("final/x"));
  TraceReport r = std::move(agg_).build_preload_report(0, 0);
  ASSERT_EQ(paths(r), (std::vector<std::string>{at("final/x")}));
  EXPECT_TRUE(r.files[0].read);
  EXPECT_TRUE(r.files[0].written);
  EXPECT_EQ(r.files[0].read_threads, (std::vector<uint32_t>{3}));
  EXPECT_EQ(r.files[0].written_threads, (std::vector<uint32_t>{7}));
  EXPECT_EQ(r.opened_files, paths(r));
}

TEST(ParentDirectory, Components) {
  struct Row {
    const char* path;
    const char* parent;
  };
  for (const Row& row : {Row{"/w/out.tmp", "/w"}, Row{"/x", "/"}, Row{"/", "."},
                         Row{"name", "."}, Row{"a/b/", "a"}, Row{"/a//b", "/a"},
                         Row{"rel/dir/f", "rel/dir"}}) {
    EXPECT_EQ(parent_directory(row.path), row.parent) << row.path;
  }
}

}  // namespace
}  // namespace drel::launcher
