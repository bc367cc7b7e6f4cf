// drel-report tree: the process tree (pid and shell-quoted command), and with --files the
// files each process touched, where the report can tell: a thread id that is a recorded
// process's pid (its main thread; the ptrace backend records every thread as a process).
// Files touched only by threads the report does not tie to a process come last.
#pragma once

#include "subcommand.h"

namespace drel::report {

std::string render_tree(const TraceReport& report, const Options& options);

int run_tree(const Options& options, const std::vector<LoadedReport>& reports, Output& output);

}  // namespace drel::report
