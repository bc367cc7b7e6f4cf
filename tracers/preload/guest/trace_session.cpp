#include "preload/guest/trace_session.h"

#include <pthread.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "preload/guest/path_text.h"
#include "preload/guest/raw_syscall.h"
#include "preload/protocol/environment.h"
#include "preload/guest/trace_connection.h"

namespace drel::guest {
namespace {

constexpr size_t kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 1;

enum State : int { kUnread = 0, kReading = 1, kReady = 2 };

constinit std::atomic<int> g_state{kUnread};
constinit std::atomic<uint32_t> g_fork_generation{0};
constinit std::atomic<uint32_t> g_process_pid{0};
constinit std::atomic<uint32_t> g_fork_parent{0};  // 0: this image was not forked here
char g_socket_path[kMaxSocketPath + 1];
size_t g_socket_path_len = 0;  // 0: absent

void after_fork_in_child() {
  g_fork_generation.fetch_add(1, std::memory_order_relaxed);
  g_fork_parent.store(g_process_pid.load(std::memory_order_relaxed), std::memory_order_relaxed);
  g_process_pid.store(static_cast<uint32_t>(raw_syscall(SYS_getpid)), std::memory_order_relaxed);
  forget_connections_in_fork_child();
}

// Read from environ as the C library's getenv reads it (a
// program may define a getenv of its own): no lookup of a real function runs on the deep
// stacks where a first event may call this.
const char* socket_variable() {
  const size_t n = c_length(protocol::kTraceSocketVariable);
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (strncmp(*e, protocol::kTraceSocketVariable, n) == 0 && (*e)[n] == '=') return *e + n + 1;
  }
  return nullptr;
}

}  // namespace

void init_trace_session() noexcept {
  int expected = kUnread;
  // The loser of a race (or a signal handler that interrupts the winner) finds the path not
  // ready yet and drops its event rather than wait.
  if (!g_state.compare_exchange_strong(expected, kReading, std::memory_order_acquire)) return;
  g_process_pid.store(static_cast<uint32_t>(raw_syscall(SYS_getpid)), std::memory_order_relaxed);
  const char* value = socket_variable();
  if (value != nullptr) {
    size_t len = c_length(value);
    // Longer paths can never be connected to, so they count as absent.
    if (len > 0 && len <= kMaxSocketPath && is_valid_utf8(value, len)) {
      memcpy(g_socket_path, value, len);
      g_socket_path[len] = '\0';
      g_socket_path_len = len;
      pthread_atfork(nullptr, nullptr, after_fork_in_child);
    }
  }
  g_state.store(kReady, std::memory_order_release);
}

const char* session_socket_path(size_t* len) noexcept {
  if (g_state.load(std::memory_order_acquire) != kReady) {
    init_trace_session();
    if (g_state.load(std::memory_order_acquire) != kReady) return nullptr;
  }
  if (g_socket_path_len == 0) return nullptr;
  *len = g_socket_path_len;
  return g_socket_path;
}

namespace {

// Set before the switch, so that not even the report of the call that made it runs after.
constinit thread_local bool t_silenced = false;

}  // namespace

bool thread_silenced() noexcept { return t_silenced; }
void silence_thread() noexcept { t_silenced = true; }
void unsilence_thread() noexcept { t_silenced = false; }

uint32_t session_process_pid() noexcept {
  return g_process_pid.load(std::memory_order_relaxed);
}

bool in_own_process(uint32_t pid) noexcept {
  return g_process_pid.load(std::memory_order_relaxed) == pid;
}

uint32_t fork_parent_pid() noexcept {
  return g_fork_parent.load(std::memory_order_relaxed);
}

uint32_t fork_generation() noexcept { return g_fork_generation.load(std::memory_order_relaxed); }

}  // namespace drel::guest
