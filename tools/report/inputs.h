// drel-report inputs: the files the run read and did not write, one path per line.
#pragma once

#include <string>
#include <vector>

#include "path_filter.h"
#include "subcommand.h"

namespace drel::report {

// In byte order; a file the run wrote as well as read is its own product, not an input.
std::vector<std::string> input_paths(const TraceReport& report, const PathFilter& filter);

int run_inputs(const Options& options, const std::vector<LoadedReport>& reports, Output& output);

}  // namespace drel::report
