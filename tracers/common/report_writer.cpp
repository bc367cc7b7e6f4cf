#include "report_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/report_encoder.h"
#include "common/unique_fd.h"

namespace drel {

Result<void> write_report_bytes(const std::string& path, std::span<const uint8_t> bytes) {
  int raw;
  do {
    raw = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return Error::os(errno);
  UniqueFd fd(raw);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::os(errno);
    }
    done += static_cast<size_t>(n);
  }
  // A close failure (e.g. deferred write errors on network file systems) loses data too.
  // Linux releases the descriptor even when close fails, so it is not retried.
  if (::close(fd.release()) != 0 && errno != EINTR) return Error::os(errno);
  return Ok{};
}

Result<void> write_report(const TraceReport& report, const std::string& path) {
  auto bytes = encode_report(report);
  if (!bytes) return std::move(bytes).error().context("failed to serialize report");
  auto written = write_report_bytes(path, *bytes);
  if (!written) return std::move(written).error().context("failed to write report to " + path);
  return Ok{};
}

}  // namespace drel
