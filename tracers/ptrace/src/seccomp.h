// The seccomp filter that stops the tracee only on the system calls the tracer decodes.
#pragma once

#include <linux/filter.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace drel {

// Jump offsets are 8 bits wide, which bounds the list.
inline constexpr std::size_t kMaxFilteredSyscalls = 254;
inline constexpr std::size_t kMaxFilterLength = kMaxFilteredSyscalls + 5;

// Writes the n + 5 instruction program into `out`; returns its length, or 0 when the list is
// too long or `out` too small. Allocates nothing, so it is safe between fork and exec.
std::size_t fill_seccomp_filter(std::span<const int64_t> numbers, uint32_t arch,
                                std::span<sock_filter> out);

// Sets no-new-privileges and installs the filter. Never fails: a refused step prints a warning
// line and the caller goes on to exec. Meant for the forked child: no allocation, write(2) only.
void install_seccomp_filter(std::span<const int64_t> numbers, uint32_t arch);

}  // namespace drel
