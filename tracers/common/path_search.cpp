#include "common/path_search.h"

#include "common/file_system.h"

namespace drel {

std::vector<std::string> path_search_candidates(const std::string& file,
                                                std::string_view path_value) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t colon = path_value.find(':', start);
    const size_t end = colon == std::string_view::npos ? path_value.size() : colon;
    out.push_back(join_path(std::string(path_value.substr(start, end - start)), file));
    if (colon == std::string_view::npos) return out;
    start = colon + 1;
  }
}

}  // namespace drel
