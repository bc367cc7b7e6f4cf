#include "preload/guest/trace_connection.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "preload/guest/large_table.h"
#include "preload/guest/raw_syscall.h"
#include "preload/guest/recursion_guard.h"
#include "preload/guest/trace_session.h"

namespace drel::guest {
namespace {

constexpr int kHighFdBase = 1000;
// The launcher reads every connection once per polling pass (2 ms); a thread blocks only when
// its send buffer (what bounds the bytes in flight on a Unix stream socket) is full, so it asks
// for room for many thousand frames. The kernel caps it at net.core.wmem_max (208 KiB by
// default, doubled for its bookkeeping: still several hundred frames).
constexpr int kSendBufferSize = 4 << 20;
// A connect or send the launcher cannot take in this time gives up; the event counts as lost.
constexpr timeval kSendTimeout = {1, 0};
// A thread waits this long for the shared connection at most (a send there may take its own
// timeout); then its event counts as lost.
constexpr long long kSharedWaitNs = 1'000'000'000;

struct Connection {
  uint32_t generation;
  int fd;  // -1: none
  dev_t dev;
  ino_t ino;
  uint32_t pid;
  int slot;  // a thread connection's place in g_slots; -1: not one
};

constexpr Connection kNoConnection = {0, -1, 0, 0, 0, -1};

// Zero-initialised per thread; a fork leaves the child a copy with an old generation.
constinit thread_local Connection t_connection = kNoConnection;
// The fork generation in which this thread was refused a connection of its own: it sends
// through the shared one from then on.
constinit thread_local uint32_t t_shares_since = UINT32_MAX;

// Thread connections this process holds now (reset in a fork child, which has one thread).
constinit std::atomic<int> g_thread_connections{0};

// Every thread connection of the process, so that a fork child can close its copies of the
// other threads' ones: its threads are gone, nothing of theirs would ever close them.
// All zero when free (the descriptor is kept plus one), so the table costs no page of the
// library's file and a process touches only the slots it uses.
struct Slot {
  std::atomic<int> fd_plus_one{0};
  std::atomic<uint64_t> dev{0};
  std::atomic<uint64_t> ino{0};
};
DREL_LARGE_TABLE constinit Slot g_slots[kMaxThreadConnections];
// One past the highest slot ever claimed: a fork child looks at no slot beyond it.
constinit std::atomic<int> g_slots_touched{0};

int claim_slot(const Connection& c) {
  for (size_t i = 0; i < kMaxThreadConnections; ++i) {
    int expected = 0;
    if (!g_slots[i].fd_plus_one.compare_exchange_strong(expected, c.fd + 1,
                                                         std::memory_order_relaxed))
      continue;
    g_slots[i].dev.store(c.dev, std::memory_order_relaxed);
    g_slots[i].ino.store(c.ino, std::memory_order_relaxed);
    int touched = g_slots_touched.load(std::memory_order_relaxed);
    while (touched <= static_cast<int>(i) &&
           !g_slots_touched.compare_exchange_weak(touched, static_cast<int>(i) + 1,
                                                  std::memory_order_relaxed)) {
    }
    return static_cast<int>(i);
  }
  return -1;
}

// The process's shared connection, for threads beyond the budget. Only the holder touches c;
// a frame is written whole before it is given back, so frames never interleave on it.
struct SharedConnection {
  std::atomic<const void*> holder{nullptr};  // the holding thread's t_connection
  Connection c = kNoConnection;
};
constinit SharedConnection g_shared;

// Whether c.fd is still the socket c was made for: the program may have closed the number
// and reused it, or dup2'd a descriptor of its own (a socket too) onto it.
bool is_ours(const Connection& c) {
  if (c.fd < 0) return false;
  struct stat st;
  return fstat(c.fd, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == c.dev &&
         st.st_ino == c.ino;
}

// Closes the descriptor only when it is still ours; forgets it either way.
void abandon(Connection& c) {
  if (is_ours(c)) close_own(c.fd);
  // A fork child's copy of its parent's record has an older generation: its slot and count
  // were reset at the fork.
  if (c.slot >= 0 && c.generation == fork_generation()) {
    g_slots[c.slot].fd_plus_one.store(0, std::memory_order_relaxed);
    g_thread_connections.fetch_sub(1, std::memory_order_relaxed);
  }
  c = kNoConnection;
}

void close_at_thread_exit(void*) { abandon(t_connection); }

// A thread's connection is closed when the thread ends, so that programs which run many
// short threads do not run out of descriptors because of us. The key is made when the library
// loads: made later, it could need an allocation in a thread that already holds many keys.
constinit bool g_exit_key_ready = false;
pthread_key_t g_exit_key;

void close_when_thread_ends() {
  if (g_exit_key_ready) pthread_setspecific(g_exit_key, &t_connection);
}

// connect_trace_socket with the descriptor base given.
int connect_socket(const char* path, size_t path_len, int refuse_from, bool* refused,
                   int fd_base) {
  sockaddr_un addr;
  if (path_len >= sizeof addr.sun_path) return -1;
  int fd = static_cast<int>(raw_syscall(SYS_socket, AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd < 0) return -1;
  // The kernel gave the lowest free number: this high, the program is near its limit.
  if (fd >= refuse_from) {
    close_own(fd);
    if (refused != nullptr) *refused = true;
    return -1;
  }
  int size = kSendBufferSize;
  raw_syscall(SYS_setsockopt, fd, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<long>(&size), sizeof size);
  // Bounds connect too: a launcher that cannot accept must not stall the program.
  raw_syscall(SYS_setsockopt, fd, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<long>(&kSendTimeout),
              sizeof kSendTimeout);
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path, path_len);
  addr.sun_path[path_len] = '\0';
  auto addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_len + 1);
  if (raw_syscall(SYS_connect, fd, reinterpret_cast<long>(&addr), addr_len) != 0) {
    close_own(fd);
    return -1;
  }
  // Out of the way of programs that dup2 onto small fixed numbers.
  int high = static_cast<int>(raw_syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, fd_base));
  if (high >= 0) {
    close_own(fd);
    fd = high;
  }
  return fd;
}

// A connection for the caller, or one with fd -1; refused (-1, and *refused set) when the
// socket's descriptor, the lowest free one, is refuse_from or higher. budget: read by the
// caller, so one connection reads the descriptor limit once.
Connection connect_for(uint32_t pid, const DescriptorBudget& budget, int refuse_from,
                       bool* refused = nullptr) {
  size_t len = 0;
  const char* path = session_socket_path(&len);
  Connection c = kNoConnection;
  c.generation = fork_generation();
  c.pid = pid;
  if (path == nullptr) return c;
  int fd = connect_socket(path, len, refuse_from, refused, budget.fd_base);
  if (fd < 0) return c;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close_own(fd);
    return c;
  }
  c.fd = fd;
  c.dev = st.st_dev;
  c.ino = st.st_ino;
  return c;
}

