#include "report_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "common/fd_write.h"
#include "common/file_system.h"
#include "common/report_encoder.h"
#include "common/unique_fd.h"

namespace drel {

namespace {

// The kernel's limit on links followed in one lookup.
constexpr int kMaxLinkHops = 40;

// The file a write to path lands on: each symbolic link replaced by its target, which need not
// exist. Whatever cannot be looked at is left for the write to report.
std::string follow_links(std::string path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    Result<std::string> target = read_link(path);
    if (!target || target->empty()) return path;
    if (target->front() == '/') {
      path = std::move(*target);
    } else {
      const size_t slash = path.rfind('/');
      path = slash == std::string::npos ? *target : path.substr(0, slash + 1) + *target;
    }
  }
  return path;
}

std::string parent_dir(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string last_component(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Result<void> write_in_place(const std::string& path, std::span<const uint8_t> bytes) {
  int raw;
  do {
    raw = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return Error::os(errno);
  UniqueFd fd(raw);
  if (const int err = write_all(fd.get(), bytes.data(), bytes.size()); err != 0) {
    return Error::os(err);
  }
  // A close failure (e.g. deferred write errors on network file systems) loses data too.
  // Linux releases the descriptor even when close fails, so it is not retried.
  if (::close(fd.release()) != 0 && errno != EINTR) return Error::os(errno);
  return Ok{};
}

// A new file beside `target` that nothing else uses; removed again unless keep() is called.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& target) {
    const std::string stem = join_path(
        parent_dir(target), "." + last_component(target) + "." + std::to_string(::getpid()) + "-");
    for (int n = 0; n < 100; ++n) {
      std::string candidate = stem + std::to_string(n) + ".tmp";
      fd_.reset(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (fd_) {
        path_ = std::move(candidate);
        return;
      }
      if (errno != EEXIST) break;
    }
    error_ = errno;
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  UniqueFd& fd() { return fd_; }
  int error() const { return error_; }  // why no file could be made
  const std::string& path() const { return path_; }
  void keep() { path_.clear(); }

 private:
  UniqueFd fd_;
  std::string path_;
  int error_ = 0;
};

Result<void> replace_by_rename(const std::string& target, const struct stat* existing,
                               std::span<const uint8_t> bytes) {
  TemporaryFile tmp(target);
  if (!tmp.fd()) {
    // A file that may be written in a directory that may not: only in place can it change.
    if (existing != nullptr && (tmp.error() == EACCES || tmp.error() == EPERM)) {
      return write_in_place(target, bytes);
    }
    return Error::os(tmp.error());
  }
  const int fd = tmp.fd().get();
  if (existing != nullptr) {
    // Best effort: only the owner or root may do these, and the data matters more.
    if (existing->st_uid != ::geteuid() || existing->st_gid != ::getegid()) {
      (void)::fchown(fd, existing->st_uid, existing->st_gid);
    }
    if (::fchmod(fd, existing->st_mode & 07777) != 0) return Error::os(errno);
  }
  if (const int err = write_all(fd, bytes.data(), bytes.size()); err != 0) return Error::os(err);
  // Data on disk before the name points at it: a crash then leaves the old report or the new.
  if (::fsync(fd) != 0 && errno != EINVAL) return Error::os(errno);
  if (::close(tmp.fd().release()) != 0 && errno != EINTR) return Error::os(errno);
  if (::rename(tmp.path().c_str(), target.c_str()) != 0) return Error::os(errno);
  tmp.keep();
  return Ok{};
}

// Over RLIMIT_FSIZE a write raises SIGXFSZ, which would end the tracer and lose the report;
// ignored, the write fails with EFBIG instead. Only while the report is written: an ignored
// signal would be inherited by the traced command.
class FileSizeSignalIgnored {
 public:
  FileSizeSignalIgnored() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    saved_ok_ = ::sigaction(SIGXFSZ, &ignore, &saved_) == 0;
  }
  FileSizeSignalIgnored(const FileSizeSignalIgnored&) = delete;
  FileSizeSignalIgnored& operator=(const FileSizeSignalIgnored&) = delete;
  ~FileSizeSignalIgnored() {
    if (saved_ok_) ::sigaction(SIGXFSZ, &saved_, nullptr);
  }

 private:
  struct sigaction saved_ {};
  bool saved_ok_ = false;
};

}  // namespace

Result<void> write_report_bytes(const std::string& path, std::span<const uint8_t> bytes) {
  const std::string target = follow_links(path);
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0) return replace_by_rename(target, nullptr, bytes);
  // A rename must never replace a device node or a pipe.
  if (!S_ISREG(st.st_mode)) return write_in_place(target, bytes);
  // A file this process may not write fails as it always did, though its directory might let
  // a rename replace it.
  if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return Error::os(errno);
  return replace_by_rename(target, &st, bytes);
}

Result<std::string> save_report_in_tmpdir(const std::string& path, std::span<const uint8_t> bytes) {
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string dir = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  std::string name = last_component(path);
  if (name.empty() || name == "." || name == "..") name = "drel-report";
  std::string saved = join_path(dir, name);
  // Others may share the directory (and read environments in a report): only a new file, and
  // only for this user.
  UniqueFd fd(::open(saved.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd && errno == EEXIST) {
    saved += ".XXXXXX";
    fd.reset(::mkostemp(saved.data(), O_CLOEXEC));
  }
  if (!fd) return Error::os(errno);
  const int err = write_all(fd.get(), bytes.data(), bytes.size());
  if (err != 0 || ::close(fd.release()) != 0) {
    const int failure = err != 0 ? err : errno;
    ::unlink(saved.c_str());
    return Error::os(failure);
  }
  return saved;
}

Result<void> write_report(const TraceReport& report, const std::string& path) {
  auto bytes = encode_report(report);
  if (!bytes) return std::move(bytes).error().context("failed to serialize report");
  const FileSizeSignalIgnored no_sigxfsz;
  auto written = write_report_bytes(path, *bytes);
  if (written) return Ok{};
  Error error = std::move(written).error().context("failed to write report to " + path);
  Result<std::string> saved = save_report_in_tmpdir(path, *bytes);
  if (saved) return std::move(error).with_note("the report was saved to " + *saved);
  return std::move(error).with_note("the report could not be saved in TMPDIR either: " +
                                    saved.error().text());
}

}  // namespace drel
