#include "seccomp.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>

#include "common/fd_write.h"

namespace drel {
namespace {

constexpr uint32_t kArchOffset = offsetof(seccomp_data, arch);
constexpr uint32_t kNrOffset = offsetof(seccomp_data, nr);
constexpr uint32_t kArgsOffset = offsetof(seccomp_data, args);
static_assert(kArchOffset == 4 && kNrOffset == 0 && kArgsOffset == 16);
// The values the table's argument tests spell out, the same on both processors.
static_assert(F_DUPFD == 0 && F_DUPFD_CLOEXEC == 1030 && CLONE_UNTRACED == 0x00800000 &&
              MAP_ANONYMOUS == 0x20);

sock_filter insn(uint16_t code, uint8_t jt, uint8_t jf, uint32_t k) {
  sock_filter f{};
  f.code = code;
  f.jt = jt;
  f.jf = jf;
  f.k = k;
  return f;
}

// A test's block: load the argument's low word, one jump per value, allow.
std::size_t block_length(const ArgumentTest& t) {
  return 2 + t.count;
}

const ArgumentTest* test_for(std::span<const ArgumentTest> tests, int64_t number) {
  for (const auto& t : tests) {
    if (t.number == number) return &t;
  }
  return nullptr;
}

}  // namespace

std::size_t fill_seccomp_filter(std::span<const int64_t> numbers,
                                std::span<const ArgumentTest> tests, uint32_t arch,
                                std::span<sock_filter> out) {
  const std::size_t n = numbers.size();
  std::size_t len = n + 5;
  for (const auto& t : tests) {
    // With no value to match, a match_allows block would allow what it should stop.
    if (t.count > t.values.size() || (t.match_allows && t.count == 0)) return 0;
    len += block_length(t);
  }
  if (len > kMaxFilterLength || out.size() < len) return 0;
  const std::size_t allow = n + 3;
  const std::size_t trace = len - 1;
  out[0] = insn(BPF_LD | BPF_W | BPF_ABS, 0, 0, kArchOffset);
  // Another calling convention (aarch32, i386, ...) jumps straight to "allow".
  out[1] = insn(BPF_JMP | BPF_JEQ | BPF_K, 0, static_cast<uint8_t>(allow - 2), arch);
  out[2] = insn(BPF_LD | BPF_W | BPF_ABS, 0, 0, kNrOffset);
  out[allow] = insn(BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW);
  out[trace] = insn(BPF_RET | BPF_K, 0, 0, SECCOMP_RET_TRACE);
  // The blocks, in the order of the tests.
  std::size_t at = allow + 1;
  for (const auto& t : tests) {
    const std::size_t block_allow = at + 1 + t.count;
    out[at] = insn(BPF_LD | BPF_W | BPF_ABS, 0, 0, kArgsOffset + 8 * t.arg);
    for (std::size_t v = 0; v < t.count; ++v) {
      const std::size_t here = at + 1 + v;
      const uint16_t op = t.any_bit ? BPF_JSET : BPF_JEQ;
      // A match jumps to trace, or with match_allows to the block's "allow"; then only a miss
      // on the last value reaches trace.
      uint8_t jt = static_cast<uint8_t>(trace - here - 1);
      uint8_t jf = 0;
      if (t.match_allows) {
        jt = static_cast<uint8_t>(block_allow - here - 1);
        if (v + 1 == t.count) jf = static_cast<uint8_t>(trace - here - 1);
      }
      out[here] = insn(BPF_JMP | op | BPF_K, jt, jf, t.values[v]);
    }
    out[block_allow] = insn(BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW);
    at += block_length(t);
  }
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t target = trace;
    if (const ArgumentTest* t = test_for(tests, numbers[i])) {
      target = allow + 1;
      for (const auto& u : tests) {
        if (&u == t) break;
        target += block_length(u);
      }
    }
    out[3 + i] = insn(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint8_t>(target - (3 + i) - 1), 0,
                      static_cast<uint32_t>(static_cast<uint64_t>(numbers[i]) & 0xFFFFFFFFu));
  }
  for (const auto& t : tests) {
    bool listed = false;
    for (int64_t nr : numbers) listed = listed || nr == t.number;
    if (!listed) return 0;
  }
  return len;
}

bool may_filter_without_no_new_privs() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective & CAP_TO_MASK(CAP_SYS_ADMIN)) != 0;
}

void install_seccomp_filter(std::span<const int64_t> numbers, std::span<const ArgumentTest> tests,
                            uint32_t arch, bool privileged) {
  std::array<sock_filter, kMaxFilterLength> program{};
  const std::size_t len = fill_seccomp_filter(numbers, tests, arch, program);
  sock_fprog prog{};
  prog.len = static_cast<unsigned short>(len);
  prog.filter = program.data();
  // With CAP_SYS_ADMIN the kernel takes the filter without no-new-privileges, so set-user-ID
  // programs and file capabilities keep working under the tracer.
  if (privileged && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) == 0) return;
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    write_stderr("Warning: prctl(PR_SET_NO_NEW_PRIVS) failed\n");
    return;
  }
  // A program that cannot be encoded leaves len at 0, which the kernel refuses like any bad one.
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) != 0) {
    write_stderr("Warning: prctl(PR_SET_SECCOMP) failed\n");
  }
}

}  // namespace drel
