// drel-report's command line: one getopt_long parser for every subcommand.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "subcommand.h"

namespace drel::report {

struct Invocation {
  const Subcommand* subcommand = nullptr;
  Options options;
  std::vector<std::string> operands;  // report paths; "-" is standard input
};

// Either an invocation to run, or what to print and the status to exit with (help, version,
// usage errors).
struct ParseOutcome {
  std::optional<Invocation> invocation;
  int status = 0;
  std::string out;
  std::string err;
};

ParseOutcome parse_command_line(int argc, char** argv);

const Subcommand* find_subcommand(std::string_view name);

std::string general_usage();
std::string subcommand_usage(const Subcommand& subcommand);

}  // namespace drel::report
