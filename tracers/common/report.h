// The trace report both tracers fill: processes, files, derived path lists, times, mode.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace drel {

inline constexpr uint32_t REPORT_VERSION = 1;

using EnvMap = std::unordered_map<std::string, std::string>;

struct ProcessRecord {
  uint32_t pid = 0;
  std::optional<uint32_t> parent_pid;  // absent: root of the trace, or unknown
  std::vector<std::string> command;
  EnvMap env;

  bool operator==(const ProcessRecord&) const = default;
};

struct FileRecord {
  std::string path;
  bool read = false;
  bool written = false;
  std::optional<std::vector<uint32_t>> read_threads;
  std::optional<std::vector<uint32_t>> written_threads;
  std::optional<std::vector<uint64_t>> chunks_read;
  std::optional<std::vector<uint64_t>> chunks_written;

  bool operator==(const FileRecord&) const = default;
};

struct PathLists {
  std::vector<std::string> opened_files;
  std::vector<std::string> read_files;
  std::vector<std::string> written_files;
};

// Fields in encoding order; the order is part of the file format.
struct TraceReport {
  uint32_t version = REPORT_VERSION;
  std::optional<uint64_t> chunk_size;
  std::vector<ProcessRecord> processes;
  std::vector<FileRecord> files;
  std::vector<std::string> opened_files;
  std::vector<std::string> read_files;
  std::vector<std::string> written_files;
  EnvMap env_accessed;
  double start_time = 0.0;
  double end_time = 0.0;
  std::string tracer_mode;
  std::optional<uint64_t> events_dropped;

  bool operator==(const TraceReport&) const = default;
};

// The normalising constructor: version 1, processes stably sorted by unsigned pid.
TraceReport make_report(std::string tracer_mode, std::optional<uint64_t> chunk_size,
                        std::vector<ProcessRecord> processes, std::vector<FileRecord> files,
                        PathLists paths, EnvMap env_accessed, double start_time,
                        double end_time, std::optional<uint64_t> events_dropped);

PathLists collect_path_lists(const std::vector<FileRecord>& files);

// Wall clock as seconds since the epoch; 0.0 before it.
double now_epoch_seconds();

}  // namespace drel
