#include "arch/registers.h"

#include <elf.h>
#include <sys/ptrace.h>
#include <sys/uio.h>

#include "arch/older_calls.h"

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
  if (const OlderCallShape* shape = older_call_shape(*kind)) {
    for (std::size_t i = 0; i < shape->args.size(); ++i) {
      const ArgSource& from = shape->args[i];
      call.args[i] = from.from < 0 ? from.value : args[from.from];
    }
  } else {
    for (int i = 0; i < 6; ++i) call.args[i] = args[i];
  }
  return call;
}

}  // namespace drel
