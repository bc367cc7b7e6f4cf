#include "preload/launcher/trace_run.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <list>
#include <optional>
#include <string_view>
#include <thread>

#include "common/proc_info.h"
#include "common/report_writer.h"
#include "common/termination_signals.h"
#include "common/unique_fd.h"
#include "common/utf8.h"
#include "preload/launcher/event_connection.h"
#include "preload/launcher/aggregator.h"
#include "preload/launcher/rename_order.h"
#include "preload/launcher/library_lookup.h"
#include "preload/guest/exec_target.h"
#include "preload/protocol/environment.h"

extern char** environ;

namespace drel::launcher {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(2);
constexpr auto kFinalPollInterval = std::chrono::milliseconds(1);
constexpr auto kFinalDrain = std::chrono::milliseconds(50);

// The socket file goes away with the run, whichever way it ends.
class SocketFile {
 public:
  explicit SocketFile(std::string path) : path_(std::move(path)) {}
  SocketFile(const SocketFile&) = delete;
  SocketFile& operator=(const SocketFile&) = delete;
  ~SocketFile() { remove(); }
  void remove() {
    if (!path_.empty()) ::unlink(path_.c_str());
    path_.clear();
  }

 private:
  std::string path_;
};

Result<UniqueFd> bind_listener(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return Error::os("failed to bind Unix domain socket", errno);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) {
    return Error::os("failed to bind Unix domain socket", ENAMETOOLONG);
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  // Only this user may connect and inject events, whatever the umask. The launcher is
  // single-threaded, so changing the process umask around bind is safe.
  const mode_t old_mask = ::umask(0177);
  const int rc = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  const int bind_errno = errno;
  ::umask(old_mask);
  if (rc != 0) return Error::os("failed to bind Unix domain socket", bind_errno);
  if (::listen(fd.get(), -1) != 0) return Error::os("failed to bind Unix domain socket", errno);
  return fd;
}

Result<void> set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return Error::os(errno);
  return Ok{};
}

// The pause between polling passes: the full interval, unless the root ends first (root_end is
// its pidfd, or -1). A traced thread blocks only when its connection's send buffer is full, and
// it asks for one that holds far more than a busy program sends in an interval, so passes that
// come sooner would only cost CPU time; the root's end, though, starts the report at once.
void pause_between_passes(std::chrono::microseconds interval, int root_end = -1) {
  if (root_end < 0) {
    std::this_thread::sleep_for(interval);
    return;
  }
  pollfd fd{root_end, POLLIN, 0};
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(interval);
  const timespec timeout{static_cast<time_t>(seconds.count()),
                         static_cast<long>((interval - seconds).count() * 1000)};
  (void)::ppoll(&fd, 1, &timeout, nullptr);
}

// A descriptor that becomes readable when the process ends; invalid where the kernel has none
// (before Linux 5.3), and the pause is then the full interval.
UniqueFd open_pidfd(pid_t pid) {
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

// When the listener was last seen with no connection waiting: everything sent on a connection
// accepted later was sent after that.
uint64_t g_listener_empty_at = 0;

// Accepts everything pending; returns whether anything was accepted. Failures end the step.
bool accept_pending(int listener, std::list<EventConnection>& connections) {
  bool accepted = false;
  for (;;) {
    const uint64_t before = monotonic_now();
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) g_listener_empty_at = before;
      return accepted;
    }
    // No SO_RCVBUF: on a Unix stream socket only the sender's buffer bounds what waits.
    connections.emplace_back(UniqueFd(fd), g_listener_empty_at);
    accepted = true;
  }
}

// Drains every connection, applies the renames that arrived in their order, and closes the
// connections that ended; returns whether any is still open.
bool drain_all(int listener, std::list<EventConnection>& connections, PreloadAggregator& agg) {
  dispatch_in_order(connections, agg, [&] { accept_pending(listener, connections); });
  for (auto it = connections.begin(); it != connections.end();)
    it = it->ended ? connections.erase(it) : std::next(it);
  return !connections.empty();
}

