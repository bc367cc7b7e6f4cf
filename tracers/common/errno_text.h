// Errno values as the ptrace tracer prints them: symbolic name and the kernel's description.
#pragma once

#include <string>

namespace drel {

// "EAGAIN"; for a number without a name, the number itself.
std::string errno_name(int e);
// The kernel's traditional text ("Try again"); the C library's text for numbers the kernel
// headers do not describe, else "Unknown error N".
std::string errno_description(int e);
// errno_name + ": " + errno_description.
std::string errno_message(int e);

}  // namespace drel
