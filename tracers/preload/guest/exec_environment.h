// A program started from a traced one is traced too: the environment handed to an exec or a
// spawn keeps the library first in LD_PRELOAD and the launcher's two variables, whatever the
// caller cleared or rebuilt, and nothing else in it changes.
#pragma once

#include <cstddef>

namespace drel::guest {

// Remembers the three values this process was started with (from the library's constructor,
// while the environment is untouched).
void capture_exec_environment() noexcept;

// The program an exec or spawn starts: a file (looked up along PATH as execvp does when search
// is set) or an open descriptor (fd, for fexecve).
struct ExecTarget {
  const char* file = nullptr;
  bool search = false;
  int fd = -1;
};

// The environment to pass on instead of envp, for a program that starts target: LD_PRELOAD
// names the library by its plain path when target is known to run under this process's own
// loader, else as DREL_PRELOAD_LIB does. Owns the rebuilt copy, if one was needed, in
// pages of its own (never the program's allocator); they go when this goes, which is after a
// failed exec (a successful one replaces the whole image). A vfork child's pages, left in its
// parent's memory by a successful exec, go when the parent thread next builds one.
class TracedEnvironment {
 public:
  TracedEnvironment(char* const* envp, const ExecTarget& target) noexcept;
  ~TracedEnvironment();
  TracedEnvironment(const TracedEnvironment&) = delete;
  TracedEnvironment& operator=(const TracedEnvironment&) = delete;

  char* const* get() const noexcept { return envp_; }

 private:
  char* const* envp_;
  void* pages_ = nullptr;
  size_t size_ = 0;
};

}  // namespace drel::guest
