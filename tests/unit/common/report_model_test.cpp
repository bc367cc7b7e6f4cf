// The normalising constructor and the derived path lists.
#include <gtest/gtest.h>

#include "common/report.h"

namespace drel {
namespace {

TEST(ReportModel, ProcessesSortStablyByUnsignedPid) {
  std::vector<ProcessRecord> in{{300, std::nullopt, {"a"}, {}},
                                {12, std::nullopt, {"first"}, {}},
                                {3000000000u, std::nullopt, {"big"}, {}},
                                {12, 1, {"second"}, {}}};
  const TraceReport r = make_report("ptrace", std::nullopt, in, {}, {}, {}, 0, 0, std::nullopt);
  ASSERT_EQ(r.processes.size(), 4u);
  std::vector<std::string> order;
  for (const auto& p : r.processes) order.push_back(p.command[0]);
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "a", "big"}));
  EXPECT_EQ(r.version, 1u);
}

TEST(ReportModel, PathListsMirrorFilesInOrder) {
  std::vector<FileRecord> files{{"/z", true, true, {}, {}, {}, {}},
                                {"/untouched", false, false, {}, {}, {}, {}},
                                {"/w", false, true, {}, {}, {}, {}},
                                {"/z", true, false, {}, {}, {}, {}}};
  const PathLists lists = collect_path_lists(files);
  EXPECT_EQ(lists.opened_files, (std::vector<std::string>{"/z", "/untouched", "/w", "/z"}));
  EXPECT_EQ(lists.read_files, (std::vector<std::string>{"/z", "/z"}));
  EXPECT_EQ(lists.written_files, (std::vector<std::string>{"/z", "/w"}));
}

TEST(ReportModel, WallClockIsAfterThisCodeWasWritten) {
  const double now = now_epoch_seconds();
  EXPECT_GT(now, 1.7e9);
}

}  // namespace
}  // namespace drel