constexpr std::string_view kAsanOptions = "ASAN_OPTIONS";
constexpr std::string_view kAsanLinkOrder = "verify_asan_link_order=";

// A program built with AddressSanitizer refuses to start when another library comes first in
// LD_PRELOAD, unless told not to check; what the user set is kept (and wins if it sets the
// same option).
std::string asan_environment(const char* old_value) {
  std::string out = std::string(kAsanOptions) + "=";
  if (old_value != nullptr && std::string_view(old_value).find(kAsanLinkOrder) != std::string_view::npos)
    return out + old_value;
  out += kAsanLinkOrder;
  out += "0";
  if (old_value != nullptr && old_value[0] != '\0') {
    out += ':';
    out += old_value;
  }
  return out;
}

long wall_clock_nanoseconds() {
  timespec ts{};
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return 0;
  return ts.tv_nsec;
}

bool is_usable_preload(const char* value) {
  return value != nullptr && value[0] != '\0' && is_valid_utf8(value);
}

// The environment exactly as the command received it.
EnvMap environment_map(const std::vector<std::string>& entries) {
  std::string bytes;
  for (const std::string& e : entries) {
    bytes += e;
    bytes += '\0';
  }
  return parse_environ(bytes);
}

// Starts the command exactly as execvp would (a file without "#!" runs under /bin/sh, which
// posix_spawnp refuses), with the descriptor limit the launcher itself was started with.
Result<pid_t> spawn(const std::vector<std::string>& command, const std::vector<std::string>& env,
                    const rlimit& user_limit) {
  // Arguments go to the program byte for byte, whatever their encoding.
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return Error::os("failed to spawn traced command", errno);
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int err = errno;
    ::close(report[0]);
    ::close(report[1]);
    return Error::os("failed to spawn traced command", err);
  }
  if (pid == 0) {
    ::close(report[0]);
    (void)::setrlimit(RLIMIT_NOFILE, &user_limit);
    ::execvpe(argv[0], argv.data(), envp.data());
    const int err = errno;
    (void)!::write(report[1], &err, sizeof err);
    ::_exit(127);
  }
  ::close(report[1]);
  int err = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof err)) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return Error::os("failed to spawn traced command", err);
  }
  return pid;
}

// The launcher holds one descriptor per traced thread: its soft limit goes up to the hard one.
// The command gets the limits the user gave.
rlimit raise_descriptor_limit() {
  rlimit user{};
  if (::getrlimit(RLIMIT_NOFILE, &user) != 0) return user;
  rlimit raised = user;
  raised.rlim_cur = user.rlim_max;
  (void)::setrlimit(RLIMIT_NOFILE, &raised);
  return user;
}

int exit_code(int status) {
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

}  // namespace

std::string new_socket_path(pid_t pid, long nanoseconds) {
  return "/tmp/.drel-" + std::to_string(pid) + "-" + std::to_string(nanoseconds) + ".sock";
}

std::vector<std::string> child_environment(const char* const* env, const std::string& library,
                                           const std::string& preloaded,
                                           const std::string& socket_path) {
  const char* old_preload = nullptr;
  const char* asan_options = nullptr;
  std::vector<std::string> out;
  for (const char* const* e = env; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry = *e;
    const std::string_view name = entry.substr(0, entry.find('='));
    if (name == "LD_PRELOAD") {
      old_preload = *e + name.size() + (name.size() < entry.size() ? 1 : 0);
      continue;
    }
    if (name == protocol::kPreloadLibraryVariable || name == protocol::kTraceSocketVariable) continue;
    if (name == kAsanOptions) {
      asan_options = *e + name.size() + (name.size() < entry.size() ? 1 : 0);
      continue;
    }
    out.emplace_back(entry);
  }
  std::string preload = "LD_PRELOAD=" + preloaded;
  if (is_usable_preload(old_preload)) {
    preload += ':';
    preload += old_preload;
  }
  out.push_back(std::move(preload));
  out.push_back(asan_environment(asan_options));
  out.push_back(std::string(protocol::kPreloadLibraryVariable) + "=" + library);
  out.push_back(std::string(protocol::kTraceSocketVariable) + "=" + socket_path);
  return out;
}

