// Turning a path argument of a traced call into the absolute path that is recorded.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <optional>

namespace drel {

// A task's working directory as text, read from /proc on first use and kept until the task
// successfully changes directory (reset to nullopt). "" means it could not be read.
using WorkingDirectory = std::optional<std::string>;

// Into `out` (its storage is reused): absolute paths unchanged; relative ones joined to the
// directory open on `dirfd` (AT_FDCWD: the working directory) and canonicalised when the file
// exists. Tasks below 1 get the path as given.
void resolve_path_at_into(WorkingDirectory& cwd, pid_t task, std::string_view path, int dirfd,
                          std::string& out);

}  // namespace drel
