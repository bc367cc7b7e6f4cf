// drel-report deps: a make depfile saying that the targets depend on what the run read.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "subcommand.h"

namespace drel::report {

// The name as make reads it in a rule: "\ " for a space, "\#", "$$", "\:", and "\" before
// the wildcard characters * ? [ ]. None for a name make cannot hold in a rule: a control
// character such as a newline, or a backslash (make reads it by what follows it); as a target
// also a "%", which would make the rule a pattern rule (as a prerequisite it is plain).
enum class MakeRole { kTarget, kPrerequisite };
std::optional<std::string> make_escape(std::string_view name, MakeRole role);

// "TARGETS: \" and one continuation line per input, then an empty rule per input (one make
// can name as a target) so that a build whose input has since gone is rebuilt instead of
// stopping at "No rule to make target". Left out: an input that is one of the targets; a directory
// (the run listed it, but make would compare its time, which changes whenever an entry is added,
// the depfile's own included); and paths make cannot name (each named on standard error).
int run_deps(const Options& options, const std::vector<LoadedReport>& reports, Output& output);

}  // namespace drel::report
