// Finding the command named by --command: a path as given, else the first PATH entry holding it.
#pragma once

#include <optional>
#include <string>

namespace drel {

// Reads PATH from the environment.
std::optional<std::string> resolve_command(const std::string& command);

// The same with PATH's value given (nullopt: PATH unset). Existence, following symbolic
// links, is the only test: a directory or a file without execute permission counts as found.
std::optional<std::string> resolve_command_in(const std::string& command,
                                              const std::optional<std::string>& path_var);

}  // namespace drel
