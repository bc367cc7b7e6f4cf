#include "trace_run.h"

#include <sys/wait.h>

#include <iostream>
#include <optional>
#include <string>

#include "common/proc_info.h"
#include "common/report.h"
#include "common/report_writer.h"
#include "decoding_observer.h"
#include "process_registry.h"
#include "syscall_decoder.h"
#include "tracee_launch.h"
#include "tracee_memory.h"
#include "wait_status.h"

namespace drel {

namespace {

// The decoding observer, and every task's record in the process registry.
class FileAccessObserver final : public DecodingObserver {
 public:
  FileAccessObserver(pid_t root, const std::vector<std::string>& command, SyscallDecoder& decoder,
                     const TerminationSignals& signals)
      : DecodingObserver(decoder), registry_(root, command), signals_(signals) {}

  void on_new_task(pid_t parent, pid_t child) override {
    DecodingObserver::on_new_task(parent, child);
    registry_.register_new_task(child, parent);
  }

  // The texts are read once, for the executed files and for the record.
  void on_exec(pid_t task) override {
    const ExecSeen& exec = read_exec(task);
    record_exec(task, exec);
    registry_.register_process(task, registry_.parent_of(task),
                               exec.has_cmdline ? &exec.strings.cmdline : nullptr,
                               exec.strings.environ_text);
  }

  // A second SIGINT or SIGTERM: the report of what was seen, now.
  bool should_stop() override { return signals_.hurry_signal() != 0; }
  // A copy of its own that the command got, so that the tracer does not pass one on again.
  void on_signal_delivery(pid_t task, int sig) override { signals_.note_delivered(task, sig); }

  ProcessRegistry& registry() { return registry_; }

 private:
  ProcessRegistry registry_;
  const TerminationSignals& signals_;
};

}  // namespace

int run_trace(const std::vector<std::string>& command, const std::string& output_path) {
  const double start_time = now_epoch_seconds();
  PreparedExec exec(command);
  PtraceMemory memory;
  ProcOpenedFileNames names;
  SyscallDecoder decoder(memory, &names);

  ExecFailureSlot exec_failure;
  // The tracer lives through the signals that end a run, to write the report.
  TerminationSignals signals;
  const pid_t child = launch_tracee(exec, exec_failure, signals);
  if (child < 0) return 1;
  signals.set_command(child);

  int status = 0;
  const pid_t waited = ::waitpid(child, &status, 0);
  if (waited <= 0 || classify_wait_status(status).kind != WaitKind::Stopped) {
    report_exec_failure(exec_failure);
    std::cerr << "Unexpected initial wait status\n";
    return 1;
  }

  FileAccessObserver observer(child, command, decoder, signals);
  const int loop_code = trace_loop(child, observer);
  const int exit_code = signals.hurry_signal() != 0 ? 128 + signals.hurry_signal() : loop_code;
  const double end_time = now_epoch_seconds();

  SyscallDecoder::Files files = decoder.aggregate_files();
  EnvMap run_env = observer.registry().run_environment();
  const TraceReport report =
      make_report("ptrace", std::nullopt, observer.registry().take_records(),
                  std::move(files.files), std::move(files.paths), std::move(run_env), start_time,
                  end_time, std::nullopt);
  if (Result<void> written = write_report(report, output_path); !written) {
    std::cerr << written.error().printed("drel-tracer");
    return 1;
  }
  return exit_code;
}

}  // namespace drel
