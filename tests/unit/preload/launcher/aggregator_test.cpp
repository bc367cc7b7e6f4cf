#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/proc_info.h"
#include "preload/launcher/aggregator.h"
#include "preload/launcher/renamed_path.h"
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

// Renames are followed by the events alone, in the order they are handed over: what was done
// under the old name (and inside it, for a directory) is carried onto the new one; the old
// name keeps its record; nothing on disk is consulted.
struct Op {
  char what;  // 'r' read, 'w' write, 'm' rename, 'x' exchange
  uint32_t tid;
  std::string path;
  std::string to = {};
};

struct Expected {
  std::string path;
  std::vector<uint32_t> read_threads;
  std::vector<uint32_t> written_threads;
};

struct RenameCase {
  std::string name;
  std::vector<Op> ops;
  std::vector<Expected> files;  // all of them, in report order
};

void PrintTo(const RenameCase& c, std::ostream* os) { *os << c.name; }

class RenameFollowing : public ::testing::TestWithParam<RenameCase> {};

TEST_P(RenameFollowing, GivesTheseRecords) {
  PreloadAggregator agg({"cmd"}, {}, kNoSuchPid);
  for (const Op& op : GetParam().ops) {
    if (op.what == 'r') agg.record_read_access(kNoSuchPid, op.tid, op.path);
    if (op.what == 'w') agg.record_write_access(kNoSuchPid, op.tid, op.path);
    if (op.what == 'm' || op.what == 'x')
      agg.record_rename(kNoSuchPid, op.tid, op.path, op.to, op.what == 'x');
  }
  TraceReport r = std::move(agg).build_preload_report(0, 0);
  std::vector<std::string> got, want;
  auto text = [](const std::string& path, const std::vector<uint32_t>& reads,
                 const std::vector<uint32_t>& writes) {
    std::string t = path + " r[";
    for (uint32_t id : reads) t += std::to_string(id) + " ";
    t += "] w[";
    for (uint32_t id : writes) t += std::to_string(id) + " ";
    return t + "]";
  };
  for (const FileRecord& f : r.files) {
    EXPECT_EQ(f.read, f.read_threads.has_value()) << f.path;
    EXPECT_EQ(f.written, f.written_threads.has_value()) << f.path;
    got.push_back(text(f.path, f.read_threads.value_or(std::vector<uint32_t>{}),
                       f.written_threads.value_or(std::vector<uint32_t>{})));
  }
  for (const Expected& e : GetParam().files)
    want.push_back(text(e.path, e.read_threads, e.written_threads));
  EXPECT_EQ(got, want);
  EXPECT_EQ(r.opened_files.size(), r.files.size()) << "one record per path";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenameFollowing,
    ::testing::Values(
        // The temporary keeps its record; the final name gets what was done to it.
        RenameCase{"RenamedFileKeepsBothNames",
                   {{'w', 1, "/w/out.tmp"}, {'r', 2, "/w/out.tmp"}, {'r', 1, "/w/in"},
                    {'m', 3, "/w/out.tmp", "/w/out"}},
                   {{"/w/in", {1}, {}},
                    {"/w/out", {2}, {1, 3}},
                    {"/w/out.tmp", {2}, {1, 3}}}},
        RenameCase{"FilesOfAMovedDirectoryAreFollowed",
                   {{'w', 1, "/w/tmp1/x"}, {'w', 1, "/w/tmp1/sub/y"}, {'r', 2, "/w/tmp1/sub/y"},
                    {'m', 3, "/w/tmp1", "/w/final"}},
                   {{"/w/final", {}, {3}},
                    {"/w/final/sub/y", {2}, {1}},
                    {"/w/final/x", {}, {1}},
                    {"/w/tmp1", {}, {3}},
                    {"/w/tmp1/sub/y", {2}, {1}},
                    {"/w/tmp1/x", {}, {1}}}},
        RenameCase{"DeletedFileKeepsItsName",
                   {{'w', 1, "/w/gone"}, {'w', 1, "/w/gone"}, {'r', 1, "/w/other"}},
                   {{"/w/gone", {}, {1}}, {"/w/other", {1}, {}}}},
        // A name that only starts like the directory's is not inside it.
        RenameCase{"NeighbourWithTheSamePrefixIsNotInside",
                   {{'w', 1, "/w/d.tmp/late"}, {'w', 1, "/w/d.tmpx"}, {'w', 1, "/w/d.tmp-"},
                    {'m', 2, "/w/d.tmp", "/w/d"}},
                   {{"/w/d", {}, {2}},
                    {"/w/d.tmp", {}, {2}},
                    {"/w/d.tmp-", {}, {1}},
                    {"/w/d.tmp/late", {}, {1}},
                    {"/w/d.tmpx", {}, {1}},
                    {"/w/d/late", {}, {1}}}},
        // The name x was touched by 7 and then by the rename of y onto it; both go along.
        RenameCase{"ReplacedNameInAMovedDirectory",
                   {{'w', 7, "/w/tmp1/x"}, {'w', 8, "/w/tmp1/y"}, {'m', 8, "/w/tmp1/y", "/w/tmp1/x"},
                    {'m', 9, "/w/tmp1", "/w/final"}},
                   {{"/w/final", {}, {9}},
                    {"/w/final/x", {}, {7, 8}},
                    {"/w/final/y", {}, {8}},
                    {"/w/tmp1", {}, {9}},
                    {"/w/tmp1/x", {}, {7, 8}},
                    {"/w/tmp1/y", {}, {8}}}},
        // Without a rename event nothing moves, whatever the file system did.
        RenameCase{"NoRenameEventMovesNothing",
                   {{'w', 1, "/w/gone"}, {'w', 1, "/w/gone"}, {'r', 2, "/w/input"}},
                   {{"/w/gone", {}, {1}}, {"/w/input", {2}, {}}}},
        RenameCase{"RecordsEndingOnOnePathAreMerged",
                   {{'w', 7, "/w/tmp1/x"}, {'r', 3, "/w/final/x"}, {'m', 5, "/w/tmp1", "/w/final"}},
                   {{"/w/final", {}, {5}},
                    {"/w/final/x", {3}, {7}},
                    {"/w/tmp1", {}, {5}},
                    {"/w/tmp1/x", {}, {7}}}},
        // A new file under the old name after the rename is not the renamed one.
        RenameCase{"WriteToTheOldNameAfterTheRenameIsNotCarried",
                   {{'w', 1, "/w/a"}, {'m', 1, "/w/a", "/w/b"}, {'w', 2, "/w/a"}, {'r', 2, "/w/a"}},
                   {{"/w/a", {2}, {1, 2}}, {"/w/b", {}, {1}}}},
        RenameCase{"RenameChain",
                   {{'w', 1, "/w/a"}, {'r', 1, "/w/a"}, {'m', 2, "/w/a", "/w/b"},
                    {'m', 3, "/w/b", "/w/c"}},
                   {{"/w/a", {1}, {1, 2}}, {"/w/b", {1}, {1, 2, 3}}, {"/w/c", {1}, {1, 2, 3}}}},
        // Each name gets the other's record, and keeps its own.
        RenameCase{"ExchangeSwaps",
                   {{'r', 4, "/w/a"}, {'w', 5, "/w/b"}, {'w', 5, "/w/b/in"},
                    {'x', 6, "/w/a", "/w/b"}},
                   {{"/w/a", {4}, {5, 6}},
                    {"/w/a/in", {}, {5}},
                    {"/w/b", {4}, {5, 6}},
                    {"/w/b/in", {}, {5}}}},
        RenameCase{"DirectoryNamedWithTrailingSlashes",
                   {{'w', 1, "/w/d/x"}, {'m', 2, "/w/d/", "/w/e//"}},
                   {{"/w/d", {}, {2}}, {"/w/d/x", {}, {1}}, {"/w/e", {}, {2}}, {"/w/e/x", {}, {1}}}},
        RenameCase{"TrailingSlashesNameTheSamePath",
                   {{'w', 1, "/w/d/"}, {'r', 2, "/w/d//"}, {'r', 2, "/"}},
                   {{"/", {2}, {}}, {"/w/d", {2}, {1}}}},
        RenameCase{"RenameOntoItself",
                   {{'r', 1, "/w/a"}, {'m', 2, "/w/a", "/w/a"}},
                   {{"/w/a", {1}, {2}}}}),
    [](const auto& info) { return info.param.name; });

