#include "tracee_launch.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "arch/registers.h"
#include "common/errno_text.h"
#include "common/error.h"
#include "common/fd_write.h"
#include "common/path_search.h"
#include "seccomp.h"

extern char** environ;

namespace drel {

namespace {

// execvp's default when PATH is unset.
constexpr const char* kDefaultPath = "/bin:/usr/bin";
constexpr const char* kShell = "/bin/sh";

// Standard error with write(2) only: used in the child after fork.
void child_write(const char* text) {
  write_stderr(text);
}

void child_write_number(int value) {
  char digits[16];
  char* p = digits + sizeof digits;
  *--p = '\0';
  unsigned v = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (value < 0) *--p = '-';
  child_write(p);
}

const char* or_unknown(const char* text) { return text != nullptr ? text : "Unknown error"; }

[[noreturn]] void child_fail_traceme(int err) {
  child_write("ptrace traceme failed: ");
  child_write(or_unknown(strerrorname_np(err)));
  child_write("\n");
  _exit(1);
}

[[noreturn]] void child_fail_exec(int err) {
  // The untranslated description is the C locale's strerror text and needs no allocation.
  child_write("exec failed: ");
  child_write(or_unknown(strerrordesc_np(err)));
  child_write(" (os error ");
  child_write_number(err);
  child_write(")\n");
  _exit(1);
}

}  // namespace

PreparedExec::PreparedExec(const std::vector<std::string>& command) : args_(command) {
  for (auto& arg : args_) argv_.push_back(arg.data());
  argv_.push_back(nullptr);

  const std::string& file = args_.empty() ? std::string() : args_.front();
  if (file.empty()) {
    // Nothing to try: exec() reports ENOENT, as execvp does.
  } else if (file.find('/') != std::string::npos) {
    candidates_.push_back(file);
  } else {
    const char* env_path = std::getenv("PATH");
    candidates_ = path_search_candidates(file, env_path != nullptr ? env_path : kDefaultPath);
  }

  script_argv_.push_back(const_cast<char*>(kShell));
  script_argv_.push_back(nullptr);
  for (std::size_t i = 1; i < args_.size(); ++i) script_argv_.push_back(args_[i].data());
  script_argv_.push_back(nullptr);
}

int PreparedExec::exec() noexcept {
  if (candidates_.empty()) return ENOENT;
  bool refused = false;
  int last = ENOENT;
  for (auto& candidate : candidates_) {
    ::execve(candidate.c_str(), argv_.data(), environ);
    last = errno;
    if (last == ENOEXEC) {
      // A file without a known format is a script for the shell, as execvp treats it.
      script_argv_[1] = candidate.data();
      ::execve(kShell, script_argv_.data(), environ);
      last = errno;
    }
    switch (last) {
      case EACCES:
        refused = true;
        break;
      case ENOENT:
      case ENOTDIR:
      case ESTALE:
      case ENODEV:
      case ETIMEDOUT:
        break;
      default:
        return last;
    }
  }
  return refused ? EACCES : last;
}

ExecFailureSlot::ExecFailureSlot() {
  void* p = ::mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p != MAP_FAILED) slot_ = static_cast<volatile int*>(p);
}

ExecFailureSlot::~ExecFailureSlot() {
  if (slot_ != nullptr) ::munmap(const_cast<int*>(slot_), sizeof(int));
}

void ExecFailureSlot::set(int err) noexcept {
  if (slot_ != nullptr) *slot_ = err;
}

int ExecFailureSlot::error() const { return slot_ != nullptr ? *slot_ : 0; }

void report_exec_failure(const ExecFailureSlot& failure) {
  if (const int err = failure.error(); err != 0) {
    std::cerr << "exec failed: " << os_error_text(err) << '\n';
  }
}

pid_t launch_tracee(PreparedExec& exec, ExecFailureSlot& failure,
                    const TerminationSignals& signals) {
  // Nothing buffered may be written twice, once by each process.
  std::fflush(nullptr);
  const bool privileged = may_filter_without_no_new_privs();
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int err = errno;
    std::cerr << "fork failed: " << errno_message(err) << '\n';
    return -1;
  }
  if (pid > 0) return pid;

  // Child: system calls only from here to the exec.
  if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) child_fail_traceme(errno);
  install_seccomp_filter(TRACED_SYSCALLS, ARGUMENT_TESTS, AUDIT_ARCH_NATIVE, privileged);
  ::signal(SIGPIPE, SIG_DFL);
  signals.reset_in_child();
  const int err = exec.exec();
  if (!failure.available()) child_fail_exec(err);
  failure.set(err);
  _exit(1);
}

}  // namespace drel
