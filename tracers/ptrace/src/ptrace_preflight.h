// The preflight of the ptrace backend; prints its verdict and says whether it passed.
#pragma once

#include <optional>
#include <string>

namespace drel {

bool run_ptrace_preflight(bool json, const std::optional<std::string>& command);

}  // namespace drel