Result<int> run_preload_trace(const std::string& output_path,
                              const std::vector<std::string>& command) {
  RunMemory memory;
  return run_preload_trace(output_path, command, memory);
}

Result<int> run_preload_trace(const std::string& output_path,
                              const std::vector<std::string>& command, RunMemory& memory) {
  std::optional<std::string> library = find_preload_library();
  if (!library) {
    return Error("preload library not found; set DREL_PRELOAD_LIB or build drel-tracer-preload");
  }
  const std::string entry = preload_entry(*library);
  const std::string library_text = lossy_utf8(entry);
  // The command's own exec passes no wrapper: its form is chosen here, as the wrappers choose
  // it for every later exec.
  guest::note_own_loader();
  const char* path_var = std::getenv("PATH");
  const std::string preloaded =
      !command.empty() && guest::runs_under_own_loader(command[0].c_str(), true, path_var)
          ? lossy_utf8(native_entry(entry))
          : library_text;

  const std::string socket_path = new_socket_path(::getpid(), wall_clock_nanoseconds());
  ::unlink(socket_path.c_str());
  Result<UniqueFd> bound = bind_listener(socket_path);
  if (!bound) return std::move(bound).error();
  SocketFile socket_file(socket_path);
  UniqueFd listener = std::move(bound).value();
  if (Result<void> r = set_nonblocking(listener.get()); !r) {
    return std::move(r).error().context("failed to set listener non-blocking");
  }

  // The launcher lives through the signals that end a run, to write the report.
  TerminationSignals signals;
  signals.remove_on_forced_exit(socket_path.c_str());
  const double start_time = now_epoch_seconds();
  const std::vector<std::string> env = child_environment(environ, library_text, preloaded, socket_path);
  const rlimit user_limit = raise_descriptor_limit();
  Result<pid_t> child = spawn(command, env, user_limit);
  if (!child) return std::move(child).error();
  const pid_t root = *child;
  signals.set_command(root);

  // The root is recorded with the environment it was given, which holds the three variables
  // the launcher's own environment lacks.
  PreloadAggregator& agg =
      memory.aggregator.emplace(command, environment_map(env), static_cast<uint32_t>(root));
  agg.ensure_process(static_cast<uint32_t>(root));

  const UniqueFd root_end = open_pidfd(root);
  std::list<EventConnection> connections;
  int code = 0;
  for (;;) {
    accept_pending(listener.get(), connections);
    drain_all(listener.get(), connections, agg);
    int status = 0;
    const pid_t done = ::waitpid(root, &status, WNOHANG);
    if (done < 0) {
      if (errno == EINTR) continue;
      return Error::os(errno);
    }
    if (done == root) {
      code = exit_code(status);
      break;
    }
    if (const int hurry = signals.hurry_signal(); hurry != 0) {
      code = 128 + hurry;  // told twice: the report of what was seen, now
      break;
    }
    pause_between_passes(kPollInterval, root_end.get());
  }

  // Descendants may still hold connections: give them a short while, not forever.
  const auto deadline = std::chrono::steady_clock::now() + kFinalDrain;
  while (std::chrono::steady_clock::now() < deadline) {
    const bool accepted = accept_pending(listener.get(), connections);
    const bool any_open = drain_all(listener.get(), connections, agg);
    if (!accepted && !any_open) break;
    if (signals.hurry_signal() != 0) break;  // told twice: what has arrived, and no more
    // Connections that ended in the pass are all read: look once more at once, not later.
    if (any_open) pause_between_passes(kFinalPollInterval);
  }

  listener.reset();
  socket_file.remove();
  const double end_time = now_epoch_seconds();
  agg.ensure_process(static_cast<uint32_t>(root));
  memory.report = std::move(agg).build_preload_report(start_time, end_time);
  if (Result<void> written = write_report(memory.report, output_path); !written) {
    return std::move(written).error();
  }
  connections.clear();
  return code;
}

}  // namespace drel::launcher
