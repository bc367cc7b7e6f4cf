// Classification of the status word that waitpid returns for a traced task.
#pragma once

#include <cstdint>

namespace drel {

enum class WaitKind {
  Exited,       // value: exit code
  Signaled,     // value: signal that ended the task
  SyscallStop,  // a system-call stop (SIGTRAP | 0x80)
  EventStop,    // value: the ptrace event number
  Stopped,      // value: the stop signal
  Continued,
  Undecodable,
};

struct WaitStatus {
  WaitKind kind = WaitKind::Undecodable;
  int value = 0;

  bool operator==(const WaitStatus&) const = default;
};

// Highest signal number the kernel delivers (SIGRTMAX); real-time signals 32 and up are classified
// like the classic ones so that such a stop is resumed and such a death is counted.
inline constexpr int kMaxSignal = 64;

WaitStatus classify_wait_status(int status);

}  // namespace drel
