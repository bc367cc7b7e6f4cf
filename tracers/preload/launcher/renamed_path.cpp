#include "preload/launcher/renamed_path.h"

namespace drel::launcher {

std::string_view without_trailing_slashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

std::optional<std::string> renamed_path(std::string_view path, std::string_view from,
                                        std::string_view to) {
  if (from.empty() || !path.starts_with(from)) return std::nullopt;
  const std::string_view rest = path.substr(from.size());
  // "/w/out.tmp" is not inside "/w/out".
  if (!rest.empty() && rest.front() != '/') return std::nullopt;
  std::string now(to);
  now += rest;
  return now;
}

}  // namespace drel::launcher
