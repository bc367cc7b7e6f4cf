#include "arch/registers.h"

#include <elf.h>
#include <errno.h>
#include <sys/ptrace.h>
#include <sys/uio.h>

#include "arch/older_calls.h"

namespace drel {

namespace {

// The first `len` bytes of the register block; the rest of `regs` stays zero.
bool read_leading_regs(pid_t task, NativeRegs& regs, std::size_t len) {
  iovec iov{&regs, len};
  return ptrace(PTRACE_GETREGSET, task, reinterpret_cast<void*>(NT_PRSTATUS), &iov) == 0 &&
         iov.iov_len >= len;
}

}  // namespace

std::optional<SyscallRegs> read_syscall_regs(pid_t task) {
  NativeRegs regs{};
  if (!read_leading_regs(task, regs, native_regs::kCallBytes)) return std::nullopt;
  SyscallRegs out;
  out.nr = native_regs::number(regs);
  for (int i = 0; i < 6; ++i) out.args[i] = native_regs::argument(regs, i);
  return out;
}

std::optional<int64_t> read_syscall_result(pid_t task) {
  NativeRegs regs{};
  if (!read_leading_regs(task, regs, native_regs::kResultBytes)) return std::nullopt;
  return native_regs::result(regs);
}

std::optional<ExecStack> read_exec_stack(pid_t task) {
  // Large enough for either block; the kernel says which one it filled.
  union {
    NativeRegs native;
    uint32_t compat[native_regs::kCompatWords];
  } regs{};
  iovec iov{&regs, sizeof regs};
  if (ptrace(PTRACE_GETREGSET, task, reinterpret_cast<void*>(NT_PRSTATUS), &iov) != 0) {
    return std::nullopt;
  }
  if (iov.iov_len == sizeof regs.native) {
    const uint64_t sp = native_regs::stack_pointer(regs.native);
    return ExecStack{sp, native_regs::kHasX32 && sp < (uint64_t{1} << 32) ? 4u : 8u};
  }
  if (iov.iov_len == sizeof regs.compat) {
    return ExecStack{regs.compat[native_regs::kCompatStackPointer], 4};
  }
  return std::nullopt;
}

namespace {

bool get_regs(pid_t task, NativeRegs& regs) {
  iovec iov{&regs, sizeof regs};
  return ptrace(PTRACE_GETREGSET, task, reinterpret_cast<void*>(NT_PRSTATUS), &iov) == 0 &&
         iov.iov_len >= sizeof regs;
}

bool set_regs(pid_t task, NativeRegs& regs) {
  iovec iov{&regs, sizeof regs};
  return ptrace(PTRACE_SETREGSET, task, reinterpret_cast<void*>(NT_PRSTATUS), &iov) == 0;
}

}  // namespace

bool set_syscall_argument(pid_t task, int i, uint64_t value) {
  NativeRegs regs{};
  if (!get_regs(task, regs)) return false;
  native_regs::set_argument(regs, i, value);
  return set_regs(task, regs);
}

bool fail_syscall_with_enosys(pid_t task) {
  NativeRegs regs{};
  if (!get_regs(task, regs)) return false;
  native_regs::set_result(regs, -ENOSYS);
#if defined(__aarch64__)
  if (!set_regs(task, regs)) return false;
  int skip = -1;
  iovec iov{&skip, sizeof skip};
  return ptrace(PTRACE_SETREGSET, task, reinterpret_cast<void*>(NT_ARM_SYSTEM_CALL), &iov) == 0;
#else
  regs.orig_rax = static_cast<uint64_t>(-1);
  return set_regs(task, regs);
#endif
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
