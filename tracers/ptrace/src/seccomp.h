// The seccomp filter that stops the tracee only on the system calls the tracer decodes.
#pragma once

#include <linux/filter.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "arch/syscall_table.h"

namespace drel {

// Jump offsets are 8 bits wide, which bounds the program: from the first comparison the last
// instruction is at most 252 ahead.
inline constexpr std::size_t kMaxFilterLength = 256;
// The longest list of numbers with no argument test.
inline constexpr std::size_t kMaxFilteredSyscalls = kMaxFilterLength - 5;

// Writes the program into `out`: the architecture check, one comparison per number, "allow", one
// block per argument test (load the argument, compare, "allow"), "trace". A number with an
// argument test stops only when the test passes (a match, or with match_allows no match).
// Returns the length, or 0 when the program would not fit in `out` or in 8-bit jumps, or a test
// names a number not in the list, has more values than it holds, or allows on a match of none.
// Allocates nothing, so it is safe between fork and exec.
std::size_t fill_seccomp_filter(std::span<const int64_t> numbers,
                                std::span<const ArgumentTest> tests, uint32_t arch,
                                std::span<sock_filter> out);

// Whether this process holds CAP_SYS_ADMIN, with which the kernel takes a filter without
// no-new-privileges. Asked in the tracer, before the fork.
bool may_filter_without_no_new_privs();

// Installs the filter, with no-new-privileges first unless the tracer may install it without
// (it holds CAP_SYS_ADMIN; `privileged`). Never fails: a refused step prints a warning line and
// the caller goes on to exec. Meant for the forked child: no allocation, write(2) only.
void install_seccomp_filter(std::span<const int64_t> numbers, std::span<const ArgumentTest> tests,
                            uint32_t arch, bool privileged);

}  // namespace drel
