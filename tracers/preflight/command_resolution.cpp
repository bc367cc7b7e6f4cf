#include "preflight/command_resolution.h"

#include <cstdlib>

#include "common/file_system.h"
#include "common/path_search.h"

namespace drel {

std::optional<std::string> resolve_command_in(const std::string& command,
                                              const std::optional<std::string>& path_var) {
  if (command.find('/') != std::string::npos) {
    if (path_exists(command)) return command;
    return std::nullopt;
  }
  if (!path_var) return std::nullopt;
  for (std::string& candidate : path_search_candidates(command, *path_var)) {
    if (path_exists(candidate)) return std::move(candidate);
  }
  return std::nullopt;
}

std::optional<std::string> resolve_command(const std::string& command) {
  const char* path = std::getenv("PATH");
  return resolve_command_in(command, path ? std::optional<std::string>(path) : std::nullopt);
}

}  // namespace drel