bool connection_valid(const Connection& c, uint32_t pid) {
  return c.fd >= 0 && c.generation == fork_generation() && c.pid == pid;
}

// The calling thread's own connection, within the budget. A thread beyond it is marked to
// send through the shared connection from now on (in this process).
bool connect_thread(uint32_t pid) {
  const DescriptorBudget budget = descriptor_budget();
  bool refused =
      g_thread_connections.fetch_add(1, std::memory_order_relaxed) >= budget.thread_connections;
  if (!refused) t_connection = connect_for(pid, budget, budget.thread_refuse_from, &refused);
  const int slot = t_connection.fd >= 0 ? claim_slot(t_connection) : -1;
  if (t_connection.fd >= 0 && slot < 0) {
    close_own(t_connection.fd);
    t_connection = kNoConnection;
    refused = true;
  }
  if (refused || t_connection.fd < 0) {
    g_thread_connections.fetch_sub(1, std::memory_order_relaxed);
    if (refused) t_shares_since = fork_generation();
    return false;
  }
  t_connection.slot = slot;
  close_when_thread_ends();
  return true;
}

bool connect_shared(uint32_t pid) {
  const DescriptorBudget budget = descriptor_budget();
  g_shared.c = connect_for(pid, budget, budget.refuse_from);
  return g_shared.c.fd >= 0;
}

long long monotonic_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Takes the shared connection, waiting a bounded time; false when another thread holds it
// longer, or when the caller itself does (a signal handler that interrupted a send there).
bool take_shared() {
  const void* self = &t_connection;
  const void* expected = nullptr;
  if (g_shared.holder.compare_exchange_strong(expected, self, std::memory_order_acquire))
    return true;
  if (expected == self) return false;
  const long long give_up = monotonic_ns() + kSharedWaitNs;
  for (unsigned tries = 1;; ++tries) {
    raw_syscall(SYS_sched_yield);
    expected = nullptr;
    if (g_shared.holder.compare_exchange_weak(expected, self, std::memory_order_acquire))
      return true;
    if (tries % 16 == 0 && monotonic_ns() > give_up) return false;
  }
}

void give_shared_back() { g_shared.holder.store(nullptr, std::memory_order_release); }

