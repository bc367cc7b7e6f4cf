// The preflight of the preload backend; prints its verdict and says whether it passed.
#pragma once

#include <optional>
#include <string>

namespace drel::launcher {

bool run_preload_preflight(bool json, const std::optional<std::string>& command);

}  // namespace drel::launcher
