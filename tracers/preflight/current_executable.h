// The running program's own executable, with the reason when it cannot be found.
#pragma once

#include <string>

#include "common/error.h"

namespace drel {

// The raw bytes of the /proc/self/exe link. A missing link gives "no /proc/self/exe
// available. Is /proc mounted?"; any other failure the operating system's error text.
Result<std::string> current_executable_path();

}  // namespace drel
