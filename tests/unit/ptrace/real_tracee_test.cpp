// The platform layer against a real kernel: a forked child installs the filter, makes file calls,
// and the trace loop reads its registers and feeds the decoder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <set>
#include <thread>

#include "arch/registers.h"
#include "decoding_observer.h"
#include "seccomp.h"
#include "support/process_runner.h"
#include "syscall_decoder.h"
#include "trace_loop.h"

namespace drel {
namespace {

// Which tasks the loop announced and which it reported gone.
struct TaskLog {
  std::set<pid_t> made, gone;
};

class LoggingObserver final : public DecodingObserver {
 public:
  LoggingObserver(SyscallDecoder& decoder, TaskLog* log) : DecodingObserver(decoder), log_(log) {}
  void on_new_task(pid_t parent, pid_t child) override {
    DecodingObserver::on_new_task(parent, child);
    if (log_ != nullptr) log_->made.insert(child);
  }
  void on_task_gone(pid_t task) override {
    DecodingObserver::on_task_gone(task);
    if (log_ != nullptr) log_->gone.insert(task);
  }

 private:
  TaskLog* log_;
};

// Runs `body` in a traced child with the filter installed; returns the decoder's files, or
// nullopt when this machine does not allow tracing.
template <typename Body>
std::optional<SyscallDecoder::Files> trace_child(Body body, int* exit_code,
                                                 TaskLog* log = nullptr) {
  const bool privileged = may_filter_without_no_new_privs();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(90);
    install_seccomp_filter(TRACED_SYSCALLS, ARGUMENT_TESTS, AUDIT_ARCH_NATIVE, privileged);
    ::raise(SIGSTOP);
    ::_exit(body());
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) return std::nullopt;
  PtraceMemory memory;
  ProcOpenedFileNames names;
  SyscallDecoder decoder(memory, &names);
  LoggingObserver observer(decoder, log);
  *exit_code = trace_loop(child, observer);
  return decoder.aggregate_files();
}

const FileRecord* find(const SyscallDecoder::Files& files, const std::string& path) {
  for (const auto& f : files.files) {
    if (f.path == path) return &f;
  }
  return nullptr;
}

std::string canonical(const std::string& p) {
  char buf[PATH_MAX];
  return ::realpath(p.c_str(), buf) != nullptr ? std::string(buf) : p;
}

TEST(RealTracee, FileCallsAreDecodedFromRegisters) {
  test::TempDir dir;
  const std::string d = canonical(dir.path());
  test::write_file(d + "/in", "hello");
  const std::string in = d + "/in", out = d + "/out", moved = d + "/moved";
  int code = -1;
  const auto files = trace_child(
      [&] {
        const int r = ::open(in.c_str(), O_RDONLY);
        char buf[8];
        if (r < 0 || ::read(r, buf, sizeof buf) != 5) return 10;
        const int w = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (w < 0 || ::dup2(w, 7) != 7 || ::write(7, buf, 5) != 5) return 11;
        ::close(w);
        ::close(7);
        if (::rename(out.c_str(), moved.c_str()) != 0) return 12;
        ::close(r);
        return 0;
      },
      &code);
  if (!files) GTEST_SKIP() << "ptrace is not permitted here";
  ASSERT_EQ(code, 0);
  const FileRecord* fin = find(*files, in);
  ASSERT_NE(fin, nullptr);
  EXPECT_TRUE(fin->read);
  EXPECT_FALSE(fin->written);
  const FileRecord* fout = find(*files, out);
  ASSERT_NE(fout, nullptr) << "write through the dup'd descriptor";
  EXPECT_TRUE(fout->written);
  ASSERT_TRUE(fout->written_threads.has_value());
  EXPECT_EQ(fout->written_threads->size(), 1u);
  const FileRecord* fmoved = find(*files, moved);
  ASSERT_NE(fmoved, nullptr);
  EXPECT_TRUE(fmoved->written);
  EXPECT_FALSE(fmoved->read);
}

TEST(RealTracee, FilteredCallsStillRunAndReturnTheirResults) {
  test::TempDir dir;
  const std::string path = canonical(dir.path()) + "/f";
  int code = -1;
  const auto files = trace_child(
      [&] {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd < 0) return 20;
        if (::write(fd, "abc", 3) != 3 || ::pread(fd, nullptr, 0, 0) != 0) return 21;
        if (::close(fd) != 0 || ::close(fd) != -1 || errno != EBADF) return 22;
        return ::getpid() > 0 ? 0 : 23;  // untraced
      },
      &code);
  if (!files) GTEST_SKIP() << "ptrace is not permitted here";
  EXPECT_EQ(code, 0);
  const FileRecord* f = find(*files, path);
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->written);
  EXPECT_TRUE(f->read);
}

// A thread of a thread executes: it takes over the leader's id, and the id it had is gone.
TEST(RealTracee, EveryTaskThatAppearedIsReportedGone) {
  TaskLog log;
  int code = -1;
  const auto files = trace_child(
      [] {
        std::thread outer([] {
          std::thread inner([] { ::execl("/bin/true", "true", static_cast<char*>(nullptr)); });
          inner.join();
        });
        outer.join();
        return 30;
      },
      &code, &log);
  if (!files) GTEST_SKIP() << "ptrace is not permitted here";
  EXPECT_EQ(code, 0);
  EXPECT_EQ(log.made.size(), 2u);
  for (const pid_t task : log.made) EXPECT_TRUE(log.gone.count(task)) << task;
}

}  // namespace
}  // namespace drel
