// A report's files by path, in byte order: a path the report holds twice (a record moved to a
// new name after the fact) is one entry whose flags and threads are those of both records.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/report.h"

namespace drel::report {

struct PathFlags {
  bool read = false;
  bool written = false;
  std::vector<uint32_t> read_threads;  // ascending, each once
  std::vector<uint32_t> written_threads;
};

std::map<std::string, PathFlags> files_by_path(const TraceReport& report);

// "rw", "r-", "-w" or "--".
std::string marks(bool read, bool written);

// One path per line, or each ended by NUL.
std::string path_lines(const std::vector<std::string>& paths, bool nul);

}  // namespace drel::report
