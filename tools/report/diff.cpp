#include "diff.h"

#include <map>

#include "path_filter.h"
#include "path_flags.h"
#include "process_tree.h"
#include "text_line.h"

namespace drel::report {
namespace {

std::map<std::string, size_t> commands(const TraceReport& report) {
  std::map<std::string, size_t> out;
  for (const auto& p : report.processes) ++out[command_text(p)];
  return out;
}

std::string file_line(char side, const std::string& path, const PathFlags& f) {
  return std::string(1, side) + " " + marks(f.read, f.written) + " " + printable(path) + "\n";
}

std::string file_differences(const TraceReport& a, const TraceReport& b, const PathFilter& filter) {
  const auto fa = files_by_path(a);
  const auto fb = files_by_path(b);
  std::string out;
  auto ia = fa.begin();
  auto ib = fb.begin();
  while (ia != fa.end() || ib != fb.end()) {
    if (ib == fb.end() || (ia != fa.end() && ia->first < ib->first)) {
      if (filter.keeps(ia->first)) out += file_line('<', ia->first, ia->second);
      ++ia;
    } else if (ia == fa.end() || ib->first < ia->first) {
      if (filter.keeps(ib->first)) out += file_line('>', ib->first, ib->second);
      ++ib;
    } else {
      const bool same =
          ia->second.read == ib->second.read && ia->second.written == ib->second.written;
      if (!same && filter.keeps(ia->first)) {
        out += file_line('<', ia->first, ia->second);
        out += file_line('>', ib->first, ib->second);
      }
      ++ia;
      ++ib;
    }
  }
  return out;
}

std::string process_line(char side, const std::string& command, size_t more) {
  std::string out = std::string(1, side) + " " + command;
  if (more > 1) out += "  (" + std::to_string(more) + " times)";
  return out + "\n";
}

std::string process_differences(const TraceReport& a, const TraceReport& b) {
  const auto cb = commands(b);
  auto ca = commands(a);
  for (const auto& [command, n] : cb) ca.try_emplace(command, 0);
  std::string out;
  for (const auto& [command, in_a] : ca) {
    const auto it = cb.find(command);
    const size_t in_b = it == cb.end() ? 0 : it->second;
    if (in_a > in_b) out += process_line('<', command, in_a - in_b);
    if (in_b > in_a) out += process_line('>', command, in_b - in_a);
  }
  return out;
}

}  // namespace

int run_diff(const Options& options, const std::vector<LoadedReport>& reports, Output& output) {
  const auto& a = reports[0];
  const auto& b = reports[1];
  const std::string files = file_differences(a.report, b.report, PathFilter(options));
  const std::string processes = process_differences(a.report, b.report);
  if (files.empty() && processes.empty()) return 0;
  output.out = "< " + printable(a.name) + " (" + printable(a.report.tracer_mode) + ")\n";
  output.out += "> " + printable(b.name) + " (" + printable(b.report.tracer_mode) + ")\n";
  if (!files.empty()) output.out += "files:\n" + files;
  if (!processes.empty()) output.out += "processes:\n" + processes;
  return 1;
}

}  // namespace drel::report
