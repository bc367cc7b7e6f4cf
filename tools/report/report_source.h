// Loading the reports named on the command line: a path, or "-" for standard input.
#pragma once

#include <string>

#include "common/error.h"
#include "subcommand.h"

namespace drel::report {

// The name messages use for an operand ("standard input" for "-").
std::string operand_name(const std::string& operand);

// Errors are the operating system's for reading, "not a valid trace report: <reason>" for
// content.
Result<LoadedReport> load_report(const std::string& operand);

}  // namespace drel::report
