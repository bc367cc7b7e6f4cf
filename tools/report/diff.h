// drel-report diff: what one report has that the other does not, like diff(1) on two
// listings. Files by path with their marks (a path in both with other flags gives a "<" and
// a ">" line), processes by shell-quoted command (a command that ran more often in one report
// is listed with how many more times). Times, environments and pids are not compared.
// Exit 0 when they agree, 1 when they differ (2, trouble, is main's).
#pragma once

#include "subcommand.h"

namespace drel::report {

int run_diff(const Options& options, const std::vector<LoadedReport>& reports, Output& output);

}  // namespace drel::report
