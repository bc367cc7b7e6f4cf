#include "path_flags.h"

#include <algorithm>

namespace drel::report {
namespace {

void merge(std::vector<uint32_t>& into, const std::optional<std::vector<uint32_t>>& ids) {
  if (!ids) return;
  into.insert(into.end(), ids->begin(), ids->end());
  std::sort(into.begin(), into.end());
  into.erase(std::unique(into.begin(), into.end()), into.end());
}

}  // namespace

std::map<std::string, PathFlags> files_by_path(const TraceReport& report) {
  std::map<std::string, PathFlags> out;
  for (const auto& f : report.files) {
    PathFlags& p = out[f.path];
    p.read = p.read || f.read;
    p.written = p.written || f.written;
    merge(p.read_threads, f.read_threads);
    merge(p.written_threads, f.written_threads);
  }
  return out;
}

std::string marks(bool read, bool written) {
  return std::string(1, read ? 'r' : '-') + (written ? 'w' : '-');
}

std::string path_lines(const std::vector<std::string>& paths, bool nul) {
  std::string out;
  for (const auto& p : paths) {
    out += p;
    out += nul ? '\0' : '\n';
  }
  return out;
}

}  // namespace drel::report
