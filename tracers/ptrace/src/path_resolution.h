// Turning a path argument of a traced call into the absolute path that is recorded.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <unordered_map>

namespace drel {

// Each task's working directory as text, read from /proc once and kept until the task
// successfully changes directory. "" means it could not be read.
using CwdCache = std::unordered_map<pid_t, std::string>;

// Absolute paths come back unchanged; relative ones are joined to the task's working directory
// and canonicalised when the file exists. Tasks below 1 get the path as given.
std::string resolve_path(CwdCache& cwd_cache, pid_t task, std::string_view path);

// As resolve_path, relative to the directory open on `dirfd` (AT_FDCWD: the working directory).
std::string resolve_path_at(CwdCache& cwd_cache, pid_t task, std::string_view path, int dirfd);

// The same, into `out` (its storage is reused).
void resolve_path_into(CwdCache& cwd_cache, pid_t task, std::string_view path, std::string& out);
void resolve_path_at_into(CwdCache& cwd_cache, pid_t task, std::string_view path, int dirfd,
                          std::string& out);

}  // namespace drel
