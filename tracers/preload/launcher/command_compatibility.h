// Whether the interposition library can see into a command at all.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace drel::launcher {

// Why the library cannot see into the program at path ("statically linked", "set-user-ID",
// "not an ELF executable or script", or a class of program that none of the library files
// the loaders may load is built for), or nothing when it can. A "#!" script is judged by its
// interpreter. Library files that cannot be read are left out; with none left, any class
// passes.
std::optional<std::string> command_incompatibility(const std::string& path,
                                                   const std::vector<std::string>& libraries);

}  // namespace drel::launcher
