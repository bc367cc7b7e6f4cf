// The trace loop's stops turned into file accesses: registers are read at the seccomp and exit
// stops and fed to the decoder, new and ended tasks are passed on to it.
#pragma once

#include "syscall_decoder.h"
#include "trace_loop.h"

namespace drel {

class DecodingObserver : public TraceObserver {
 public:
  explicit DecodingObserver(SyscallDecoder& decoder) : decoder_(decoder) {}

  bool on_seccomp_stop(pid_t task) override;
  void on_syscall_exit(pid_t task) override;
  void on_new_task(pid_t parent, pid_t child) override;
  void on_exec(pid_t task) override;
  void on_task_gone(pid_t task) override;

 private:
  SyscallDecoder& decoder_;
};

}  // namespace drel
