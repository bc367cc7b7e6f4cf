#include "exec_strings.h"

#include <sys/uio.h>

#include <cstring>

namespace drel {

namespace {

// The stack from the stack pointer up: the arrays, the auxiliary vector and, for nearly every
// program, the strings too, up to the top of the stack (a read stops where the stack ends).
constexpr std::size_t kFirstRead = 16 * 1024;
// The kernel's limit on one string (MAX_ARG_STRLEN): the last one ends within this.
constexpr std::size_t kLongestString = 32 * 4096;
// More than the kernel lets a command have with any stack limit worth considering.
constexpr std::size_t kMostStringBytes = 64 * 1024 * 1024;
constexpr std::size_t kMostPointers = kMostStringBytes / 2;

uint64_t load_word(std::string_view bytes, std::size_t offset, unsigned word_bytes) {
  // Both processors are little-endian; a 4-byte word fills the low half.
  uint64_t value = 0;
  std::memcpy(&value, bytes.data() + offset, word_bytes);
  return value;
}

// Bytes from `address` on, at most `len`, as far as they can be read (a read ends at the first
// page that cannot be); nullopt if not even the first byte can. The buffer only grows: clearing
// it for every exec would cost more than the read.
std::optional<std::string_view> read_available(pid_t task, uint64_t address, std::size_t len,
                                               std::string& buffer) {
  if (buffer.size() < len) buffer.resize(len);
  iovec local{buffer.data(), len};
  iovec remote{reinterpret_cast<void*>(address), len};
  const ssize_t n = ::process_vm_readv(task, &local, 1, &remote, 1, 0);
  if (n <= 0) return std::nullopt;
  return std::string_view(buffer.data(), static_cast<std::size_t>(n));
}

}  // namespace

std::optional<StackStrings> parse_stack_arrays(std::string_view stack, uint64_t stack_pointer,
                                               unsigned word_bytes,
                                               std::vector<uint64_t>& pointers) {
  pointers.clear();
  if (word_bytes != 4 && word_bytes != 8) return std::nullopt;
  const std::size_t words = stack.size() / word_bytes;
  if (words == 0) return std::nullopt;
  StackStrings layout;
  layout.argc = load_word(stack, 0, word_bytes);
  if (layout.argc > kMostPointers || layout.argc + 2 >= words) return std::nullopt;
  std::size_t i = 1;
  // argv, its NULL, then envp up to its NULL.
  for (; i <= layout.argc; ++i) pointers.push_back(load_word(stack, i * word_bytes, word_bytes));
  if (load_word(stack, i * word_bytes, word_bytes) != 0) return std::nullopt;
  for (++i;; ++i) {
    if (i >= words) return std::nullopt;
    const uint64_t p = load_word(stack, i * word_bytes, word_bytes);
    if (p == 0) break;
    pointers.push_back(p);
  }
  layout.envc = pointers.size() - layout.argc;
  if (pointers.empty()) {
    // No strings at all: nothing to check them against.
    layout.start = layout.last_string = stack_pointer + (i + 1) * word_bytes;
    return layout;
  }
  const uint64_t arrays_end = stack_pointer + (i + 1) * word_bytes;
  for (std::size_t k = 0; k < pointers.size(); ++k) {
    if (pointers[k] < (k == 0 ? arrays_end : pointers[k - 1] + 1)) return std::nullopt;
  }
  layout.start = pointers.front();
  layout.last_string = pointers.back();
  if (layout.last_string - layout.start > kMostStringBytes) return std::nullopt;
  return layout;
}

bool split_stack_strings(std::string_view strings, const StackStrings& layout,
                         const std::vector<uint64_t>& pointers, ExecStrings& out) {
  if (pointers.size() != layout.argc + layout.envc) return false;
  // Each string starts where the one before it ended; argv's end is where envp's begin.
  std::size_t at = 0;
  std::size_t args_end = 0;
  for (std::size_t k = 0; k < pointers.size(); ++k) {
    if (pointers[k] - layout.start != at || at >= strings.size()) return false;
    const void* nul = std::memchr(strings.data() + at, '\0', strings.size() - at);
    if (nul == nullptr) return false;
    at = static_cast<std::size_t>(static_cast<const char*>(nul) - strings.data()) + 1;
    if (k + 1 == layout.argc) args_end = at;
  }
  out.cmdline.assign(strings.substr(0, args_end));
  out.environ_text.assign(strings.substr(args_end, at - args_end));
  return true;
}

bool ExecStringsReader::read(pid_t task, uint64_t stack_pointer, unsigned word_bytes,
                             ExecStrings& out) {
  const std::optional<std::string_view> stack =
      read_available(task, stack_pointer, kFirstRead, stack_);
  if (!stack) return false;
  const std::optional<StackStrings> layout =
      parse_stack_arrays(*stack, stack_pointer, word_bytes, pointers_);
  if (!layout) return false;
  const uint64_t read_end = stack_pointer + stack->size();
  const std::size_t offset = static_cast<std::size_t>(layout->start - stack_pointer);
  // Usually all of it came with the arrays; if the last string may go on beyond, read them all.
  if (split_stack_strings(stack->substr(std::min(offset, stack->size())), *layout, pointers_,
                          out)) {
    return true;
  }
  if (layout->last_string + kLongestString <= read_end) return false;
  const std::size_t span =
      static_cast<std::size_t>(layout->last_string - layout->start) + kLongestString;
  const std::optional<std::string_view> strings =
      read_available(task, layout->start, span, strings_);
  return strings && split_stack_strings(*strings, *layout, pointers_, out);
}

}  // namespace drel
