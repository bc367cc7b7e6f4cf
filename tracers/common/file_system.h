// Small file-system questions and whole-file reads, shared by the programs and their checks.
#pragma once

#include <string>

#include "common/error.h"

namespace drel {

// Whether stat succeeds: symbolic links are followed, and any kind of object counts.
bool path_exists(const std::string& path);

// The whole file as bytes. Errors are the operating system's (Error::os); the caller names the
// path. Plain open and read, so in drel-tracer-preload the program's own wrappers see them.
Result<std::string> read_whole_file(const std::string& path);

// What is left to read on a descriptor (a pipe on standard input), up to its end.
Result<std::string> read_to_end(int fd);

// The target of a symbolic link, whole however long. Errors are the operating system's, and
// errno is left as readlink set it.
Result<std::string> read_link(const std::string& path);

// dir + "/" + name without a doubled slash; an empty dir gives the name alone.
std::string join_path(const std::string& dir, const std::string& name);

}  // namespace drel
