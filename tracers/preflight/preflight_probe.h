// The probe workload: write a payload to a file, read it back, rename it away and back.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace drel {

inline constexpr std::string_view kPreloadProbePayload = "drel-preflight-probe";
inline constexpr std::string_view kPtraceProbePayload = "drel-ptrace-preflight";

Result<void> run_preflight_probe(const std::string& path, std::string_view payload);

}  // namespace drel
