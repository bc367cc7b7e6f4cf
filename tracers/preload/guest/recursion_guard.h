// Keeps the echo of a stream's own transfer (a read the stream code makes on the stream's
// descriptor under an fread) from being reported twice, and tells a report made inside another
// one (a signal handler that interrupted reporting) from the first: the library itself calls
// no wrapped function while it reports, so such a call is the program's own and is reported,
// on a connection of its own.
#pragma once

#include <cerrno>

namespace drel::guest {

// Whether the calling thread is inside the real call of a stream transfer on descriptor fd.
// Only that descriptor is guarded: a signal handler that runs meanwhile and opens or writes
// other files does what the program asked, and is reported.
bool inside_real_call_on(int fd) noexcept;

// How many reports the calling thread is making at once (more than one only in a signal
// handler that interrupted a report).
int report_depth() noexcept;

// Marks the calling thread as inside a real stream call on fd for its lifetime.
class RealCallScope {
 public:
  explicit RealCallScope(int fd) noexcept;
  ~RealCallScope();
  RealCallScope(const RealCallScope&) = delete;
  RealCallScope& operator=(const RealCallScope&) = delete;

 private:
  int previous_;
};

// Counts one report of the calling thread for its lifetime.
class ReportScope {
 public:
  ReportScope() noexcept;
  ~ReportScope();
  ReportScope(const ReportScope&) = delete;
  ReportScope& operator=(const ReportScope&) = delete;
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
