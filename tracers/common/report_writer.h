// Storing a report: encoded completely in memory first, then written in one go, so a failed
// encoding never touches the output file.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/error.h"
#include "common/report.h"

namespace drel {

// Creates or truncates path (mode 0666 before the umask), writes every byte and closes it.
// Errors are the operating system's (Error::os); the caller names the path.
Result<void> write_report_bytes(const std::string& path, std::span<const uint8_t> bytes);

// Encodes, then writes. Errors: "failed to serialize report: <cause>" or
// "failed to write report to <path>: <cause>".
Result<void> write_report(const TraceReport& report, const std::string& path);

}  // namespace drel
