// One whole tracing run of drel-tracer: launch, the wait-and-resume loop over every traced task,
// and the report.
#pragma once

#include <string>
#include <vector>

namespace drel {

// Runs `command` (at least one element, executed byte for byte) under the tracer and writes the
// report to `output_path`. Returns the command's exit code, 128 + signal number if a signal
// ended it, 0 if its end was never seen, or 1 if it could not be started or the report could not
// be written. Prints its own messages on standard error.
int run_trace(const std::vector<std::string>& command, const std::string& output_path);

}  // namespace drel
