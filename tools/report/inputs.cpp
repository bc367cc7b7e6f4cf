#include "inputs.h"

#include "path_flags.h"

namespace drel::report {

std::vector<std::string> input_paths(const TraceReport& report, const PathFilter& filter) {
  std::vector<std::string> out;
  for (const auto& [path, flags] : files_by_path(report))
    if (flags.read && !flags.written && filter.keeps(path)) out.push_back(path);
  return out;
}

int run_inputs(const Options& options, const std::vector<LoadedReport>& reports, Output& output) {
  output.out = path_lines(input_paths(reports.front().report, PathFilter(options)), options.nul);
  return 0;
}

}  // namespace drel::report
