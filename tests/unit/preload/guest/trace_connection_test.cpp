#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>

#include "preload/guest/trace_connection.h"
#include "support/process_runner.h"

namespace drel::guest {
namespace {

class Listening : public testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "l.sock";
    listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener_, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener_, 8), 0);
  }
  void TearDown() override { close(listener_); }

  // The lowest free descriptor number, to see that nothing leaked.
  static int next_free_fd() {
    int fd = dup(0);
    close(fd);
    return fd;
  }

  test::TempDir dir_;
  std::string path_;
  int listener_ = -1;
};

TEST_F(Listening, ConnectionSitsHighAndClosesOnExec) {
  int fd = connect_trace_socket(path_.c_str(), path_.size());
  ASSERT_GE(fd, connection_fd_base());
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  int accepted = accept(listener_, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  ASSERT_EQ(send(fd, "ping", 4, 0), 4);
  char buf[4];
  EXPECT_EQ(recv(accepted, buf, 4, 0), 4);
  close(accepted);
  close(fd);
}

TEST_F(Listening, FailedConnectsLeakNoDescriptor) {
  int before = next_free_fd();
  std::string missing = dir_ / "nobody.sock";
  EXPECT_EQ(connect_trace_socket(missing.c_str(), missing.size()), -1);
  std::string too_long = "/tmp/" + std::string(103, 'x');  // 108 bytes
  EXPECT_EQ(connect_trace_socket(too_long.c_str(), too_long.size()), -1);
  EXPECT_EQ(next_free_fd(), before);
}

// What f() gives with the soft descriptor limit lowered to limit (restored after), or nullopt
// when the hard limit does not allow it.
template <typename F>
auto with_soft_limit(rlim_t limit, F f) -> std::optional<decltype(f())> {
  rlimit saved;
  if (getrlimit(RLIMIT_NOFILE, &saved) != 0 || limit > saved.rlim_max) return std::nullopt;
  rlimit lowered = saved;
  lowered.rlim_cur = limit;
  if (setrlimit(RLIMIT_NOFILE, &lowered) != 0) return std::nullopt;
  auto got = f();
  EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  return got;
}

// The base follows a low descriptor limit down so the connection still fits below it.
TEST(GuestConnectionFdBase, StaysBelowTheDescriptorLimit) {
  struct Case {
    rlim_t limit;
    int base;
  };
  for (Case c : {Case{1 << 20, 1000}, Case{4096, 1000}, Case{2000, 1000}, Case{1024, 512},
                 Case{256, 128}, Case{4, 3}}) {
    std::optional<int> base = with_soft_limit(c.limit, connection_fd_base);
    if (!base) continue;
    EXPECT_EQ(*base, c.base) << "limit " << c.limit;
    EXPECT_LT(*base, static_cast<int>(c.limit));
  }
}

// What the library may take of a program's descriptors, by its soft limit.
TEST(GuestDescriptorBudget, FollowsTheSoftLimit) {
  struct Case {
    rlim_t limit;
    DescriptorBudget budget;
  };
  for (Case c : {Case{1024, {64, 768, 960, 512}}, Case{256, {16, 192, 240, 128}},
                 Case{20, {1, 15, 19, 10}}, Case{8, {0, 6, 8, 4}},
                 Case{65536, {1024, 49152, 61440, 1000}}}) {
    std::optional<DescriptorBudget> got = with_soft_limit(c.limit, descriptor_budget);
    if (!got) continue;
    EXPECT_EQ(got->thread_connections, c.budget.thread_connections) << "limit " << c.limit;
    EXPECT_EQ(got->thread_refuse_from, c.budget.thread_refuse_from) << "limit " << c.limit;
    EXPECT_EQ(got->refuse_from, c.budget.refuse_from) << "limit " << c.limit;
    EXPECT_EQ(got->fd_base, c.budget.fd_base) << "limit " << c.limit;
  }
}

// A connection is refused, without leaking its socket, once the lowest free descriptor has
// reached the given number.
TEST_F(Listening, RefusedNearTheLimitLeaksNoDescriptor) {
  const int lowest = next_free_fd();
  bool refused = false;
  EXPECT_EQ(connect_trace_socket(path_.c_str(), path_.size(), lowest, &refused), -1);
  EXPECT_TRUE(refused);
  EXPECT_EQ(next_free_fd(), lowest);
  refused = false;
  int fd = connect_trace_socket(path_.c_str(), path_.size(), lowest + 1, &refused);
  EXPECT_GE(fd, 0);
  EXPECT_FALSE(refused);
  close(fd);
}

}  // namespace
}  // namespace drel::guest
