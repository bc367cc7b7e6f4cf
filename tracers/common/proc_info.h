// What /proc tells about a process: parent, argument vector, environment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/report.h"

namespace drel {

// The whole file as bytes (read_whole_file); nullopt when it cannot be opened or read.
std::optional<std::string> read_file_bytes(const std::string& path);

// /proc/<pid>/cmdline or environ whole: the kernel fills a read as far as the text goes, so a
// short read is its end and costs no second read. nullopt when it cannot be opened or read.
std::optional<std::string> read_proc_text(const std::string& path);
// The same into `out`, reusing its storage; false when it cannot be opened or read.
bool read_proc_text_into(const std::string& path, std::string& out);

// NUL-separated pieces (as in cmdline and environ), empty pieces dropped, each piece
// converted to UTF-8 lossily.
std::vector<std::string> split_nul_pieces(std::string_view bytes);

// "NAME=value" pieces split at the first "="; a piece without "=" has an empty value; a later
// duplicate name wins.
EnvMap parse_environ(std::string_view bytes);

// The value of the first line of a status file that starts with key (such as "Tgid:"): white
// space trimmed, an optional leading "+", then decimal digits that fit 32 bits unsigned.
std::optional<uint32_t> parse_status_number(std::string_view status_text, std::string_view key);

// parse_status_number for "PPid:".
std::optional<uint32_t> parse_ppid(std::string_view status_text);

// Parent of a process from /proc/<pid>/status (which must be UTF-8).
std::optional<uint32_t> read_parent_pid(int pid);

struct ProcessInfo {
  std::vector<std::string> command;
  EnvMap env;
};

// The last environment parsed, kept with its bytes: nearly every process of a run has the same
// one, and copying it costs much less than splitting and converting it again.
class EnvironCache {
 public:
  const EnvMap& parse(std::string_view bytes);

 private:
  bool filled_ = false;
  std::string bytes_;
  EnvMap env_;
};

// nullopt when /proc/<pid>/cmdline cannot be read; an unreadable environ counts as empty.
std::optional<ProcessInfo> read_process_info(int pid);

// The raw bytes of the /proc/self/exe link. A missing link gives "no /proc/self/exe
// available. Is /proc mounted?"; any other failure the operating system's error text.
Result<std::string> current_executable_path();

// The same without the reason.
std::optional<std::string> self_exe_path();

}  // namespace drel
