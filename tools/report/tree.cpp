#include "tree.h"

#include <algorithm>
#include <map>

#include "path_filter.h"
#include "path_flags.h"
#include "process_tree.h"
#include "text_line.h"

namespace drel::report {
namespace {

bool has(const std::vector<uint32_t>& ids, uint32_t id) {
  return std::binary_search(ids.begin(), ids.end(), id);
}

std::vector<uint32_t> all_threads(const PathFlags& flags) {
  std::vector<uint32_t> ids = flags.read_threads;
  ids.insert(ids.end(), flags.written_threads.begin(), flags.written_threads.end());
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

struct Touch {
  std::string path;
  bool read;
  bool written;
};

}  // namespace

std::string render_tree(const TraceReport& report, const Options& options) {
  const ProcessIndex index(report.processes);
  // Per process record: the files its pid touched. Files no recorded pid touched: apart.
  std::vector<std::vector<Touch>> touched(report.processes.size());
  std::vector<std::pair<std::string, PathFlags>> untied;
  if (options.files) {
    const PathFilter filter(options);
    for (const auto& [path, flags] : files_by_path(report)) {
      if (!filter.keeps(path)) continue;
      const std::vector<uint32_t> ids = all_threads(flags);
      bool tied = false;
      for (uint32_t id : ids) {
        const auto at = index.find(id);
        if (!at) continue;
        touched[*at].push_back({path, has(flags.read_threads, id), has(flags.written_threads, id)});
        tied = true;
      }
      if (!tied) untied.emplace_back(path, flags);
    }
  }
  std::string out;
  for (const auto& e : process_tree(report.processes)) {
    const auto& p = report.processes[e.index];
    const std::string indent(e.depth * 2, ' ');
    out += indent + std::to_string(p.pid) + " " + command_text(p) + "\n";
    for (const auto& t : touched[e.index])
      out += indent + "    " + marks(t.read, t.written) + " " + printable(t.path) + "\n";
  }
  if (!untied.empty()) {
    out += "\nfiles no recorded process is known to have touched:\n";
    for (const auto& [path, flags] : untied) {
      out += "  " + marks(flags.read, flags.written) + " " + printable(path);
      const std::vector<uint32_t> ids = all_threads(flags);
      if (!ids.empty()) {
        out += "  (threads";
        for (uint32_t id : ids) out += " " + std::to_string(id);
        out += ")";
      }
      out += "\n";
    }
  }
  return out;
}

int run_tree(const Options& options, const std::vector<LoadedReport>& reports, Output& output) {
  output.out = render_tree(reports.front().report, options);
  return 0;
}

}  // namespace drel::report
