#include "preload/guest/trace_connection.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "preload/guest/trace_session.h"

namespace drel::guest {
namespace {

constexpr int kHighFdBase = 1000;
constexpr int kSendBufferSize = 65536;

struct Connection {
  uint32_t generation;
  int fd;  // -1: none
  dev_t dev;
  ino_t ino;
  uint32_t pid;  // a vfork child shares this record with its parent: the pid tells them apart
};

// Zero-initialised per thread; a fork leaves the child a copy with an old generation.
constinit thread_local Connection t_connection = {0, -1, 0, 0, 0};

// Closes the descriptor only when it is still the socket this thread opened: the program
// may have closed it and reused the number for a file of its own.
void abandon(Connection& c) {
  if (c.fd >= 0) {
    struct stat st;
    if (fstat(c.fd, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == c.dev &&
        st.st_ino == c.ino)
      close(c.fd);
  }
  c = Connection{0, -1, 0, 0, 0};
}

// A thread's connection is closed when the thread ends, so that programs which run many
// short threads do not run out of descriptors because of us.
constinit std::atomic<int> g_exit_key_state{0};  // 0 none, 1 being made, 2 ready
pthread_key_t g_exit_key;

void close_at_thread_exit(void*) { abandon(t_connection); }

void close_when_thread_ends() {
  int state = g_exit_key_state.load(std::memory_order_acquire);
  if (state == 0 && g_exit_key_state.compare_exchange_strong(state, 1)) {
    state = pthread_key_create(&g_exit_key, close_at_thread_exit) == 0 ? 2 : 1;
    g_exit_key_state.store(state, std::memory_order_release);
  }
  if (state == 2) pthread_setspecific(g_exit_key, &t_connection);
}

bool connect_thread(uint32_t pid) {
  size_t len = 0;
  const char* path = session_socket_path(&len);
  if (path == nullptr) return false;
  int fd = connect_trace_socket(path, len);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return false;
  }
  t_connection = Connection{fork_generation(), fd, st.st_dev, st.st_ino, pid};
  close_when_thread_ends();
  return true;
}

bool connection_valid(uint32_t pid) {
  return t_connection.fd >= 0 && t_connection.generation == fork_generation() &&
         t_connection.pid == pid;
}

// Writes head then body, everything or fail with errno set; a return of 0 counts as failure.
bool send_all(int fd, const char* head, size_t head_len, const char* body, size_t body_len) {
  size_t total = head_len + body_len;
  size_t done = 0;
  while (done < total) {
    iovec iov[2];
    size_t count = 0;
    if (done < head_len) {
      iov[count++] = {const_cast<char*>(head + done), head_len - done};
      if (body_len != 0) iov[count++] = {const_cast<char*>(body), body_len};
    } else {
      iov[count++] = {const_cast<char*>(body + (done - head_len)), total - done};
    }
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = count;
    ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else {
      if (sent == 0) errno = 0;
      return false;
    }
  }
  return true;
}

bool connection_lost(int err) {
  return err == EBADF || err == EPIPE || err == ENOTCONN || err == ENOTSOCK;
}

}  // namespace

int connection_fd_base() noexcept {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return kHighFdBase;
  // Keep clear of the top too, so the program's own last descriptors stay free.
  auto cur = static_cast<long long>(limit.rlim_cur);
  if (cur > 2 * kHighFdBase) return kHighFdBase;
  long long base = cur / 2;
  return base < 3 ? 3 : static_cast<int>(base);
}

int connect_trace_socket(const char* path, size_t path_len) noexcept {
  sockaddr_un addr;
  if (path_len >= sizeof addr.sun_path) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int size = kSendBufferSize;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path, path_len);
  addr.sun_path[path_len] = '\0';
  auto addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_len + 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), addr_len) != 0) {
    close(fd);
    return -1;
  }
  // Out of the way of programs that dup2 onto small fixed numbers.
  int high = fcntl(fd, F_DUPFD_CLOEXEC, connection_fd_base());
  if (high >= 0) {
    close(fd);
    fd = high;
  }
  return fd;
}

bool send_frame(const char* head, size_t head_len, const char* body, size_t body_len,
                uint32_t pid) noexcept {
  if (!connection_valid(pid)) {
    abandon(t_connection);
    if (!connect_thread(pid)) return false;
  }
  if (send_all(t_connection.fd, head, head_len, body, body_len)) return true;
  if (!connection_lost(errno)) return false;
  abandon(t_connection);
  if (!connect_thread(pid)) return false;
  return send_all(t_connection.fd, head, head_len, body, body_len);
}

}  // namespace drel::guest
