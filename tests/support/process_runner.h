// Runs a real program for end-to-end tests and captures what it printed and how it ended.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace drel::test {

struct RunResult {
  int exit_status = -1;  // exit code, or 128 + signal number
  std::string out;
  std::string err;
};

struct RunOptions {
  std::map<std::string, std::optional<std::string>> env;  // set (value) or unset (nullopt)
  std::string cwd;                                         // empty: inherit
  std::string stdin_data;
};

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});

// Directory of the built programs and the interposition library: $DREL_BIN_DIR, else the
// build tree's bin/ directory.
std::string bin_dir();
std::string bin_path(const std::string& name);
// Whether the program at path is a native ELF program the dynamic loader starts (so an
// interposition library can load into it): false for static ones and for what is missing.
bool loads_the_dynamic_loader(const std::string& path);
// Directory of the fixture programs: $DREL_FIXTURE_DIR, else the build tree's fixtures/.
std::string fixture_path(const std::string& name);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

}  // namespace drel::test
