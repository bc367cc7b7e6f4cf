// 64-bit Arm: where a system call's number, arguments and result sit in the register block.
#pragma once

#include <asm/ptrace.h>

#include <cstddef>
#include <cstdint>

#include "arch/syscall_table.h"

namespace drel {

inline constexpr uint32_t AUDIT_ARCH_NATIVE = kAuditArchAarch64;

// What PTRACE_GETREGSET returns for NT_PRSTATUS: x0-x30, sp, pc, pstate.
using NativeRegs = user_pt_regs;

namespace native_regs {
// The leading part of the block a stop needs (the kernel fills no more than is asked for): up to
// x8 at a seccomp stop, x0 at an exit stop.
inline constexpr std::size_t kCallBytes = offsetof(NativeRegs, regs) + 9 * sizeof(uint64_t);
inline constexpr std::size_t kResultBytes = offsetof(NativeRegs, regs) + sizeof(uint64_t);

// An arm (AArch32) task's block: r0-r15, cpsr, orig_r0; sp is r13.
inline constexpr std::size_t kCompatWords = 18;
inline constexpr std::size_t kCompatStackPointer = 13;
inline constexpr bool kHasX32 = false;

inline uint64_t stack_pointer(const NativeRegs& r) {
  return r.sp;
}
inline uint64_t number(const NativeRegs& r) {
  return r.regs[8];
}
// Arguments in x0-x5; the result comes back in x0.
inline uint64_t argument(const NativeRegs& r, int i) {
  return r.regs[i];
}
inline int64_t result(const NativeRegs& r) {
  return static_cast<int64_t>(r.regs[0]);
}
inline void set_argument(NativeRegs& r, int i, uint64_t value) {
  r.regs[i] = value;
}
// x0 is what a skipped call returns; the number itself is changed through NT_ARM_SYSTEM_CALL.
inline void set_result(NativeRegs& r, int64_t value) {
  r.regs[0] = static_cast<uint64_t>(value);
}
}  // namespace native_regs

}  // namespace drel
