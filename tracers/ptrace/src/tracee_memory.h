// Reading NUL-terminated path strings out of a stopped tracee.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace drel {

// The longest path string accepted; one byte more and the string is refused.
inline constexpr std::size_t kMaxTraceeString = 4096;

class TraceeMemory {
 public:
  virtual ~TraceeMemory();
  // The string into `out`, byte for byte (paths need not be UTF-8), reusing its storage; false
  // (and `out` unspecified) for address 0, unreadable memory or more than kMaxTraceeString
  // bytes. Never a partial string.
  virtual bool read_string_into(pid_t task, uint64_t address, std::string& out) = 0;
  // The 8 bytes at `address` (a field of a structure the call points to).
  virtual bool read_u64(pid_t task, uint64_t address, uint64_t& out) = 0;
};

// Reads through the kernel: process_vm_readv one page at a time, or aligned PTRACE_PEEKDATA
// words. Neither touches a byte beyond the page that holds the terminating NUL, so a string
// that ends just before an unmapped page is still read.
class PtraceMemory final : public TraceeMemory {
 public:
  enum class Method { Auto, VmRead, PeekData };
  explicit PtraceMemory(Method method = Method::Auto) : method_(method) {}

  bool read_string_into(pid_t task, uint64_t address, std::string& out) override;
  bool read_u64(pid_t task, uint64_t address, uint64_t& out) override;

 private:
  // Bytes [address, address + len) into out; false if any of them cannot be read.
  bool read_vm(pid_t task, uint64_t address, std::size_t len, char* out);
  bool read_words(pid_t task, uint64_t address, std::size_t len, char* out);
  // The string's bytes in buf_, checked; nullopt for no string.
  std::optional<std::string_view> read_view(pid_t task, uint64_t address);

  Method method_;
  std::array<char, kMaxTraceeString + 1> buf_{};
};

}  // namespace drel
