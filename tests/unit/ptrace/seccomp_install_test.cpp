// Installing the filter in a forked child: what the kernel then does with listed and unlisted
// calls, and the warning when a step is refused.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "arch/registers.h"
#include "seccomp.h"

namespace drel {
namespace {

struct ChildResult {
  int code = -1;
  std::string err;
};

// Runs `body` in a child (no tracer) after installing the filter; collects its stderr.
template <typename Body>
ChildResult in_filtered_child(std::vector<int64_t> numbers, uint32_t arch, Body body,
                              bool privileged = false, std::span<const ArgumentTest> tests = {}) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipe_fds[1], STDERR_FILENO);
    ::close(pipe_fds[0]);
    install_seccomp_filter(numbers, tests, arch, privileged);
    ::_exit(body());
  }
  ::close(pipe_fds[1]);
  ChildResult r;
  char buf[256];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buf, sizeof buf)) > 0)
    r.err.append(buf, static_cast<std::size_t>(n));
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

// getppid through the raw call: 0 when it ran, 1 when the kernel refused it with ENOSYS.
int getppid_outcome() {
  const long r = ::syscall(SYS_getppid);
  if (r > 0) return 0;
  return r == -1 && errno == ENOSYS ? 1 : 2;
}

TEST(SeccompInstall, ListedCallStopsForATracerAndFailsWithoutOne) {
  const ChildResult r = in_filtered_child({SYS_getppid}, AUDIT_ARCH_NATIVE, [] {
    return getppid_outcome() + (::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1 ? 0 : 10);
  });
  if (r.err.find("PR_SET_SECCOMP") != std::string::npos) GTEST_SKIP() << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.code, 1) << "a listed call with no tracer attached must fail with ENOSYS";
}

TEST(SeccompInstall, UnlistedCallsRunUntouched) {
  const ChildResult r =
      in_filtered_child(std::vector<int64_t>(TRACED_SYSCALLS.begin(), TRACED_SYSCALLS.end()),
                        AUDIT_ARCH_NATIVE, [] { return getppid_outcome(); });
  if (r.err.find("PR_SET_SECCOMP") != std::string::npos) GTEST_SKIP() << r.err;
  EXPECT_EQ(r.code, 0);
}

// With the table's own filter and no tracer, a call that would stop fails with ENOSYS: an
// anonymous map must run, a map of a file must not.
TEST(SeccompInstall, AnonymousMapsRunAndMapsOfAFileStop) {
  const int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const ChildResult r = in_filtered_child(
      std::vector<int64_t>(TRACED_SYSCALLS.begin(), TRACED_SYSCALLS.end()), AUDIT_ARCH_NATIVE,
      [fd] {
        void* anon = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                            -1, 0);
        // The descriptor is ignored for an anonymous map, and so is it by the filter.
        void* anon_fd = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, fd, 0);
        void* file = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0);
        if (anon == MAP_FAILED || anon_fd == MAP_FAILED) return 1;
        return file == MAP_FAILED && errno == ENOSYS ? 0 : 2;
      },
      false, ARGUMENT_TESTS);
  ::close(fd);
  if (r.err.find("PR_SET_SECCOMP") != std::string::npos) GTEST_SKIP() << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.code, 0) << "1: an anonymous map was stopped; 2: a map of a file ran";
}

TEST(SeccompInstall, AnotherArchitectureIsAlwaysAllowed) {
  const uint32_t other =
      AUDIT_ARCH_NATIVE == kAuditArchAarch64 ? kAuditArchX86_64 : kAuditArchAarch64;
  const ChildResult r = in_filtered_child({SYS_getppid}, other, [] { return getppid_outcome(); });
  if (r.err.find("PR_SET_SECCOMP") != std::string::npos) GTEST_SKIP() << r.err;
  EXPECT_EQ(r.code, 0);
}

TEST(SeccompInstall, RefusedProgramWarnsAndCarriesOn) {
  // Too long to encode: the kernel is handed an empty program and refuses it.
  const std::vector<int64_t> numbers(kMaxFilterLength, SYS_getppid);
  const ChildResult r =
      in_filtered_child(numbers, AUDIT_ARCH_NATIVE, [] { return getppid_outcome(); });
  if (r.err.find("PR_SET_NO_NEW_PRIVS") != std::string::npos) GTEST_SKIP() << r.err;
  EXPECT_EQ(r.err, "Warning: prctl(PR_SET_SECCOMP) failed\n");
  EXPECT_EQ(r.code, 0);
}

TEST(SeccompInstall, WithCapSysAdminNoNewPrivilegesStaysUnset) {
  if (!may_filter_without_no_new_privs()) GTEST_SKIP() << "needs CAP_SYS_ADMIN";
  const ChildResult r = in_filtered_child(
      {SYS_getppid}, AUDIT_ARCH_NATIVE,
      [] { return getppid_outcome() + (::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 0 ? 0 : 10); },
      true);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.code, 1) << "the filter is in, no-new-privileges is not";
}

}  // namespace
}  // namespace drel
