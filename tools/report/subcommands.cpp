// The table of drel-report's subcommands: what each takes and which function runs it.
#include "deps.h"
#include "diff.h"
#include "inputs.h"
#include "json.h"
#include "outputs.h"
#include "show.h"
#include "subcommand.h"
#include "tree.h"

namespace drel::report {

const std::vector<Subcommand>& subcommands() {
  static const std::vector<Subcommand> table{
      {"show", "[--wide] [filters] <report>",
       "a summary: times, the process tree, the files with read/written marks",
       kWideOption | kFilterOptions, 1, 1, run_show},
      {"json", "<report>", "the whole report as JSON (for jq)", 0, 1, 1, run_json},
      {"inputs", "[-0] [filters] <report>",
       "the files the run read and did not write, one per line", kNulOption | kFilterOptions, 1, 1,
       run_inputs},
      {"outputs", "[-0] [--all] [filters] <report>",
       "the files the run wrote that exist now, one per line",
       kNulOption | kAllOption | kFilterOptions, 1, 1, run_outputs},
      {"deps", "--target NAME [--target NAME]... [filters] <report>",
       "a make depfile: the targets depend on the run's inputs", kTargetOption | kFilterOptions, 1,
       1, run_deps},
      {"diff", "[filters] <report-a> <report-b>",
       "what one report has that the other does not; exit 0 same, 1 different, 2 trouble",
       kFilterOptions, 2, 2, run_diff},
      {"tree", "[--files] [filters] <report>",
       "the process tree; with --files the files each process touched",
       kFilesOption | kFilterOptions, 1, 1, run_tree},
  };
  return table;
}

}  // namespace drel::report
