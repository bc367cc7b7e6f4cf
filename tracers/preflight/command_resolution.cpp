#include "preflight/command_resolution.h"

#include <sys/stat.h>

#include <cstdlib>

namespace drel {

namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// An empty entry stands for the bare command, looked up relative to the current directory.
std::string join_entry(const std::string& entry, const std::string& command) {
  if (entry.empty()) return command;
  if (entry.back() == '/') return entry + command;
  return entry + "/" + command;
}

}  // namespace

std::optional<std::string> resolve_command_in(const std::string& command,
                                              const std::optional<std::string>& path_var) {
  if (command.find('/') != std::string::npos) {
    if (exists(command)) return command;
    return std::nullopt;
  }
  if (!path_var) return std::nullopt;
  size_t start = 0;
  for (;;) {
    const size_t colon = path_var->find(':', start);
    const size_t end = colon == std::string::npos ? path_var->size() : colon;
    const std::string candidate = join_entry(path_var->substr(start, end - start), command);
    if (exists(candidate)) return candidate;
    if (colon == std::string::npos) return std::nullopt;
    start = colon + 1;
  }
}

std::optional<std::string> resolve_command(const std::string& command) {
  const char* path = std::getenv("PATH");
  return resolve_command_in(command, path ? std::optional<std::string>(path) : std::nullopt);
}

}  // namespace drel