TEST(RenamedPath, Components) {
  struct Row {
    const char* path;
    const char* from;
    const char* to;
    std::optional<std::string> now;
  };
  for (const Row& row : {Row{"/w/out.tmp", "/w/out.tmp", "/w/out", "/w/out"},
                         Row{"/w/d/x", "/w/d", "/w/e", "/w/e/x"},
                         Row{"/w/d/s/y", "/w/d", "/e", "/e/s/y"},
                         Row{"/w/dx", "/w/d", "/w/e", std::nullopt},
                         Row{"/w/d.x", "/w/d", "/w/e", std::nullopt},
                         Row{"/w", "/w/d", "/w/e", std::nullopt},
                         Row{"/v/d/x", "/w/d", "/w/e", std::nullopt},
                         Row{"/w/d/x", "", "/w/e", std::nullopt}}) {
    EXPECT_EQ(renamed_path(row.path, row.from, row.to), row.now) << row.path << " " << row.from;
  }
  for (auto [in, out] : {std::pair{"/w/d/", "/w/d"}, std::pair{"/w/d//", "/w/d"},
                         std::pair{"/", "/"}, std::pair{"d", "d"}}) {
    EXPECT_EQ(without_trailing_slashes(in), out) << in;
  }
}

}  // namespace
}  // namespace drel::launcher
