// The text summary and the JSON form of a report.
#include "report_view.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/report_encoder.h"

namespace drel {
namespace {

struct TimeCase {
  double seconds;
  const char* text;
};

class FormatUtc : public ::testing::TestWithParam<TimeCase> {};

TEST_P(FormatUtc, Text) { EXPECT_EQ(format_utc(GetParam().seconds), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Times, FormatUtc,
    ::testing::Values(TimeCase{0.0, "1970-01-01T00:00:00.000000Z"},
                      TimeCase{1.5, "1970-01-01T00:00:01.500000Z"},
                      TimeCase{951782400.25, "2000-02-29T00:00:00.250000Z"},
                      TimeCase{1796675537.0000004, "2026-12-07T20:32:17.000000Z"},
                      TimeCase{59.9999997, "1970-01-01T00:01:00.000000Z"},
                      TimeCase{-1.5, "-1.5 (seconds since the epoch)"},
                      TimeCase{1e300, "1e+300 (seconds since the epoch)"}));

TraceReport sample() {
  std::vector<ProcessRecord> procs{
      {100, std::nullopt, {"make", "all"}, {{"SECRET", "hidden"}}},
      {102, 101, {"cc1", "a\nb.c"}, {}},
      {101, 100, {"cc", "-c", "a.c"}, {}},
      {103, 100, {"ld"}, {}},
      {200, 999, {"orphan"}, {}},
      {300, 301, {"loop-a"}, {}},
      {301, 300, {"loop-b"}, {}},
  };
  std::vector<FileRecord> files{
      {"/src/a.c", true, false, std::vector<uint32_t>{102}, std::nullopt, std::nullopt, std::nullopt},
      {"/out/a.o", true, true, std::vector<uint32_t>{103}, std::vector<uint32_t>{101, 102},
       std::nullopt, std::nullopt},
      {"/out/app", false, true, std::nullopt, std::vector<uint32_t>{103}, std::nullopt,
       std::nullopt},
      {"/dev/null", false, false, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
  };
  auto lists = collect_path_lists(files);
  return make_report("preload", std::nullopt, procs, files, lists, {}, 1796675537.5, 1796675539.75,
                     4);
}

TEST(RenderText, WholeSummary) {
  const std::string expected =
      "tracer mode:    preload\n"
      "start:          2026-12-07T20:32:17.500000Z\n"
      "end:            2026-12-07T20:32:19.750000Z\n"
      "duration:       2.250000 s\n"
      "events dropped: 4\n"
      "\n"
      "processes:\n"
      "  100 make all\n"
      "    101 cc -c a.c\n"
      "      102 cc1 a\\nb.c\n"
      "    103 ld\n"
      "  200 orphan\n"
      "  300 loop-a\n"
      "    301 loop-b\n"
      "\n"
      "files:\n"
      "  r- /src/a.c  (read by 102)\n"
      "  rw /out/a.o  (read by 103; written by 101, 102)\n"
      "  -w /out/app  (written by 103)\n"
      "  -- /dev/null\n"
      "\n"
      "7 processes, 4 files, 2 read, 2 written\n";
  EXPECT_EQ(render_text(sample()), expected);
}

TEST(RenderText, PtraceReportHasNoDroppedLine) {
  const auto r = make_report("ptrace", std::nullopt, {}, {}, {}, {}, 0.0, 0.0, std::nullopt);
  const std::string text = render_text(r);
  EXPECT_EQ(text.find("events dropped"), std::string::npos);
  EXPECT_NE(text.find("tracer mode:    ptrace\n"), std::string::npos);
  EXPECT_NE(text.find("\n0 processes, 0 files, 0 read, 0 written\n"), std::string::npos);
}

TEST(RenderJson, KeysInFileOrderAndValuesKept) {
  auto bytes = encode_report(sample());
  ASSERT_TRUE(bytes.ok());
  auto json = render_json(*bytes);
  ASSERT_TRUE(json.ok()) << json.error().text();
  const auto j = nlohmann::ordered_json::parse(*json);
  std::vector<std::string> keys;
  for (const auto& item : j.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"version", "processes", "files", "opened_files",
                                            "read_files", "written_files", "start_time",
                                            "end_time", "tracer_mode", "events_dropped"}));
  EXPECT_EQ(j["processes"][0]["pid"], 100);
  EXPECT_TRUE(j["processes"][0]["parent_pid"].is_null());
  EXPECT_EQ(j["processes"][0]["env"]["SECRET"], "hidden");
  EXPECT_EQ(j["processes"][2]["command"][1], "a\nb.c");
  EXPECT_EQ(j["files"][1]["written_threads"], nlohmann::ordered_json::parse("[101, 102]"));
  EXPECT_FALSE(j["files"][3].contains("read_threads"));
  EXPECT_EQ(j["start_time"].get<double>(), 1796675537.5);
  EXPECT_EQ(j["events_dropped"], 4);
  EXPECT_EQ(json->substr(0, 18), "{\n  \"version\": 1,\n");
}

TEST(RenderJson, InvalidBytesGiveTheDecodeError) {
  const std::vector<uint8_t> bytes{0x81, 0xa1, 'x', 0xc0};
  auto json = render_json(bytes);
  ASSERT_FALSE(json.ok());
  EXPECT_EQ(json.error().text(), "report: unknown key \"x\"");
}

}  // namespace
}  // namespace drel
