#include "decoding_observer.h"

#include <optional>

#include "arch/registers.h"

namespace drel {

bool DecodingObserver::on_seccomp_stop(pid_t task) {
  const std::optional<SyscallRegs> regs = read_syscall_regs(task);
  const std::optional<TracedCall> call = regs ? normalize_call(regs->nr, regs->args) : std::nullopt;
  return call && decoder_.decode_entry(task, *call);
}

void DecodingObserver::on_syscall_exit(pid_t task) {
  if (const std::optional<SyscallRegs> regs = read_syscall_regs(task)) {
    decoder_.decode_exit(task, regs->result);
  }
}

void DecodingObserver::on_new_task(pid_t parent, pid_t child) {
  decoder_.on_new_task(parent, child);
}

void DecodingObserver::on_exec(pid_t) {}

void DecodingObserver::on_task_gone(pid_t task) {
  decoder_.task_gone(task);
}

}  // namespace drel
