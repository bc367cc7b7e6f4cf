#include "arch/registers.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/uio.h>

namespace drel {

std::optional<SyscallRegs> read_syscall_regs(pid_t task) {
  NativeRegs regs{};
  iovec iov{&regs, sizeof regs};
  if (ptrace(PTRACE_GETREGSET, task, reinterpret_cast<void*>(NT_PRSTATUS), &iov) != 0) {
    return std::nullopt;
  }
  if (iov.iov_len < sizeof regs) return std::nullopt;
  SyscallRegs out;
  out.nr = native_regs::number(regs);
  for (int i = 0; i < 6; ++i) out.args[i] = native_regs::argument(regs, i);
  out.result = native_regs::result(regs);
  return out;
}

std::optional<TracedCall> normalize_call(uint64_t nr, const uint64_t args[6]) {
  const std::optional<SyscallKind> kind = syscall_kind(nr);
  if (!kind) return std::nullopt;
  TracedCall call;
  call.kind = neutral_kind(*kind);
  const auto at_fdcwd = static_cast<uint64_t>(static_cast<int64_t>(AT_FDCWD));
  switch (*kind) {
    case SyscallKind::Open:  // open(path, flags, mode)
      call.args[0] = at_fdcwd;
      call.args[1] = args[0];
      call.args[2] = args[1];
      call.args[3] = args[2];
      break;
    case SyscallKind::Creat:  // creat(path, mode)
      call.args[0] = at_fdcwd;
      call.args[1] = args[0];
      call.args[2] = O_CREAT | O_WRONLY | O_TRUNC;
      call.args[3] = args[1];
      break;
    case SyscallKind::Dup2:  // dup2(old, new)
      call.args[0] = args[0];
      call.args[1] = args[1];
      call.args[2] = 0;
      break;
    case SyscallKind::Rename:  // rename(old, new)
      call.args[0] = at_fdcwd;
      call.args[1] = args[0];
      call.args[2] = at_fdcwd;
      call.args[3] = args[1];
      break;
    case SyscallKind::Link:  // link(old, new)
      call.args[0] = at_fdcwd;
      call.args[1] = args[0];
      call.args[2] = at_fdcwd;
      call.args[3] = args[1];
      call.args[4] = 0;
      break;
    default:
      for (int i = 0; i < 6; ++i) call.args[i] = args[i];
      break;
  }
  return call;
}

}  // namespace drel
