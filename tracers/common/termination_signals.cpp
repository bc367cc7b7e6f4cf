#include "common/termination_signals.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace drel {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr long kTickMicroseconds = 10'000;
constexpr int kDeadlineTicks = 10;  // 100 ms

// Shared with the handlers; lock-free atomics are async-signal-safe.
std::atomic<pid_t> g_command{0};
std::atomic<pid_t> g_tracer{0};
std::atomic<int> g_first{0};
std::atomic<int> g_hurry{0};
// Who sent the first signal and when: timeout sends its signal to the tracer and then to the
// tracer's group, so the same signal from the same sender just after is that one again.
std::atomic<pid_t> g_first_sender{0};
std::atomic<long long> g_first_ns{0};
constexpr long long kSameEventNs = 200'000'000;
std::atomic<int> g_ticks{0};
// A signal that came before the command's pid was known: passed on (or not) once it is.
std::atomic<int> g_early{0};
std::atomic<int> g_early_code{0};
std::atomic<pid_t> g_early_sender{0};
// Signals from a process of our group, held back a moment: such a sender often signals the
// whole group next (timeout does: the child, then the group), and a copy the command gets then
// must not be doubled. Bit sig - 1 each.
std::atomic<unsigned long> g_deferred{0};
std::atomic<unsigned long> g_delivered{0};
std::atomic<bool> g_timer_armed{false};
constexpr long kDeferMicroseconds = 20'000;
char g_remove_path[256];
std::atomic<bool> g_remove_set{false};

struct sigaction g_saved[std::size(kSignals)];
bool g_installed[std::size(kSignals)];
struct sigaction g_saved_alarm;

// Reads a small /proc file into buf with system calls only; the length read, or -1.
ssize_t read_proc(const char* path, char* buf, size_t size) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t total = 0;
  while (static_cast<size_t>(total) + 1 < size) {
    const ssize_t n = ::read(fd, buf + total, size - 1 - static_cast<size_t>(total));
    if (n <= 0) break;
    total += n;
  }
  ::close(fd);
  buf[total] = '\0';
  return total;
}

// "/proc/<pid>/<name>" into out, without the C library's formatting.
void proc_path(pid_t pid, const char* name, char* out) {
  char digits[16];
  int n = 0;
  for (unsigned v = static_cast<unsigned>(pid); n == 0 || v != 0; v /= 10)
    digits[n++] = static_cast<char>('0' + v % 10);
  char* p = out;
  for (const char* s = "/proc/"; *s != '\0'; ++s) *p++ = *s;
  while (n > 0) *p++ = digits[--n];
  *p++ = '/';
  for (const char* s = name; *s != '\0'; ++s) *p++ = *s;
  *p = '\0';
}

pid_t parent_of(pid_t pid) {
  char path[64];
  char stat[512];
  proc_path(pid, "stat", path);
  if (read_proc(path, stat, sizeof stat) <= 0) return 0;
  const char* p = std::strrchr(stat, ')');  // the name may hold anything but ends there
  if (p == nullptr || p[1] == '\0' || p[2] == '\0' || p[3] != ' ') return 0;
  pid_t ppid = 0;
  for (p += 4; *p >= '0' && *p <= '9'; ++p) ppid = ppid * 10 + (*p - '0');
  return ppid;
}

bool descends_from(pid_t pid, pid_t ancestor) {
  for (int hop = 0; hop < 256 && pid > 1; ++hop) {
    pid = parent_of(pid);
    if (pid == ancestor) return true;
  }
  return false;
}

// Whether sig waits in the process's pending sets (its own or its main thread's).
bool pending_in(pid_t pid, int sig) {
  char path[64];
  char status[4096];
  proc_path(pid, "status", path);
  if (read_proc(path, status, sizeof status) <= 0) return false;
  for (const char* key : {"SigPnd:", "ShdPnd:"}) {
    const char* p = std::strstr(status, key);
    if (p == nullptr) continue;
    p += std::strlen(key);
    while (*p == ' ' || *p == '\t') ++p;
    unsigned long long mask = 0;
    for (;; ++p) {
      const char c = *p;
      const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (d < 0) break;
      mask = mask << 4 | static_cast<unsigned>(d);
    }
    if (mask & (1ULL << (sig - 1))) return true;
  }
  return false;
}

// Whether the command received this signal itself, so that passing it on would deliver it
// twice. A terminal sends to its foreground group; the command or one of its processes that
// signals the tracer has signalled the group (kill(0), as make and shells do); a signal sent to
// the group from outside still waits in the command's pending set when the tracer looks. All of
// these reach the command only while it is in the tracer's group.
bool command_got_it_too(const siginfo_t* info, pid_t command, int sig) {
  if (::getpgid(command) != ::getpgrp()) return false;
  if (info->si_code == SI_KERNEL) return true;
  if (info->si_code != SI_USER && info->si_code != SI_QUEUE) return false;
  if (info->si_pid == command || descends_from(info->si_pid, command)) return true;
  return pending_in(command, sig);
}

void on_tick(int);

void arm_timer(long first_us, long interval_us) {
  if (!g_timer_armed.exchange(true)) {
    struct sigaction tick {};
    tick.sa_handler = on_tick;
    ::sigemptyset(&tick.sa_mask);
    ::sigaction(SIGALRM, &tick, &g_saved_alarm);
  }
  const itimerval when{{0, interval_us}, {0, first_us}};
  ::setitimer(ITIMER_REAL, &when, nullptr);
}

unsigned long bit(int sig) {
  return 1UL << (sig - 1);
}

