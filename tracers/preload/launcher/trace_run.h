// The tracing mode of drel-tracer-preload: run a command with the interposition library
// preloaded, gather its events, write the report, give back the command's exit status.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/report.h"
#include "preload/launcher/aggregator.h"

namespace drel::launcher {

// What a run builds up: the aggregation state and the report made from it. Whoever ends the
// process right after the run may leave it unfreed: freeing thousands of paths one by one costs
// milliseconds the kernel spends far less on at exit.
struct RunMemory {
  std::optional<PreloadAggregator> aggregator;
  TraceReport report;
};

// Runs the command and writes the report; the run's memory stays in `memory`.
Result<int> run_preload_trace(const std::string& output_path,
                              const std::vector<std::string>& command, RunMemory& memory);
// The same, freeing the memory before it returns.
Result<int> run_preload_trace(const std::string& output_path,
                              const std::vector<std::string>& command);

// A fresh listening socket's path: "/tmp/.drel-<pid>-<nanoseconds>.sock".
std::string new_socket_path(pid_t pid, long nanoseconds);

// The child's environment: env (NAME=value entries) with LD_PRELOAD (the library first, named
// as preloaded, then any usable old value), DREL_PRELOAD_LIB (library) and
// DREL_PRELOAD_TRACE_SOCK set or replaced, and ASAN_OPTIONS with verify_asan_link_order=0 in
// front of what it held. preloaded is library, or its plain path for a command known to run
// under the launcher's own loader.
std::vector<std::string> child_environment(const char* const* env, const std::string& library,
                                           const std::string& preloaded,
                                           const std::string& socket_path);

}  // namespace drel::launcher
