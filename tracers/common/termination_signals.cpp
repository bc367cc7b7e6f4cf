#include "common/termination_signals.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

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
std::atomic<int> g_ticks{0};
char g_remove_path[256];
std::atomic<bool> g_remove_set{false};

struct sigaction g_saved[std::size(kSignals)];
bool g_installed[std::size(kSignals)];
struct sigaction g_saved_alarm;

// Whether the command received this signal itself: a terminal sends to its foreground group,
// and a process of our group that signals us has, almost always, signalled the group (kill(0)
// or killpg, as timeout and make do). Either reaches the command only while it is in our group.
bool command_got_it_too(const siginfo_t* info, pid_t command) {
  const pid_t group = ::getpgrp();
  if (::getpgid(command) != group) return false;
  if (info->si_code == SI_KERNEL) return true;
  if (info->si_code != SI_USER && info->si_code != SI_QUEUE) return false;
  if (info->si_pid == command) return true;
  return info->si_pid > 0 && ::getpgid(info->si_pid) == group;
}

void on_tick(int) {
  if (g_ticks.fetch_add(1) + 1 < kDeadlineTicks) return;  // each tick also wakes a blocked wait
  if (g_remove_set.load()) ::unlink(g_remove_path);
  ::_exit(128 + g_hurry.load());
}

void start_deadline() {
  struct sigaction tick {};
  tick.sa_handler = on_tick;
  ::sigemptyset(&tick.sa_mask);
  ::sigaction(SIGALRM, &tick, &g_saved_alarm);
  const itimerval every{{0, kTickMicroseconds}, {0, kTickMicroseconds}};
  ::setitimer(ITIMER_REAL, &every, nullptr);
}

void on_signal(int sig, siginfo_t* info, void*) {
  const int saved_errno = errno;
  // A forked child that has not executed yet must not act for the tracer.
  if (::getpid() == g_tracer.load()) {
    int none = 0;
    const bool first = g_first.compare_exchange_strong(none, sig);
    if (!first && (sig == SIGINT || sig == SIGTERM)) {
      int not_yet = 0;
      if (g_hurry.compare_exchange_strong(not_yet, sig)) start_deadline();
    }
    const pid_t command = g_command.load();
    if (command > 0 && !command_got_it_too(info, command)) ::kill(command, sig);
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
  if (g_hurry.load() != 0) {
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

void TerminationSignals::set_command(pid_t pid) { g_command = pid; }

void TerminationSignals::remove_on_forced_exit(const char* path) {
  const size_t len = std::strlen(path);
  if (len >= sizeof g_remove_path) return;
  std::memcpy(g_remove_path, path, len + 1);
  g_remove_set = true;
}

int TerminationSignals::first_signal() const { return g_first.load(); }

int TerminationSignals::hurry_signal() const { return g_hurry.load(); }

void TerminationSignals::reset_in_child() noexcept {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigemptyset(&dfl.sa_mask);
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    if (g_installed[i]) ::sigaction(kSignals[i], &dfl, nullptr);
  }
}

}  // namespace drel
