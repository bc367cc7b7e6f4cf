#include "preflight/temp_path.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "common/file_system.h"

namespace drel {

namespace {

long subsecond_nanoseconds() {
  struct timespec ts {};
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return 0;
  return ts.tv_nsec;
}

}  // namespace

std::string format_temp_path(const std::string& dir, const std::string& prefix, pid_t pid,
                             long nanoseconds, const std::string& extension) {
  std::string name =
      "drel-" + prefix + "-" + std::to_string(pid) + "-" + std::to_string(nanoseconds) + extension;
  return join_path(dir, name);
}

std::string preflight_temp_path(const std::string& prefix, const std::string& extension) {
  const char* tmpdir = std::getenv("TMPDIR");
  return format_temp_path(tmpdir ? tmpdir : "/tmp", prefix, ::getpid(), subsecond_nanoseconds(),
                          extension);
}

}  // namespace drel
