// The preflight procedure shared by both programs; each backend describes only its own steps.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "preflight/preflight_result.h"

namespace drel {

// Runs the backend's trace of `command`, writing the report to `report_path`; yields the
// command's exit status, or an error when the trace itself could not run.
using PreflightTrace = std::function<Result<int>(const std::string& report_path,
                                                 const std::vector<std::string>& command)>;
// The probe workload's argument vector, from the raw executable and probe-file paths.
using ProbeCommandBuilder = std::function<std::vector<std::string>(
    const std::string& executable, const std::string& probe_path)>;

struct PreflightBackend {
  std::string name;     // "preload" or "ptrace"
  std::string program;  // prefix of the one internal-error line on standard error
  // The library step; left empty by a backend that has none.
  std::function<std::optional<std::string>()> find_library;
  bool reports_command_compatibility = false;
  // Why the backend cannot see into the command found (the check's detail when it fails);
  // left empty, every command is compatible.
  std::function<std::optional<std::string>(const std::string& command_path)> command_incompatibility;
  // The launcher step; left empty, the /proc/self/exe link is read.
  std::function<Result<std::string>()> find_executable;
  ProbeCommandBuilder probe_command;
  PreflightTrace trace;
};

// The program itself in probe mode: executable, "--preflight-probe", probe path.
std::vector<std::string> self_probe_command(const std::string& executable,
                                            const std::string& probe_path);
// /bin/sh writing the ptrace payload to the probe path and testing that it is not empty.
std::vector<std::string> shell_probe_command(const std::string& executable,
                                             const std::string& probe_path);
// `text` as the inside of a single-quoted shell word: each ' becomes '\'' .
std::string single_quoted_body(const std::string& text);

struct ProbeVerdict {
  std::string summary;
  bool ok = false;
};

// Traces the probe workload into two temporary files, appends "probe_run" to `checks`,
// removes both files and yields the summary and verdict.
ProbeVerdict run_probe_check(const PreflightBackend& backend, std::vector<PreflightCheck>& checks,
                             const std::string& executable);

// Every step up to the first failing one, without printing.
PreflightResult build_preflight_result(const PreflightBackend& backend,
                                       const std::optional<std::string>& command);

// Builds the result, prints it (text or JSON) and returns the verdict.
bool run_preflight(const PreflightBackend& backend, bool json,
                   const std::optional<std::string>& command);

}  // namespace drel
