// Whether the interposition library can see into a command at all.
#pragma once

#include <optional>
#include <string>

namespace drel::launcher {

// Why the library cannot see into the program at path ("statically linked", "set-user-ID",
// "not an ELF executable or script"), or nothing when it can. A "#!" script is judged by its
// interpreter.
std::optional<std::string> command_incompatibility(const std::string& path);

}  // namespace drel::launcher
