// drel-report outputs: the files the run wrote that still exist, one path per line.
#pragma once

#include "subcommand.h"

namespace drel::report {

// A temporary file that was written and then renamed or removed was written too, but is no
// product: a path is listed only if something exists there now (checked where drel-report
// runs, without following a final link), unless --all.
int run_outputs(const Options& options, const std::vector<LoadedReport>& reports, Output& output);

}  // namespace drel::report
