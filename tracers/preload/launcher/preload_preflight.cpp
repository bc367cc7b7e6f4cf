#include "preload/launcher/preload_preflight.h"

#include "preflight/preflight.h"
#include "preload/launcher/command_compatibility.h"
#include "preload/launcher/library_lookup.h"
#include "preload/launcher/trace_run.h"

namespace drel::launcher {

bool run_preload_preflight(bool json, const std::optional<std::string>& command) {
  PreflightBackend backend;
  backend.name = "preload";
  backend.program = "drel-tracer-preload";
  backend.find_library = [] { return find_preload_library(); };
  backend.reports_command_compatibility = true;
  // Judged against the files the trace's LD_PRELOAD entry reaches, one per class built.
  backend.command_incompatibility = [](const std::string& command_path) {
    const std::optional<std::string> library = find_preload_library();
    return command_incompatibility(command_path,
                                   library ? preloaded_files(*library) : std::vector<std::string>{});
  };
  // The workload is this program in probe mode: its own exported wrappers report the accesses.
  backend.probe_command = self_probe_command;
  backend.trace = [](const std::string& report_path, const std::vector<std::string>& cmd) {
    return run_preload_trace(report_path, cmd);
  };
  return run_preflight(backend, json, command);
}

}  // namespace drel::launcher
