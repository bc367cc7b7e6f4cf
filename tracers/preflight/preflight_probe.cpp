#include "preflight/preflight_probe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/unique_fd.h"
#include "common/utf8.h"

namespace drel {

namespace {

// Plain open/write/read/rename on purpose: in drel-tracer-preload these calls bind to the
// program's own exported wrappers, which is what makes the probe a traced workload.
Result<void> write_payload(const std::string& path, std::string_view payload) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) return Error::os("failed to write " + lossy_utf8(path), errno);
  size_t done = 0;
  while (done < payload.size()) {
    const ssize_t n = ::write(fd.get(), payload.data() + done, payload.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::os("failed to write " + lossy_utf8(path), errno);
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd.release()) != 0) return Error::os("failed to write " + lossy_utf8(path), errno);
  return Ok{};
}

Result<std::string> read_back(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return Error::os("failed to read " + lossy_utf8(path), errno);
  std::string bytes;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::os("failed to read " + lossy_utf8(path), errno);
    }
    bytes.append(buf, static_cast<size_t>(n));
  }
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
