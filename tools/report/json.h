// drel-report json: the whole report as JSON, for jq and other programs.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/error.h"
#include "subcommand.h"

namespace drel::report {

// Indented JSON, keys and entries in the order of the file. The bytes must be a valid report:
// it is decoded first and its error returned.
Result<std::string> render_json(std::span<const uint8_t> bytes);

int run_json(const Options& options, const std::vector<LoadedReport>& reports, Output& output);

}  // namespace drel::report
