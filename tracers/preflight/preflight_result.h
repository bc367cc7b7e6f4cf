// The preflight verdict, its checks, and the two printed forms (text and one-line JSON).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/error.h"

namespace drel {

// What this program was built for, named in the "platform" and "architecture" checks.
#if defined(__linux__)
inline constexpr const char* kBuildPlatform = "linux";
#else
#error "drel-tracer is built for Linux only"
#endif
#if defined(__aarch64__)
inline constexpr const char* kBuildArchitecture = "aarch64";
#elif defined(__x86_64__)
inline constexpr const char* kBuildArchitecture = "x86_64";
#else
#error "drel-tracer is built for aarch64 and x86_64 only"
#endif

struct PreflightCheck {
  std::string name;
  bool ok = false;
  std::optional<std::string> detail;
};

struct PreflightResult {
  std::string backend;  // "preload" or "ptrace"
  bool ok = false;
  std::string summary;
  std::optional<std::string> command_checked;
  std::vector<std::string> warnings;  // nothing adds to it; printed as [] in JSON
  std::vector<PreflightCheck> checks;
};

// Text form, each line ended by a line feed.
std::string format_preflight_text(const PreflightResult& result);
// One JSON object on one line, ended by a line feed.
Result<std::string> format_preflight_json(const PreflightResult& result);
// Writes the text or JSON form to standard output.
Result<void> print_preflight_result(const PreflightResult& result, bool json);

}  // namespace drel
