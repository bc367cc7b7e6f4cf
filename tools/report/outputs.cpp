#include "outputs.h"

#include <sys/stat.h>

#include "path_filter.h"
#include "path_flags.h"

namespace drel::report {
namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

int run_outputs(const Options& options, const std::vector<LoadedReport>& reports, Output& output) {
  const PathFilter filter(options);
  std::vector<std::string> paths;
  for (const auto& [path, flags] : files_by_path(reports.front().report))
    if (flags.written && filter.keeps(path) && (options.all || exists(path))) paths.push_back(path);
  output.out = path_lines(paths, options.nul);
  return 0;
}

}  // namespace drel::report
