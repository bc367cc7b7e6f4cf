// What every subcommand of drel-report is given and how it is described to the parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/report.h"

namespace drel::report {

// The options a subcommand may accept, as bits.
enum OptionBit : unsigned {
  kFilterOptions = 1u << 0,  // --under, --exclude, --no-system
  kNulOption = 1u << 1,      // -0
  kTargetOption = 1u << 2,   // --target (deps)
  kFilesOption = 1u << 3,    // --files (tree)
  kWideOption = 1u << 4,     // --wide (show)
  kAllOption = 1u << 5,      // --all (outputs)
};

struct Options {
  std::vector<std::string> under;  // as given; PathFilter resolves them
  std::vector<std::string> exclude;
  bool no_system = false;
  bool nul = false;
  std::vector<std::string> targets;
  bool files = false;
  bool wide = false;
  bool all = false;
  size_t width = 0;  // show: longest line in characters; 0 = no limit (set by main, not parsed)
};

struct LoadedReport {
  std::string name;  // as messages name it: the path, or "standard input"
  std::vector<uint8_t> bytes;
  TraceReport report;
};

struct Output {
  std::string out;
  std::string err;
};

// Runs one subcommand on its loaded reports; returns the exit status.
using RunSubcommand = int (*)(const Options&, const std::vector<LoadedReport>&, Output&);

struct Subcommand {
  const char* name;
  const char* synopsis;  // after "drel-report NAME "
  const char* summary;   // one line for the help
  unsigned options;      // OptionBit set it accepts
  size_t reports;        // report operands it takes
  int error_status;      // exit status for a report that cannot be read (diff: 2)
  RunSubcommand run;
};

// Every subcommand, in the order the help lists them.
const std::vector<Subcommand>& subcommands();

}  // namespace drel::report
