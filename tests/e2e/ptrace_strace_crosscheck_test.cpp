// drel-tracer against strace on the same workload: every regular file strace saw opened is in
// opened_files, every one it saw read is in read_files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "common/report.h"
#include "common/report_reader.h"
#include "support/process_runner.h"

namespace drel {
namespace {

constexpr const char* kTree = "/usr/include/linux";

std::string find_in_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/bin:/usr/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

bool is_regular(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

// What an strace log (-f -y) says was opened and read successfully, as the tracer names paths:
// an absolute argument as written, a relative one as the kernel resolved it.
struct StraceView {
  std::set<std::string> opened;
  std::set<std::string> read;
};

// "<text>" of "...<text>" at the end of a result, or "".
std::string annotation(const std::string& rest) {
  const auto open = rest.find('<');
  const auto close = rest.rfind('>');
  if (open == std::string::npos || close == std::string::npos || close < open) return {};
  return rest.substr(open + 1, close - open - 1);
}

// The first quoted string of an argument list.
std::string first_quoted(const std::string& args) {
  const auto open = args.find('"');
  if (open == std::string::npos) return {};
  const auto close = args.find('"', open + 1);
  return close == std::string::npos ? std::string() : args.substr(open + 1, close - open - 1);
}

StraceView parse_strace(const std::string& log) {
  StraceView view;
  std::map<std::pair<long, long>, std::string> fds;  // (pid, fd) -> path
  std::map<long, std::string> unfinished;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    long pid = 0;
    fields >> pid;
    std::string call;
    std::getline(fields >> std::ws, call);
    if (const auto u = call.find(" <unfinished ...>"); u != std::string::npos) {
      unfinished[pid] = call.substr(0, u);
      continue;
    }
    if (call.rfind("<... ", 0) == 0) {
      const auto resumed = call.find("resumed>");
      if (resumed == std::string::npos) continue;
      call = unfinished[pid] + call.substr(resumed + 8);
      unfinished.erase(pid);
    }
    const auto paren = call.find('(');
    const auto eq = call.rfind(") = ");
    if (paren == std::string::npos || eq == std::string::npos) continue;
    const std::string name = call.substr(0, paren);
    const std::string args = call.substr(paren + 1, eq - paren - 1);
    const std::string rest = call.substr(eq + 4);
    const long result = std::strtol(rest.c_str(), nullptr, 10);
    if (result < 0) continue;
    if (name == "openat" || name == "open") {
      const std::string arg = first_quoted(args);
      const std::string path = !arg.empty() && arg[0] == '/' ? arg : annotation(rest);
      fds[{pid, result}] = path;
      if (is_regular(path)) view.opened.insert(path);
    } else if (name == "read") {
      const long fd = std::strtol(args.c_str(), nullptr, 10);
      const auto it = fds.find({pid, fd});
      if (it != fds.end() && is_regular(it->second)) view.read.insert(it->second);
    }
  }
  return view;
}

TEST(PtraceStraceCrossCheck, EveryFileStraceSawIsInTheReport) {
  const std::string strace = find_in_path("strace");
  if (strace.empty()) GTEST_SKIP() << "strace is not installed";
  if (!std::filesystem::is_directory(kTree)) GTEST_SKIP() << kTree << " is missing";

  test::TempDir dir;
  const std::string workload =
      std::string("find ") + kTree + " -name '*.h' -exec cat {} + > /dev/null";
  const std::string log = dir / "strace.log";
  const test::RunResult s = test::run_program({strace, "-f", "-y", "-qq", "-s", "0", "-e",
                                               "trace=openat,open,read", "-o", log, "/bin/sh",
                                               "-c", workload});
  if (s.exit_status != 0) GTEST_SKIP() << "strace cannot trace here: " << s.err;

  const std::string out = dir / "report";
  const test::RunResult t =
      test::run_program({test::bin_path("drel-tracer"), out, "/bin/sh", "-c", workload});
  ASSERT_EQ(t.exit_status, 0) << t.err;
  Result<TraceReport> report = read_report_file(out);
  ASSERT_TRUE(report) << report.error().text();

  const StraceView seen = parse_strace(test::read_file(log));
  // The workload reads hundreds of headers; a parse that found none proves nothing.
  ASSERT_GT(seen.read.size(), 100u);
  ASSERT_GE(seen.opened.size(), seen.read.size());

  const std::set<std::string> opened(report->opened_files.begin(), report->opened_files.end());
  const std::set<std::string> read(report->read_files.begin(), report->read_files.end());
  for (const auto& path : seen.opened) EXPECT_TRUE(opened.contains(path)) << "opened " << path;
  for (const auto& path : seen.read) EXPECT_TRUE(read.contains(path)) << "read " << path;
}

TEST(PtraceStraceCrossCheck, AlreadyTracedTracerCannotTraceItsChild) {
  // Under strace -f the child's PTRACE_TRACEME is refused: it says so and the run fails.
  const std::string strace = find_in_path("strace");
  if (strace.empty()) GTEST_SKIP() << "strace is not installed";
  test::TempDir dir;
  const test::RunResult probe =
      test::run_program({strace, "-qq", "-e", "trace=none", "-o", dir / "probe.log", "/bin/true"});
  if (probe.exit_status != 0) GTEST_SKIP() << "strace cannot trace here: " << probe.err;
  const test::RunResult r =
      test::run_program({strace, "-f", "-qq", "-e", "trace=none", "-o", dir / "strace.log",
                         test::bin_path("drel-tracer"), dir / "report", "/bin/true"});
  EXPECT_EQ(r.err, "ptrace traceme failed: EPERM\nUnexpected initial wait status\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_FALSE(test::file_exists(dir / "report"));
}

}  // namespace
}  // namespace drel
