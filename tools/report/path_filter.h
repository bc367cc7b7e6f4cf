// The filters every listing takes: --under, --exclude, --no-system. They compose: a path is
// kept when it is under one of the --under directories (if any were given), under none of the
// --exclude ones, and, with --no-system, not a system path.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "subcommand.h"

namespace drel::report {

class PathFilter {
 public:
  // Relative directories are taken from the current directory. Each is matched both as
  // written (made absolute, "." and ".." folded) and with its links resolved, since a tracer
  // records the path the kernel used.
  explicit PathFilter(const Options& options);

  bool keeps(std::string_view path) const;

 private:
  std::vector<std::string> under_;
  std::vector<std::string> exclude_;
  bool no_system_ = false;
};

// `path` is `dir` or inside it ("/a/b" is under "/a", "/ab" is not).
bool is_under(std::string_view path, std::string_view dir);

// The directories --no-system drops, and the launcher's socket /tmp/.drel-*.sock.
bool is_system_path(std::string_view path);

}  // namespace drel::report
