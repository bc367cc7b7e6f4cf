// The tracing mode of drel-tracer-preload: run a command with the interposition library
// preloaded, gather its events, write the report, give back the command's exit status.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"

namespace drel::launcher {

Result<int> run_preload_trace(const std::string& output_path,
                              const std::vector<std::string>& command);

// A fresh listening socket's path: "/tmp/.drel-<pid>-<nanoseconds>.sock".
std::string new_socket_path(pid_t pid, long nanoseconds);

// The child's environment: env (NAME=value entries) with LD_PRELOAD (the library first, then
// any usable old value), DREL_PRELOAD_LIB and DREL_PRELOAD_TRACE_SOCK set or replaced, and
// ASAN_OPTIONS with verify_asan_link_order=0 in front of what it held.
std::vector<std::string> child_environment(const char* const* env, const std::string& library,
                                           const std::string& socket_path);

}  // namespace drel::launcher
