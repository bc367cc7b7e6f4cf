#include "preload_wrappers_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "support/process_runner.h"

namespace drel::test {
namespace {

constexpr double kOverallTimeout = 60.0;
constexpr double kGraceAfterExit = 3.0;

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Reader {
  const uint8_t* p;
  const uint8_t* end;

  bool take(size_t n, const uint8_t** out) {
    if (static_cast<size_t>(end - p) < n) return false;
    *out = p;
    p += n;
    return true;
  }
  bool be(size_t n, uint64_t* value) {
    const uint8_t* b;
    if (!take(n, &b)) return false;
    *value = 0;
    for (size_t i = 0; i < n; ++i) *value = (*value << 8) | b[i];
    return true;
  }
  bool str(std::string* out) {
    const uint8_t* b;
    if (!take(1, &b)) return false;
    uint64_t len;
    if (*b >= 0xa0 && *b <= 0xbf) {
      len = *b & 0x1f;
    } else if (*b == 0xd9) {
      if (!be(1, &len)) return false;
    } else if (*b == 0xda) {
      if (!be(2, &len)) return false;
    } else if (*b == 0xdb) {
      if (!be(4, &len)) return false;
    } else {
      return false;
    }
    const uint8_t* s;
    if (!take(len, &s)) return false;
    out->assign(reinterpret_cast<const char*>(s), len);
    return true;
  }
  bool uint64(uint64_t* out) {
    const uint8_t* b;
    if (!take(1, &b)) return false;
    if (*b <= 0x7f) {
      *out = *b;
      return true;
    }
    // The shortest form only, as the library writes it.
    const uint64_t floor[] = {0x80, 0x100, 0x10000, 0x100000000ull};
    for (size_t i = 0; i < 4; ++i) {
      if (*b == 0xcc + i) return be(size_t{1} << i, out) && *out >= floor[i];
    }
    return false;
  }
  bool uint(uint32_t* out) {
    uint64_t v;
    if (!uint64(&v) || v > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(v);
    return true;
  }
  bool key(const char* want) {
    std::string k;
    return str(&k) && k == want;
  }
  // bin in its shortest form.
  bool bin(std::string* out) {
    const uint8_t* b;
    uint64_t len;
    const uint8_t* s;
    if (!take(1, &b) || *b < 0xc4 || *b > 0xc6) return false;
    if (!be(size_t{1} << (*b - 0xc4), &len) || !take(len, &s)) return false;
    out->assign(reinterpret_cast<const char*>(s), len);
    return true;
  }
  bool boolean(bool* out) {
    const uint8_t* b;
    if (!take(1, &b) || (*b != 0xc2 && *b != 0xc3)) return false;
    *out = *b == 0xc3;
    return true;
  }
};

std::vector<std::string> nul_pieces(const std::string& bytes) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t end = bytes.find('\0', at);
    if (end == std::string::npos) end = bytes.size();
    if (end > at) out.push_back(bytes.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

struct Connection {
  int fd;
  std::string bytes;
  bool open = true;
};

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Reads what is there; false once the stream has ended.
bool drain(int fd, std::string& into) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      return true;
    } else {
      return false;
    }
  }
}

}  // namespace

std::string preload_library_path() { return bin_path("libdrel_tracer_preload.so"); }

std::optional<WireEvent> decode_wire_event(const uint8_t* payload, size_t len) {
  Reader r{payload, payload + len};
  const uint8_t* header;
  if (!r.take(1, &header) || (*header != 0x84 && *header != 0x87)) return std::nullopt;
  const bool rename = *header == 0x87;
  WireEvent e;
  std::vector<const char*> keys = {"kind", "pid", "thread_id", "path"};
  if (rename) keys = {"kind", "pid", "thread_id", "time", "exchange", "from", "path"};
  uint64_t time = 0;
  for (const char* want : keys) {
    std::string key;
    if (!r.str(&key) || key != want) return std::nullopt;
    bool ok = key == "kind"       ? r.str(&e.kind)
              : key == "pid"      ? r.uint(&e.pid)
              : key == "path"     ? r.str(&e.path)
              : key == "from"     ? r.str(&e.from)
              : key == "time"     ? r.uint64(&time) && time > 0
              : key == "exchange" ? r.boolean(&e.exchange)
                                  : r.uint(&e.thread_id);
    if (!ok) return std::nullopt;
  }
  if (r.p != r.end) return std::nullopt;
  if (rename) return e.kind == "rename" ? std::optional(e) : std::nullopt;
  if (e.kind != "read" && e.kind != "write" && e.kind != "open_read" && e.kind != "open_write" &&
      e.kind != "executed")
    return std::nullopt;
  return e;
}

