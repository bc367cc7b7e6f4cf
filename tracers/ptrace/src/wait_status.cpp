#include "ptrace/src/wait_status.h"

namespace drel {

namespace {

constexpr int kSyscallTrap = 0x85;  // SIGTRAP with the bit PTRACE_O_TRACESYSGOOD adds
constexpr int kStopMarker = 0x7F;

bool is_signal(int sig) { return sig >= 1 && sig <= kMaxSignal; }

}  // namespace

WaitStatus classify_wait_status(int status) {
  const auto word = static_cast<uint32_t>(status);
  if (word == 0xFFFF) return {WaitKind::Continued, 0};

  const int low = static_cast<int>(word & 0x7F);
  if (low == 0) return {WaitKind::Exited, static_cast<int>((word >> 8) & 0xFF)};

  if ((word & 0xFF) == kStopMarker) {
    const int sig = static_cast<int>((word >> 8) & 0xFF);
    const int event = static_cast<int>(word >> 16);
    if (sig == kSyscallTrap) return {WaitKind::SyscallStop, 0};
    if (!is_signal(sig)) return {WaitKind::Undecodable, 0};
    if (event != 0) return {WaitKind::EventStop, event};
    return {WaitKind::Stopped, sig};
  }

  if (is_signal(low)) return {WaitKind::Signaled, low};
  return {WaitKind::Undecodable, 0};
}

}  // namespace drel
