// The launcher's memory of a trace run: which process touched which path from which thread,
// and, at the end, the trace report.
#pragma once

#include <cstdint>
#include <optional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/proc_info.h"
#include "common/report.h"

namespace drel::launcher {

// Lets maps keyed by std::string be searched with a string_view, without a copy. Deliberately
// not noexcept: libstdc++ then keeps each node's hash code, so a probe compares codes instead of
// hashing every key in the bucket again (as it does for a noexcept hash it deems fast).
struct TransparentStringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
};

class PreloadAggregator {
 public:
  // command is the launcher's command vector as given (bytes; the report shows it as UTF-8);
  // launcher_env is the environment the root was started with, which its record carries.
  PreloadAggregator(std::vector<std::string> command, EnvMap launcher_env, uint32_t root_pid);

  // Read and OpenRead events.
  void record_read_access(uint32_t pid, uint32_t thread_id, std::string_view path);
  // Write and OpenWrite events.
  void record_write_access(uint32_t pid, uint32_t thread_id, std::string_view path);
  // A successful rename (Rename events, in the order the renames happened): both names are
  // written by thread_id; what the run did under the old name so far (and under every path
  // inside it, for a directory) is carried onto the new name, while the old name keeps its
  // record. With exchange the two names swapped their files, so each carries onto the other.
  void record_rename(uint32_t pid, uint32_t thread_id, std::string_view from,
                     std::string_view to, bool exchange);
  // Records a process from /proc once; later calls for the same pid do nothing.
  void ensure_process(uint32_t pid);

  // What a process said about itself while it ran (a Process event): cmdline and environ are
  // NUL-separated bytes as in /proc, has_areas false when it could not tell them.
  struct Description {
    std::optional<uint32_t> parent_pid;
    bool exec = false;  // sent by a freshly executed image, not by a forked copy
    bool has_areas = false;
    std::string_view cmdline;
    std::string_view environ;
  };
  // Command and environment come from the latest executed image's description, else a forked
  // copy's, else /proc; the parent from a forked copy's description (exact), else the first one
  // known. The root's record stays as the launcher started it.
  void record_process_description(uint32_t pid, const Description& description);

  void count_dropped_event() { ++events_dropped_; }
  // Events a process told it could not send.
  void count_dropped_events(uint64_t n) { events_dropped_ += n; }
  uint64_t events_dropped() const { return events_dropped_; }
  // Distinct paths seen so far.
  size_t path_count() const { return paths_.size(); }

  // Called once, after the final drain; consumes the state.
  TraceReport build_preload_report(double start_time, double end_time) &&;

 private:
  // Per path: how it was touched and by which threads (sorted, each once).
  struct PathState {
    bool read = false;
    bool written = false;
    std::vector<uint32_t> read_threads;
    std::vector<uint32_t> written_threads;
  };
  using Carried = std::vector<std::pair<std::string, PathState>>;

  PathState& path_state(std::string_view path);
  // Copies of the records at from and inside it, each under its name below to.
  void carry(std::string_view from, std::string_view to, Carried& out) const;

  uint32_t root_pid_;
  std::vector<std::string> command_;
  EnvMap launcher_env_;
  // How a value of a record was learnt; a better witness replaces a worse one.
  enum class Witness : uint8_t { Proc, ExecutedImage, ForkedCopy };
  struct KnownProcess {
    ProcessRecord record;
    Witness command_from = Witness::Proc;
    Witness parent_from = Witness::Proc;
  };
  static int command_rank(Witness w);
  static int parent_rank(Witness w);

  std::unordered_map<uint32_t, KnownProcess> processes_;
  EnvironCache environ_cache_;
  std::unordered_map<std::string, PathState, TransparentStringHash, std::equal_to<>> paths_;
  // The keys of paths_ in byte order with their records (the map's nodes never move), so that
  // the paths inside a renamed directory are one range.
  std::map<std::string_view, PathState*> ordered_paths_;
  uint64_t events_dropped_ = 0;
};

}  // namespace drel::launcher
