#include "path_filter.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace drel::report {
namespace {

constexpr std::string_view kSystemDirs[] = {"/usr", "/lib",  "/lib64", "/bin", "/sbin",
                                            "/etc", "/proc", "/sys",   "/dev", "/run"};

std::string without_trailing_slashes(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

// The directory as written and, if it exists, with its links resolved.
void add_forms(const std::string& dir, std::vector<std::string>& out) {
  std::filesystem::path p(dir);
  if (p.is_relative()) {
    std::error_code ec;
    p = std::filesystem::current_path(ec) / p;
  }
  out.push_back(without_trailing_slashes(p.lexically_normal().string()));
  char resolved[PATH_MAX];
  if (::realpath(dir.c_str(), resolved) != nullptr) {
    std::string r = resolved;
    if (std::find(out.begin(), out.end(), r) == out.end()) out.push_back(std::move(r));
  }
}

bool under_any(std::string_view path, const std::vector<std::string>& dirs) {
  return std::any_of(dirs.begin(), dirs.end(),
                     [&](const std::string& d) { return is_under(path, d); });
}

}  // namespace

bool is_under(std::string_view path, std::string_view dir) {
  if (dir == "/") return path.starts_with('/');
  return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

bool is_system_path(std::string_view path) {
  for (auto dir : kSystemDirs)
    if (is_under(path, dir)) return true;
  return path.starts_with("/tmp/.drel-") && path.ends_with(".sock");
}

PathFilter::PathFilter(const Options& options) : no_system_(options.no_system) {
  for (const auto& d : options.under) add_forms(d, under_);
  for (const auto& d : options.exclude) add_forms(d, exclude_);
}

bool PathFilter::keeps(std::string_view path) const {
  if (!under_.empty() && !under_any(path, under_)) return false;
  if (under_any(path, exclude_)) return false;
  return !(no_system_ && is_system_path(path));
}

}  // namespace drel::report
