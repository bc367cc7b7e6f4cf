// x86_64: where a system call's number, arguments and result sit in the register block.
#pragma once

#include <sys/user.h>

#include <cstddef>
#include <cstdint>

#include "arch/syscall_table.h"

namespace drel {

inline constexpr uint32_t AUDIT_ARCH_NATIVE = kAuditArchX86_64;

using NativeRegs = user_regs_struct;

namespace native_regs {
// The leading part of the block a stop needs (the kernel fills no more than is asked for): up to
// orig_rax at a seccomp stop (the arguments come before it), rax at an exit stop.
inline constexpr std::size_t kCallBytes = offsetof(NativeRegs, orig_rax) + sizeof(uint64_t);
inline constexpr std::size_t kResultBytes = offsetof(NativeRegs, rax) + sizeof(uint64_t);

// rax is already -ENOSYS at the seccomp stop; the kernel keeps the number in orig_rax.
// An i386 task's block (user_regs_struct32): 17 words, esp the 16th.
inline constexpr std::size_t kCompatWords = 17;
inline constexpr std::size_t kCompatStackPointer = 15;
// x32 programs run with this block, their addresses below 4 GiB.
inline constexpr bool kHasX32 = true;

inline uint64_t stack_pointer(const NativeRegs& r) {
  return r.rsp;
}
inline uint64_t number(const NativeRegs& r) {
  return r.orig_rax;
}
inline uint64_t argument(const NativeRegs& r, int i) {
  switch (i) {
    case 0:
      return r.rdi;
    case 1:
      return r.rsi;
    case 2:
      return r.rdx;
    case 3:
      return r.r10;
    case 4:
      return r.r8;
    default:
      return r.r9;
  }
}
inline int64_t result(const NativeRegs& r) {
  return static_cast<int64_t>(r.rax);
}
inline void set_argument(NativeRegs& r, int i, uint64_t value) {
  decltype(r.rdi)* slots[6] = {&r.rdi, &r.rsi, &r.rdx, &r.r10, &r.r8, &r.r9};
  *slots[i] = value;
}
inline void set_result(NativeRegs& r, int64_t value) {
  r.rax = static_cast<uint64_t>(value);
}
}  // namespace native_regs

}  // namespace drel