// Writes the parts in order, everything or fail with errno set; a return of 0 counts as
// failure. done: the bytes that went out, so that a caller can tell a clean failure from a
// frame cut in two.
bool send_all(int fd, const FramePart* parts, size_t count, size_t& done) {
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += parts[i].len;
  done = 0;
  while (done < total) {
    iovec iov[kMaxFrameParts];
    size_t n = 0;
    size_t skip = done;
    for (size_t i = 0; i < count; ++i) {
      if (skip >= parts[i].len) {
        skip -= parts[i].len;
        continue;
      }
      iov[n++] = {const_cast<char*>(parts[i].data + skip), parts[i].len - skip};
      skip = 0;
    }
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = n;
    ssize_t sent =
        with_errno(raw_syscall(SYS_sendmsg, fd, reinterpret_cast<long>(&message), MSG_NOSIGNAL));
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

// A vfork child (or a clone that skipped the fork handlers) runs on its parent's memory:
// whatever it keeps there, the parent finds as its own. It sends on a connection of its own,
// closed at once, and stores nothing.
bool send_once(const FramePart* parts, size_t count, uint32_t pid) {
  const DescriptorBudget budget = descriptor_budget();
  Connection c = connect_for(pid, budget, budget.refuse_from);
  if (c.fd < 0) return false;
  size_t sent = 0;
  bool ok = send_all(c.fd, parts, count, sent);
  close_own(c.fd);
  return ok;
}

// Sends on c (the thread's or the shared connection), made with connect: checked before every
// send, not only before closing, since a frame must never go into a descriptor of the
// program's own; made again once when it turns out broken.
template <typename Connect>
bool send_on(Connection& c, const FramePart* parts, size_t count, uint32_t pid, Connect connect) {
  if (!connection_valid(c, pid) || !is_ours(c)) {
    abandon(c);
    if (!connect(pid)) return false;
  }
  size_t sent = 0;
  if (send_all(c.fd, parts, count, sent)) return true;
  // Half a frame on the wire would spoil every later one: such a connection is closed, and the
  // launcher drops the incomplete tail.
  const bool lost = connection_lost(errno);  // before abandon's own calls change errno
  if (sent != 0 || lost) abandon(c);
  if (sent != 0 || !lost) return false;
  if (!connect(pid)) return false;
  return send_all(c.fd, parts, count, sent);
}

bool send_shared(const FramePart* parts, size_t count, uint32_t pid) {
  if (!take_shared()) return false;
  bool ok = send_on(g_shared.c, parts, count, pid, connect_shared);
  give_shared_back();
  return ok;
}

}  // namespace

int connection_fd_base() noexcept { return descriptor_budget().fd_base; }

DescriptorBudget descriptor_budget() noexcept {
  struct {
    uint64_t cur, max;
  } limit;  // the kernel's own layout, on every architecture
  const bool known =
      raw_syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, 0, reinterpret_cast<long>(&limit)) == 0;
  constexpr uint64_t kInfinity = ~uint64_t{0};
  long long soft = INT_MAX;
  if (known && limit.cur < static_cast<uint64_t>(INT_MAX)) soft = static_cast<long long>(limit.cur);
  const long long threads = soft / 16 < static_cast<long long>(kMaxThreadConnections)
                               ? soft / 16
                               : static_cast<long long>(kMaxThreadConnections);
  // Keep clear of the top too, so the program's own last descriptors stay free.
  int fd_base = kHighFdBase;
  if (known && limit.cur != kInfinity && soft <= 2 * kHighFdBase)
    fd_base = soft / 2 < 3 ? 3 : static_cast<int>(soft / 2);
  return {static_cast<int>(threads), static_cast<int>(soft - soft / 4),
          static_cast<int>(soft - soft / 16), fd_base};
}

int connect_trace_socket(const char* path, size_t path_len, int refuse_from,
                         bool* refused) noexcept {
  return connect_socket(path, path_len, refuse_from, refused, connection_fd_base());
}

bool send_frame_parts(const FramePart* parts, size_t count, uint32_t pid) noexcept {
  if (count > kMaxFrameParts) return false;
  // A signal handler that interrupted a report must not write into the middle of its frame.
  if (!in_own_process(pid) || report_depth() > 1) return send_once(parts, count, pid);
  const uint32_t generation = fork_generation();
  if (t_shares_since != generation) {
    if (send_on(t_connection, parts, count, pid, connect_thread)) return true;
    // Not refused by the budget: a failed connect or send, and the frame is dropped.
    if (t_shares_since != generation) return false;
  }
  return send_shared(parts, count, pid);
}

bool send_frame(const char* head, size_t head_len, const char* body, size_t body_len,
                uint32_t pid) noexcept {
  const FramePart parts[2] = {{head, head_len}, {body, body_len}};
  return send_frame_parts(parts, body_len != 0 ? 2 : 1, pid);
}

void forget_connections_in_fork_child() noexcept {
  // Only ours are closed: a number the program took over since keeps the program's file.
  const int touched = g_slots_touched.load(std::memory_order_relaxed);
  for (int i = 0; i < touched; ++i) {
    Slot& slot = g_slots[i];
    const int fd = slot.fd_plus_one.load(std::memory_order_relaxed) - 1;
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) &&
        st.st_dev == slot.dev.load(std::memory_order_relaxed) &&
        st.st_ino == slot.ino.load(std::memory_order_relaxed))
      close_own(fd);
    slot.fd_plus_one.store(0, std::memory_order_relaxed);
  }
  if (is_ours(g_shared.c)) close_own(g_shared.c.fd);
  g_shared.c = kNoConnection;
  g_thread_connections.store(0, std::memory_order_relaxed);
  g_shared.holder.store(nullptr, std::memory_order_relaxed);
}

void prepare_connections() noexcept {
  g_exit_key_ready = pthread_key_create(&g_exit_key, close_at_thread_exit) == 0;
}

}  // namespace drel::guest
