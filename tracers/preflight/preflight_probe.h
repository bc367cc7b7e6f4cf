// The probe workload: write a payload to a file, read it back, rename it away and back.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace drel {

inline constexpr std::string_view kPreloadProbePayload = "drel-preflight-probe";
inline constexpr std::string_view kPtraceProbePayload = "drel-ptrace-preflight";

Result<void> run_preflight_probe(const std::string& path, std::string_view payload);

// The name the probe renames its file to and back from: the last component's extension
// replaced by "renamed", or ".renamed" appended when it has none.
std::string probe_second_name(const std::string& path);

}  // namespace drel
