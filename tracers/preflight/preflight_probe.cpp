#include "preflight/preflight_probe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/fd_write.h"
#include "common/file_system.h"
#include "common/unique_fd.h"
#include "common/utf8.h"

namespace drel {

namespace {

// Plain open/write/read/rename on purpose: in drel-tracer-preload these calls bind to the
// program's own exported wrappers, which is what makes the probe a traced workload.
Result<void> write_payload(const std::string& path, std::string_view payload) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) return Error::os("failed to write " + lossy_utf8(path), errno);
  if (const int err = write_all(fd.get(), payload.data(), payload.size()); err != 0) {
    return Error::os("failed to write " + lossy_utf8(path), err);
  }
  if (::close(fd.release()) != 0) return Error::os("failed to write " + lossy_utf8(path), errno);
  return Ok{};
}

Result<std::string> read_back(const std::string& path) {
  Result<std::string> bytes = read_whole_file(path);
  if (!bytes) return std::move(bytes).error().context("failed to read " + lossy_utf8(path));
  return bytes;
}

Result<void> rename_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    return Error::os("failed to rename " + lossy_utf8(from) + " -> " + lossy_utf8(to), errno);
  }
  return Ok{};
}

}  // namespace

std::string probe_second_name(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  // A leading dot marks a hidden name, not an extension.
  if (dot != std::string::npos && dot > name_start) return path.substr(0, dot + 1) + "renamed";
  return path + ".renamed";
}

Result<void> run_preflight_probe(const std::string& path, std::string_view payload) {
  if (Result<void> w = write_payload(path, payload); !w) return std::move(w).error();
  Result<std::string> bytes = read_back(path);
  if (!bytes) return std::move(bytes).error();
  if (*bytes != payload) return Error("probe payload mismatch");
  const std::string second = probe_second_name(path);
  if (Result<void> r = rename_file(path, second); !r) return std::move(r).error();
  if (Result<void> r = rename_file(second, path); !r) return std::move(r).error();
  return Ok{};
}

}  // namespace drel
