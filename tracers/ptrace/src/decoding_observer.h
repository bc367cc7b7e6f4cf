// The trace loop's stops turned into file accesses: registers are read at the seccomp and exit
// stops and fed to the decoder, new and ended tasks are passed on to it, and an exec records the
// files that ran. Also mends what the filter would otherwise change in the traced program:
// CLONE_UNTRACED is cleared so every child is traced, and a stop another filter asked for is
// answered as it would be without a tracer.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "exec_strings.h"
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

 protected:
  // What an exec stop showed of the new program.
  struct ExecSeen {
    bool has_cmdline = false;  // false: the command line could not be read
    ExecStrings strings;       // an environment that could not be read is empty
    std::optional<bool> is_32_bit;
  };
  // Reads the task's texts at its exec stop: from its new stack, or else from /proc. Valid
  // until the next call.
  const ExecSeen& read_exec(pid_t task);
  // on_exec with the texts already read, for a user that needs them too.
  void record_exec(pid_t task, const ExecSeen& exec);

 private:
  // What ran at the task's exec: the program, and a #! script it was started for.
  std::vector<std::string> executed_files(pid_t task, const ExecSeen& exec);

  SyscallDecoder& decoder_;
  ExecStringsReader exec_reader_;
  ExecSeen exec_;
  bool warned_io_uring_ = false;
  bool warned_32_bit_ = false;
};

}  // namespace drel
