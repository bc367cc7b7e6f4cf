// Writing a whole buffer with write(2) alone: usable after fork and inside signal handlers.
#pragma once

#include <cstddef>

namespace drel {

// Writes every byte (short writes go on, EINTR is retried). Returns 0, or the errno of the
// write that failed; a write that takes nothing counts as EIO.
int write_all(int fd, const void* data, size_t size) noexcept;

// Writes a NUL-terminated text to standard error; nothing to be done if that fails.
void write_stderr(const char* text) noexcept;

}  // namespace drel
