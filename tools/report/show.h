// drel-report show: a summary for people.
#pragma once

#include <string>

#include "subcommand.h"

namespace drel::report {

// "2026-12-07T20:12:17.123456Z"; a time no calendar can show (negative, not finite, past
// year 9999) as plain seconds.
std::string format_utc(double epoch_seconds);

// Mode, times, the process tree with shell-quoted commands, the files (filtered) with a legend
// for their marks and the processes of the threads that touched them, totals. Lines longer
// than options.width characters are cut with "…" (0: never).
std::string render_text(const TraceReport& report, const Options& options);

int run_show(const Options& options, const std::vector<LoadedReport>& reports, Output& output);

}  // namespace drel::report
