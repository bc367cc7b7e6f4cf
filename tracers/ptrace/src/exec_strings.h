// A program's argument and environment strings, read at its exec stop from the stack the kernel
// has just built for it: argc, the argv and envp pointer arrays, then (above them) the strings,
// one after another. One or two memory reads instead of opening /proc/<pid>/cmdline and
// environ; nothing of the program has run yet, so the bytes are the ones /proc would show.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drel {

// The strings as /proc/<pid>/cmdline and environ give them at the exec stop: each one ended by
// its NUL.
struct ExecStrings {
  std::string cmdline;
  std::string environ_text;
};

// Where the strings lie, as the pointer arrays at the start of the stack tell.
struct StackStrings {
  uint64_t start = 0;         // the first string (the lowest address)
  uint64_t last_string = 0;   // the start of the last one
  std::size_t argc = 0;
  std::size_t envc = 0;
};

// Reads the pointer arrays from `stack`, the bytes at `stack_pointer` and above, with pointers of
// `word_bytes` (8, or 4 for a 32-bit program). nullopt when the arrays do not fit in the bytes,
// or an array is not followed by its NULL, or the pointers are not in ascending order above the
// arrays. The pointers go to `pointers` (argv's, then envp's).
std::optional<StackStrings> parse_stack_arrays(std::string_view stack, uint64_t stack_pointer,
                                               unsigned word_bytes, std::vector<uint64_t>& pointers);

// Cuts `strings` (the bytes from layout.start on) into the two texts, checking that every
// pointer names the string that follows the one before it. False if one does not, or the last
// string has no NUL within `strings`.
bool split_stack_strings(std::string_view strings, const StackStrings& layout,
                         const std::vector<uint64_t>& pointers, ExecStrings& out);

// Reads the strings of a task stopped at its exec stop, whose stack pointer and pointer size the
// registers gave. False if anything is not as the kernel lays it out: the caller reads /proc.
// The buffers are kept from call to call.
class ExecStringsReader {
 public:
  bool read(pid_t task, uint64_t stack_pointer, unsigned word_bytes, ExecStrings& out);

 private:
  std::string stack_;
  std::string strings_;
  std::vector<uint64_t> pointers_;
};

}  // namespace drel
