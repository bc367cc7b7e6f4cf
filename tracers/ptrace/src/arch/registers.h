// Reading a stopped task's system call from its registers, and mapping it onto the neutral,
// aarch64-shaped call the decoder understands.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "arch/syscall_table.h"

#if defined(__aarch64__)
#include "arch/aarch64.h"
#elif defined(__x86_64__)
#include "arch/x86_64.h"
#endif

namespace drel {

struct SyscallRegs {
  uint64_t nr = 0;
  uint64_t args[6] = {};
};

// PTRACE_GETREGSET/NT_PRSTATUS at a seccomp stop: the number and the arguments; nullopt if the task cannot be read (gone, not stopped).
std::optional<SyscallRegs> read_syscall_regs(pid_t task);

// The same at a system-call-exit stop: the result only.
std::optional<int64_t> read_syscall_result(pid_t task);

// At an exec stop: where the new program's stack starts (argc, then the pointer arrays) and the
// size of its pointers, 4 for a 32-bit program (an i386 or arm one, whose register block is the
// 32-bit one, or an x32 one, whose stack lies below 4 GiB). nullopt if the task cannot be read.
struct ExecStack {
  uint64_t pointer = 0;
  unsigned word_bytes = 8;
};
std::optional<ExecStack> read_exec_stack(pid_t task);

// At a seccomp stop: the call runs with argument i set to `value`. False if the task cannot be
// changed (gone).
bool set_syscall_argument(pid_t task, int i, uint64_t value);

// At a seccomp stop: the call does not run and returns -ENOSYS, as it does when a filter asks for
// a tracer and there is none.
bool fail_syscall_with_enosys(pid_t task);

// A traced call with aarch64's argument meaning: the decoder never sees the older x86_64 forms.
struct TracedCall {
  SyscallKind kind = SyscallKind::Read;
  uint64_t args[6] = {};
};

// nullopt for a number the tracer does not trace. An older x86_64 call comes back as the kind
// it is decoded as, its arguments moved as arch/older_calls.h says.
std::optional<TracedCall> normalize_call(uint64_t nr, const uint64_t args[6]);

}  // namespace drel
