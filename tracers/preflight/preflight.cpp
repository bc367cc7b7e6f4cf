#include "preflight/preflight.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

#include "common/file_system.h"
#include "common/proc_info.h"
#include "common/utf8.h"
#include "preflight/command_resolution.h"
#include "preflight/preflight_probe.h"
#include "preflight/temp_path.h"

namespace drel {

namespace {

// Removes the probe file, then the report file, whatever happened; a file that was never
// made is simply not there.
class TemporaryFiles {
 public:
  TemporaryFiles(std::string report, std::string probe)
      : report_(std::move(report)), probe_(std::move(probe)) {}
  TemporaryFiles(const TemporaryFiles&) = delete;
  TemporaryFiles& operator=(const TemporaryFiles&) = delete;
  ~TemporaryFiles() {
    ::unlink(probe_.c_str());
    ::unlink(report_.c_str());
  }
  const std::string& report() const { return report_; }
  const std::string& probe() const { return probe_; }

 private:
  std::string report_;
  std::string probe_;
};

PreflightCheck passing(std::string name, std::string detail) {
  return {std::move(name), true, std::move(detail)};
}

PreflightCheck failing(std::string name, std::string detail) {
  return {std::move(name), false, std::move(detail)};
}

}  // namespace

std::vector<std::string> self_probe_command(const std::string& executable,
                                            const std::string& probe_path) {
  return {lossy_utf8(executable), "--preflight-probe", lossy_utf8(probe_path)};
}

std::string single_quoted_body(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";  // close the quote, an escaped quote, reopen
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> shell_probe_command(const std::string& /*executable*/,
                                             const std::string& probe_path) {
  const std::string quoted = single_quoted_body(lossy_utf8(probe_path));
  return {"/bin/sh", "-c",
          "printf '" + std::string(kPtraceProbePayload) + "' > '" + quoted + "' && test -s '" +
              quoted + "'"};
}

ProbeVerdict run_probe_check(const PreflightBackend& backend, std::vector<PreflightCheck>& checks,
                             const std::string& executable) {
  std::string report = preflight_temp_path(backend.name + "-report", ".msgpack");
  std::string probe = preflight_temp_path(backend.name + "-probe", ".txt");
  const TemporaryFiles files(std::move(report), std::move(probe));
  const std::vector<std::string> command = backend.probe_command(executable, files.probe());

  // The trace runs take their output path as text; a converted path would name another file.
  if (!is_valid_utf8(files.report())) {
    std::string why = "temporary report path is not valid UTF-8: " + lossy_utf8(files.report());
    checks.push_back(failing("probe_run", why));
    return {backend.name + " probe failed: " + why, false};
  }

  Result<int> status = backend.trace(files.report(), command);
  if (!status) {
    std::string why = status.error().text();
    checks.push_back(failing("probe_run", why));
    return {backend.name + " probe failed: " + why, false};
  }
  if (*status == 0 && path_exists(files.report())) {
    checks.push_back(passing("probe_run", "report produced"));
    return {backend.name + " preflight succeeded", true};
  }
  const std::string code = std::to_string(*status);
  checks.push_back(failing("probe_run", "probe exit code " + code));
  return {backend.name + " probe failed with exit code " + code, false};
}

PreflightResult build_preflight_result(const PreflightBackend& backend,
                                       const std::optional<std::string>& command) {
  PreflightResult result;
  result.backend = backend.name;
  std::vector<PreflightCheck>& checks = result.checks;
  auto fail_with = [&](std::string summary) {
    result.ok = false;
    result.summary = std::move(summary);
  };

  checks.push_back(passing("platform", kBuildPlatform));
  checks.push_back(passing("architecture", kBuildArchitecture));

  if (backend.find_library) {
    const std::optional<std::string> library = backend.find_library();
    if (!library) {
      checks.push_back(failing("library", "preload library not found"));
      fail_with("preload library not found");
      return result;
    }
    checks.push_back(passing("library", lossy_utf8(*library)));
  }

  if (command) {
    const std::optional<std::string> found = resolve_command(*command);
    if (!found) {
      const std::string why = "command not found: " + lossy_utf8(*command);
      result.command_checked = lossy_utf8(*command);
      checks.push_back(failing("command", why));
      fail_with(why);
      return result;
    }
    result.command_checked = lossy_utf8(*found);
    checks.push_back(passing("command", *result.command_checked));
    if (backend.reports_command_compatibility) {
      const std::optional<std::string> why =
          backend.command_incompatibility ? backend.command_incompatibility(*found) : std::nullopt;
      if (why) {
        checks.push_back(failing("command_compatibility", *why));
        fail_with("command is not compatible: " + *why);
        return result;
      }
      checks.push_back(passing("command_compatibility", "compatible"));
    }
  }

  Result<std::string> executable =
      backend.find_executable ? backend.find_executable() : current_executable_path();
  if (!executable) {
    const std::string why = executable.error().text();
    checks.push_back(failing("launcher", why));
    fail_with("failed to resolve current executable: " + why);
    return result;
  }
  checks.push_back(passing("launcher", lossy_utf8(*executable)));

  ProbeVerdict verdict = run_probe_check(backend, checks, *executable);
  result.ok = verdict.ok;
  result.summary = std::move(verdict.summary);
  return result;
}

bool run_preflight(const PreflightBackend& backend, bool json,
                   const std::optional<std::string>& command) {
  const PreflightResult result = build_preflight_result(backend, command);
  if (Result<void> printed = print_preflight_result(result, json); !printed) {
    std::fprintf(stderr, "%s: %s\n", backend.program.c_str(), printed.error().text().c_str());
    return false;
  }
  return result.ok;
}

}  // namespace drel