std::optional<WireProcess> decode_wire_process(const uint8_t* payload, size_t len) {
  Reader r{payload, payload + len};
  const uint8_t* header;
  if (!r.take(1, &header) || (*header != 0x87 && *header != 0x85)) return std::nullopt;
  WireProcess p;
  std::string kind;
  if (!r.key("kind") || !r.str(&kind) || kind != "process" || !r.key("pid") || !r.uint(&p.pid) ||
      !r.key("thread_id") || !r.uint(&p.thread_id) || !r.key("parent_pid") ||
      !r.uint(&p.parent_pid) || !r.key("exec") || !r.boolean(&p.exec))
    return std::nullopt;
  if (*header == 0x87) {
    std::string cmdline, environ;
    if (!r.key("cmdline") || !r.bin(&cmdline) || !r.key("environ") || !r.bin(&environ))
      return std::nullopt;
    p.has_areas = true;
    p.command = nul_pieces(cmdline);
    p.env = nul_pieces(environ);
  }
  if (r.p != r.end) return std::nullopt;
  return p;
}

bool is_executable_read(const WireEvent& e) {
  struct stat st;
  if (e.kind == "executed") return true;
  return e.kind == "read" && stat(e.path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         (st.st_mode & S_IXUSR) != 0;
}

TracedRun run_traced(const std::vector<std::string>& argv, const TraceOptions& options) {
  TempDir sock_dir;
  std::string sock_path = sock_dir / "t.sock";
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (sock_path.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long");
  memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 128) != 0)
    throw std::runtime_error("listen failed");

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  std::string lib = preload_library_path();
  std::string socket_value = options.socket_env.value_or(sock_path);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    // Only 0-2: descriptors the test runner inherited (a lock held by the caller) would count
    // against the fixtures' own descriptor limits.
    close_range(3, ~0U, 0);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    setenv("LD_PRELOAD", lib.c_str(), 1);
    if (options.unset_socket)
      unsetenv("DREL_PRELOAD_TRACE_SOCK");
    else
      setenv("DREL_PRELOAD_TRACE_SOCK", socket_value.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  set_nonblocking(out[0]);
  set_nonblocking(err[0]);

  TracedRun run;
  std::vector<Connection> conns;
  bool out_open = true, err_open = true, exited = false;
  double started = now(), exited_at = 0;
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back({listener, POLLIN, 0});
    fds.push_back({out_open ? out[0] : -1, POLLIN, 0});
    fds.push_back({err_open ? err[0] : -1, POLLIN, 0});
    for (const Connection& c : conns) fds.push_back({c.open ? c.fd : -1, POLLIN, 0});
    int ready = poll(fds.data(), fds.size(), 10);

    for (;;) {
      int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (c < 0) break;
      ++run.connections;
      if (options.listener == Listener::HangUp) {
        close(c);
        continue;
      }
      // What arrived stays readable; every later send on it fails with EPIPE.
      if (options.listener == Listener::StopReadingFirst && run.connections == 1)
        shutdown(c, SHUT_RD);
      conns.push_back({c, {}, true});
    }
    if (out_open) out_open = drain(out[0], run.out);
    if (err_open) err_open = drain(err[0], run.err);
    for (Connection& c : conns) {
      if (c.open && !drain(c.fd, c.bytes)) {
        c.open = false;
        close(c.fd);
      }
    }
    if (!exited) {
      int status;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        exited = true;
        exited_at = now();
        run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (now() - started > kOverallTimeout) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        exited = true;
        exited_at = now();
        run.exit_status = -1;
      }
    }
    bool all_closed = !out_open && !err_open;
    for (const Connection& c : conns) all_closed = all_closed && !c.open;
    if (exited && ((all_closed && ready == 0) || now() - exited_at > kGraceAfterExit)) break;
  }
  for (Connection& c : conns)
    if (c.open) close(c.fd);
  close(listener);
  close(out[0]);
  close(err[0]);

  for (size_t i = 0; i < conns.size(); ++i) {
    const std::string& b = conns[i].bytes;
    size_t at = 0;
    size_t index = 0;
    size_t file_events = 0;
    for (; b.size() - at >= 4; ++index) {
      const auto* p = reinterpret_cast<const uint8_t*>(b.data() + at);
      uint32_t len = p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
      if (b.size() - at - 4 < len) break;
      auto event = decode_wire_event(p + 4, len);
      auto process = event ? std::nullopt : decode_wire_process(p + 4, len);
      if (event) {
        event->connection = static_cast<int>(i);
        event->frame_index = index;
        (file_events++ == 0 && is_executable_read(*event) ? run.executables : run.events)
            .push_back(*event);
      } else if (process) {
        process->connection = static_cast<int>(i);
        process->frame_index = index;
        run.processes.push_back(*process);
      } else {
        ++run.undecodable;
      }
      at += 4 + len;
    }
    run.trailing_bytes += b.size() - at;
  }
  return run;
}

}  // namespace drel::test
