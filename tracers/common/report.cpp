#include "report.h"

#include <time.h>

#include <algorithm>

namespace drel {

TraceReport make_report(std::string tracer_mode, std::optional<uint64_t> chunk_size,
                        std::vector<ProcessRecord> processes, std::vector<FileRecord> files,
                        PathLists paths, EnvMap env_accessed, double start_time,
                        double end_time, std::optional<uint64_t> events_dropped) {
  std::stable_sort(processes.begin(), processes.end(),
                   [](const ProcessRecord& a, const ProcessRecord& b) { return a.pid < b.pid; });
  TraceReport r;
  r.version = REPORT_VERSION;
  r.chunk_size = chunk_size;
  r.processes = std::move(processes);
  r.files = std::move(files);
  r.opened_files = std::move(paths.opened_files);
  r.read_files = std::move(paths.read_files);
  r.written_files = std::move(paths.written_files);
  r.env_accessed = std::move(env_accessed);
  r.start_time = start_time;
  r.end_time = end_time;
  r.tracer_mode = std::move(tracer_mode);
  r.events_dropped = events_dropped;
  return r;
}

PathLists collect_path_lists(const std::vector<FileRecord>& files) {
  PathLists lists;
  const auto read = std::count_if(files.begin(), files.end(), [](const auto& f) { return f.read; });
  const auto written =
      std::count_if(files.begin(), files.end(), [](const auto& f) { return f.written; });
  lists.opened_files.reserve(files.size());
  lists.read_files.reserve(static_cast<size_t>(read));
  lists.written_files.reserve(static_cast<size_t>(written));
  for (const auto& f : files) lists.opened_files.push_back(f.path);
  for (const auto& f : files)
    if (f.read) lists.read_files.push_back(f.path);
  for (const auto& f : files)
    if (f.written) lists.written_files.push_back(f.path);
  return lists;
}

double now_epoch_seconds() {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return 0.0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace drel
