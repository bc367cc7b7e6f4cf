// Where the interposition library is: DREL_PRELOAD_LIB, else beside the running executable.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace drel::launcher {

// The whole search, from the environment and /proc/self/exe.
std::optional<std::string> find_preload_library();

// The same search with its inputs given: the override's raw value (if set) and the path of
// the executable (if known).
std::optional<std::string> find_preload_library(const std::optional<std::string>& override_value,
                                                const std::optional<std::string>& exe_path);

// The two exact names, then the first directory entry that looks like a build of the library.
std::optional<std::string> find_preload_library_in(const std::string& dir);

// The name LD_PRELOAD gets for the library found: "<dir>/$LIB/<file>" when builds of both
// classes sit beside it under their loaders' "$LIB" directories (native_dir and i386_dir), so
// a 32-bit process loads its own twin instead of the loader rejecting the 64-bit file on its
// standard error; otherwise the path itself. A path that already names "$LIB" is kept.
std::string preload_entry(const std::string& library, const std::string& native_dir,
                          const std::string& i386_dir);

// The same with the directories this build found (none where no twin is built).
std::string preload_entry(const std::string& library);

// An entry as the loader of the launcher's own class reads it ("$LIB" expanded): the plain
// path a program known to run under that loader can be given.
std::string native_entry(const std::string& entry);

// The files the loaders may load for that entry: one per class under "$LIB" (native_dir,
// i386_dir), else the path itself.
std::vector<std::string> preloaded_files(const std::string& library, const std::string& native_dir,
                                         const std::string& i386_dir);

// The same with the directories this build found.
std::vector<std::string> preloaded_files(const std::string& library);

}  // namespace drel::launcher
