#include "proc_info.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>

#include "common/file_system.h"
#include "common/unique_fd.h"
#include "common/utf8.h"

namespace drel {

std::optional<std::string> read_file_bytes(const std::string& path) {
  Result<std::string> bytes = read_whole_file(path);
  if (!bytes) return std::nullopt;
  return std::move(*bytes);
}

bool read_proc_text_into(const std::string& path, std::string& out) {
  out.clear();
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    out.append(buf, static_cast<size_t>(n));
    if (static_cast<size_t>(n) < sizeof buf) return true;
  }
}

std::optional<std::string> read_proc_text(const std::string& path) {
  std::string bytes;
  if (!read_proc_text_into(path, bytes)) return std::nullopt;
  return bytes;
}

std::vector<std::string> split_nul_pieces(std::string_view bytes) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= bytes.size()) {
    size_t end = bytes.find('\0', start);
    if (end == std::string_view::npos) end = bytes.size();
    if (end > start) pieces.push_back(lossy_utf8(bytes.substr(start, end - start)));
    start = end + 1;
  }
  return pieces;
}

EnvMap parse_environ(std::string_view bytes) {
  EnvMap env;
  for (auto& piece : split_nul_pieces(bytes)) {
    const size_t eq = piece.find('=');
    if (eq == std::string::npos) {
      env.insert_or_assign(std::move(piece), std::string());
    } else {
      env.insert_or_assign(piece.substr(0, eq), piece.substr(eq + 1));
    }
  }
  return env;
}

std::optional<uint32_t> parse_status_number(std::string_view status_text, std::string_view key) {
  constexpr std::string_view kSpace = " \t\r\n\v\f";
  size_t pos = 0;
  while (pos < status_text.size()) {
    size_t eol = status_text.find('\n', pos);
    if (eol == std::string_view::npos) eol = status_text.size();
    std::string_view line = status_text.substr(pos, eol - pos);
    pos = eol + 1;
    if (!line.starts_with(key)) continue;
    std::string_view value = line.substr(key.size());
    const size_t first = value.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return std::nullopt;
    value = value.substr(first, value.find_last_not_of(kSpace) - first + 1);
    if (value.starts_with('+')) value.remove_prefix(1);
    if (value.empty()) return std::nullopt;
    for (char c : value)
      if (c < '0' || c > '9') return std::nullopt;
    uint32_t out = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), out);
    if (ec != std::errc() || end != value.data() + value.size()) return std::nullopt;
    return out;
  }
  return std::nullopt;
}

std::optional<uint32_t> parse_ppid(std::string_view status_text) {
  return parse_status_number(status_text, "PPid:");
}

std::optional<uint32_t> read_parent_pid(int pid) {
  const auto status = read_file_bytes("/proc/" + std::to_string(pid) + "/status");
  if (!status || !is_valid_utf8(*status)) return std::nullopt;
  return parse_ppid(*status);
}

const EnvMap& EnvironCache::parse(std::string_view bytes) {
  if (!filled_ || bytes != bytes_) {
    env_ = parse_environ(bytes);
    bytes_.assign(bytes);
    filled_ = true;
  }
  return env_;
}

std::optional<ProcessInfo> read_process_info(int pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  const std::optional<std::string> cmdline = read_proc_text(dir + "/cmdline");
  if (!cmdline) return std::nullopt;
  std::string environ_text;
  if (!read_proc_text_into(dir + "/environ", environ_text)) environ_text.clear();
  ProcessInfo info;
  info.command = split_nul_pieces(*cmdline);
  info.env = parse_environ(environ_text);
  return info;
}

Result<std::string> current_executable_path() {
  Result<std::string> path = read_link("/proc/self/exe");
  if (!path && errno == ENOENT) return Error("no /proc/self/exe available. Is /proc mounted?");
  return path;
}

std::optional<std::string> self_exe_path() {
  Result<std::string> path = current_executable_path();
  if (!path) return std::nullopt;
  return std::move(*path);
}

}  // namespace drel
