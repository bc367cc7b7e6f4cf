#include "seccomp.h"

#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <array>

#include "common/fd_write.h"

namespace drel {
namespace {

constexpr uint32_t kArchOffset = offsetof(seccomp_data, arch);
constexpr uint32_t kNrOffset = offsetof(seccomp_data, nr);
static_assert(kArchOffset == 4 && kNrOffset == 0);

sock_filter insn(uint16_t code, uint8_t jt, uint8_t jf, uint32_t k) {
  sock_filter f{};
  f.code = code;
  f.jt = jt;
  f.jf = jf;
  f.k = k;
  return f;
}

void write_line(const char* text) {
  // Nothing to do if stderr is gone; the exec goes ahead regardless.
  write_stderr(text);
}

}  // namespace

std::size_t fill_seccomp_filter(std::span<const int64_t> numbers, uint32_t arch,
                                std::span<sock_filter> out) {
  const std::size_t n = numbers.size();
  if (n > kMaxFilteredSyscalls || out.size() < n + 5) return 0;
  out[0] = insn(BPF_LD | BPF_W | BPF_ABS, 0, 0, kArchOffset);
  // Another calling convention (aarch32, i386, ...) jumps straight to "allow".
  out[1] = insn(BPF_JMP | BPF_JEQ | BPF_K, 0, static_cast<uint8_t>(n + 1), arch);
  out[2] = insn(BPF_LD | BPF_W | BPF_ABS, 0, 0, kNrOffset);
  for (std::size_t i = 0; i < n; ++i) {
    out[3 + i] = insn(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint8_t>(n - i), 0,
                      static_cast<uint32_t>(static_cast<uint64_t>(numbers[i]) & 0xFFFFFFFFu));
  }
  out[n + 3] = insn(BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW);
  out[n + 4] = insn(BPF_RET | BPF_K, 0, 0, SECCOMP_RET_TRACE);
  return n + 5;
}

void install_seccomp_filter(std::span<const int64_t> numbers, uint32_t arch) {
  std::array<sock_filter, kMaxFilterLength> program{};
  const std::size_t len = fill_seccomp_filter(numbers, arch, program);
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    write_line("Warning: prctl(PR_SET_NO_NEW_PRIVS) failed\n");
    return;
  }
  sock_fprog prog{};
  prog.len = static_cast<unsigned short>(len);
  prog.filter = program.data();
  // A list too long to encode leaves len at 0, which the kernel refuses like any bad program.
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) != 0) {
    write_line("Warning: prctl(PR_SET_SECCOMP) failed\n");
  }
}

}  // namespace drel
