// drel-floor-tracer: it must stop exactly on the filtered calls in every task and pass the
// command's ending through, or the benchmark floor it provides means nothing.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "support/process_runner.h"

namespace drel {
namespace {

using test::bin_path;
using test::fixture_path;
using test::RunResult;

struct Calls {
  long reads = 0;
  long child_reads = 0;
  long thread_reads = 0;
  long getpids = 0;
  long dups = 0;
};

std::vector<std::string> floor_command(const Calls& c, int code = 0, int sig = 0,
                                       bool registers = false) {
  std::vector<std::string> out = {bin_path("drel-floor-tracer"), "--count"};
  if (registers) out.push_back("--registers");
  for (const std::string& arg :
       {fixture_path("floor_calls"), std::to_string(c.reads), std::to_string(c.child_reads),
        std::to_string(c.thread_reads), std::to_string(c.getpids), std::to_string(code),
        std::to_string(sig), std::to_string(c.dups)}) {
    out.push_back(arg);
  }
  return out;
}

struct StopCount {
  long long seccomp = 0;
  long long exits = 0;  // only counted with --registers
};

std::optional<StopCount> stop_count(const std::string& err) {
  const std::string marker = "drel-floor-tracer: ";
  const auto at = err.rfind(marker);
  if (at == std::string::npos) return std::nullopt;
  StopCount n;
  char rest[32] = {};
  const char* text = err.c_str() + at + marker.size();
  if (std::sscanf(text, "%lld %31s", &n.seccomp, rest) != 2) return std::nullopt;
  if (std::string(rest) != "seccomp") return std::nullopt;
  const char* exits = std::strstr(text, "stops, ");
  if (exits != nullptr) n.exits = std::atoll(exits + 7);
  return n;
}

// Two runs that differ only in how many filtered calls are made where: start-up calls cancel
// out, and the difference is exactly the extra calls.
struct StopCase {
  const char* name;
  Calls fewer;
  Calls more;
  long long extra_stops;
  bool registers = false;
  long long extra_exit_stops = 0;
};

void PrintTo(const StopCase& c, std::ostream* os) {
  *os << c.name;
}

class FloorStops : public ::testing::TestWithParam<StopCase> {};

TEST_P(FloorStops, OneStopPerFilteredCallInEveryTask) {
  const StopCase& c = GetParam();
  const RunResult fewer = test::run_program(floor_command(c.fewer, 0, 0, c.registers));
  const RunResult more = test::run_program(floor_command(c.more, 0, 0, c.registers));
  ASSERT_EQ(fewer.exit_status, 0) << fewer.err;
  ASSERT_EQ(more.exit_status, 0) << more.err;
  const auto a = stop_count(fewer.err);
  const auto b = stop_count(more.err);
  ASSERT_TRUE(a.has_value()) << fewer.err;
  ASSERT_TRUE(b.has_value()) << more.err;
  EXPECT_EQ(b->seccomp - a->seccomp, c.extra_stops);
  EXPECT_EQ(b->exits - a->exits, c.extra_exit_stops);
}

INSTANTIATE_TEST_SUITE_P(
    Tasks, FloorStops,
    ::testing::Values(StopCase{"main", {10, 0, 0, 0}, {510, 0, 0, 0}, 500},
                      StopCase{"forked_child", {0, 1, 0, 0}, {0, 301, 0, 0}, 300},
                      StopCase{"thread", {0, 0, 1, 0}, {0, 0, 201, 0}, 200},
                      StopCase{"unfiltered_calls", {0, 0, 0, 0}, {0, 0, 0, 1000}, 0},
                      StopCase{"all_tasks", {5, 5, 5, 5}, {105, 55, 25, 505}, 170},
                      // Each dup and close stops; only the dup, which makes a descriptor, exits.
                      StopCase{"dups_reading_registers", {0, 0, 0, 0, 0}, {0, 0, 0, 0, 100},
                               200, true, 100},
                      StopCase{"all_tasks_reading_registers", {5, 5, 5, 5, 0},
                               {105, 55, 25, 505, 0}, 170, true, 0}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

struct EndingCase {
  const char* name;
  int code;
  int sig;
  int expected;
};

void PrintTo(const EndingCase& c, std::ostream* os) {
  *os << c.name;
}

class FloorEnding : public ::testing::TestWithParam<EndingCase> {};

TEST_P(FloorEnding, ExitsAsTheCommandEnded) {
  const EndingCase& c = GetParam();
  const RunResult r = test::run_program(floor_command({3, 2, 2, 0}, c.code, c.sig));
  EXPECT_EQ(r.exit_status, c.expected) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Endings, FloorEnding,
    ::testing::Values(EndingCase{"success", 0, 0, 0}, EndingCase{"exit_code", 3, 0, 3},
                      EndingCase{"terminated", 0, SIGTERM, 128 + SIGTERM},
                      EndingCase{"killed", 0, SIGKILL, 128 + SIGKILL}),
    [](const ::testing::TestParamInfo<EndingCase>& info) { return std::string(info.param.name); });

TEST(FloorTracer, MissingCommandIsAUsageError) {
  const RunResult r = test::run_program({bin_path("drel-floor-tracer"), "--count"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_NE(r.err.find("usage: drel-floor-tracer"), std::string::npos) << r.err;
}

TEST(FloorTracer, UnknownProgramFailsWithoutHanging) {
  const RunResult r =
      test::run_program({bin_path("drel-floor-tracer"), "/nonexistent/drel-no-such-program"});
  EXPECT_EQ(r.exit_status, 127);
  EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace drel
