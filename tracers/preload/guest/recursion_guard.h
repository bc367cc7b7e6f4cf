// Keeps the library's own file calls, and whatever a real function calls back into, from
// being reported: one flag per thread, set while a wrapper reports.
#pragma once

#include <cerrno>

namespace drel::guest {

bool in_hook() noexcept;

// Sets the calling thread's flag for its lifetime, then puts back what was there.
class HookScope {
 public:
  HookScope() noexcept;
  ~HookScope();
  HookScope(const HookScope&) = delete;
  HookScope& operator=(const HookScope&) = delete;

 private:
  bool previous_;
};

// Reporting must not show through to the program, not even in errno.
class ErrnoKeeper {
 public:
  ErrnoKeeper() noexcept : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }
  ErrnoKeeper(const ErrnoKeeper&) = delete;
  ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

 private:
  int saved_;
};

}  // namespace drel::guest
