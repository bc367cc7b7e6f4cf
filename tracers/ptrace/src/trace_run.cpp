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

  // The records are built once the tasks run again: from the creator's record, or from the
  // texts read at the exec stop (kept until the next exec). Work still waiting is done first.
  void on_new_task(pid_t parent, pid_t child) override {
    after_resume();
    DecodingObserver::on_new_task(parent, child);
    pending_ = Pending{Pending::NewTask, child, parent, nullptr};
  }

  void on_exec(pid_t task) override {
    after_resume();
    const ExecSeen& exec = read_exec(task);
    record_exec(task, exec);
    pending_ = Pending{Pending::Exec, task, 0, &exec};
  }

  void after_resume() override {
    const Pending work = pending_;
    pending_.what = Pending::Nothing;
    switch (work.what) {
      case Pending::Nothing:
        return;
      case Pending::NewTask:
        registry_.register_new_task(work.task, work.creator);
        return;
      case Pending::Exec:
        register_exec(work.task, *work.exec);
        return;
    }
  }

  // A second SIGINT or SIGTERM: the report of what was seen, now.
  bool should_stop() override { return signals_.hurry_signal() != 0; }
  // A copy of its own that the command got, so that the tracer does not pass one on again.
  void on_signal_delivery(pid_t task, int sig) override { signals_.note_delivered(task, sig); }

  ProcessRegistry& registry() { return registry_; }

 private:
  struct Pending {
    enum What { Nothing, NewTask, Exec } what = Nothing;
    pid_t task = 0;
    pid_t creator = 0;
    const ExecSeen* exec = nullptr;
  };

  void register_exec(pid_t task, const ExecSeen& exec) {
    registry_.register_process(task, registry_.parent_of(task),
                               exec.has_cmdline ? &exec.strings.cmdline : nullptr,
                               exec.strings.environ_text);
  }

  Pending pending_;
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
