#include "ptrace_preflight.h"

#include "preflight/preflight.h"
#include "trace_run.h"

namespace drel {

bool run_ptrace_preflight(bool json, const std::optional<std::string>& command) {
  PreflightBackend backend;
  backend.name = "ptrace";
  backend.program = "drel-tracer";
  backend.probe_command = shell_probe_command;
  // run_trace reports its own failures and folds them into the exit status.
  backend.trace = [](const std::string& report_path,
                     const std::vector<std::string>& cmd) -> Result<int> {
    return run_trace(cmd, report_path);
  };
  return run_preflight(backend, json, command);
}

}  // namespace drel