// Whether the process has ended (a zombie, or reaped already).
bool ended(pid_t pid) {
  char path[64];
  char stat[512];
  proc_path(pid, "stat", path);
  if (read_proc(path, stat, sizeof stat) <= 0) return true;
  const char* p = std::strrchr(stat, ')');
  return p != nullptr && p[1] == ' ' && (p[2] == 'Z' || p[2] == 'X');
}

// Passes on the held-back signals of which the command has shown no copy of its own.
void settle_deferred() {
  const unsigned long held = g_deferred.exchange(0);
  const pid_t command = g_command.load();
  if (held == 0 || command <= 0) return;
  for (const int sig : kSignals) {
    if (!(held & bit(sig)) || (g_delivered.load() & bit(sig))) continue;
    if (pending_in(command, sig) || ended(command)) continue;
    ::kill(command, sig);
  }
}

// Passes the signal on unless the command received it too.
void pass_on(int sig, int code, pid_t sender, pid_t command) {
  siginfo_t info{};
  info.si_code = code;
  info.si_pid = sender;
  if (command_got_it_too(&info, command, sig)) return;
  const bool from_our_group =
      (code == SI_USER || code == SI_QUEUE) && sender > 0 && ::getpgid(sender) == ::getpgrp();
  if (!from_our_group) {
    ::kill(command, sig);
    return;
  }
  g_delivered.fetch_and(~bit(sig));
  g_deferred.fetch_or(bit(sig));
  if (g_hurry.load() == 0) arm_timer(kDeferMicroseconds, 0);  // the deadline's ticks settle it too
}

// Takes the early signal, if nobody else has, and passes it on.
void pass_on_early(pid_t command) {
  const int sig = g_early.exchange(0);
  if (sig != 0) pass_on(sig, g_early_code.load(), g_early_sender.load(), command);
}

void on_tick(int) {
  const int saved_errno = errno;
  settle_deferred();
  errno = saved_errno;
  if (g_hurry.load() == 0) return;
  if (g_ticks.fetch_add(1) + 1 < kDeadlineTicks) return;  // each tick also wakes a blocked wait
  if (g_remove_set.load()) ::unlink(g_remove_path);
  ::_exit(128 + g_hurry.load());
}

void start_deadline() {
  arm_timer(kTickMicroseconds, kTickMicroseconds);
}

void on_signal(int sig, siginfo_t* info, void*) {
  const int saved_errno = errno;
  // A forked child that has not executed yet must not act for the tracer.
  if (::getpid() == g_tracer.load()) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long long now_ns = now.tv_sec * 1'000'000'000LL + now.tv_nsec;
    const pid_t sender = info->si_code == SI_USER || info->si_code == SI_QUEUE ? info->si_pid : 0;
    int none = 0;
    const bool first = g_first.compare_exchange_strong(none, sig);
    if (first) {
      g_first_sender = sender;
      g_first_ns = now_ns;
    }
    const bool same_event = !first && sig == g_first.load() && sender == g_first_sender.load() &&
                            now_ns - g_first_ns.load() < kSameEventNs;
    if (!first && !same_event && (sig == SIGINT || sig == SIGTERM)) {
      int not_yet = 0;
      if (g_hurry.compare_exchange_strong(not_yet, sig)) start_deadline();
    }
    pid_t command = g_command.load();
    if (command > 0) {
      pass_on(sig, info->si_code, info->si_pid, command);
    } else {
      // The command may have started already: set_command passes this on, or, if it has just
      // run, this handler does.
      g_early_code = info->si_code;
      g_early_sender = info->si_pid;
      g_early = sig;
      command = g_command.load();
      if (command > 0) pass_on_early(command);
    }
  }
  errno = saved_errno;
}

}  // namespace

TerminationSignals::TerminationSignals() {
  g_tracer = ::getpid();
  g_command = 0;
  g_first = 0;
  g_hurry = 0;
  g_ticks = 0;
  g_early = 0;
  g_deferred = 0;
  g_delivered = 0;
  g_remove_set = false;
  struct sigaction handler {};
  handler.sa_sigaction = on_signal;
  handler.sa_flags = SA_SIGINFO;  // no SA_RESTART: a blocked wait returns to look at the flags
  ::sigemptyset(&handler.sa_mask);
  for (const int sig : kSignals) ::sigaddset(&handler.sa_mask, sig);
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    g_installed[i] = false;
    if (::sigaction(kSignals[i], nullptr, &g_saved[i]) != 0) continue;
    if (g_saved[i].sa_handler == SIG_IGN) continue;
    g_installed[i] = ::sigaction(kSignals[i], &handler, nullptr) == 0;
  }
}

TerminationSignals::~TerminationSignals() {
  if (g_timer_armed.exchange(false)) {
    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &g_saved_alarm, nullptr);
  }
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    if (g_installed[i]) ::sigaction(kSignals[i], &g_saved[i], nullptr);
  }
  g_command = 0;
  g_remove_set = false;
}

void TerminationSignals::set_command(pid_t pid) {
  g_command = pid;
  pass_on_early(pid);
}

void TerminationSignals::remove_on_forced_exit(const char* path) {
  const size_t len = std::strlen(path);
  if (len >= sizeof g_remove_path) return;
  std::memcpy(g_remove_path, path, len + 1);
  g_remove_set = true;
}

void TerminationSignals::note_delivered(pid_t task, int sig) const {
  if (task == g_command.load() && sig >= 1 && sig <= 64) g_delivered.fetch_or(bit(sig));
}

int TerminationSignals::first_signal() const {
  return g_first.load();
}

int TerminationSignals::hurry_signal() const {
  return g_hurry.load();
}

void TerminationSignals::reset_in_child() const noexcept {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigemptyset(&dfl.sa_mask);
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    if (g_installed[i]) ::sigaction(kSignals[i], &dfl, nullptr);
  }
}

}  // namespace drel
