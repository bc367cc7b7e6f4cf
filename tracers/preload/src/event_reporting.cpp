#include "preload/src/event_reporting.h"

#include <fcntl.h>

#include "preload/src/event_sending.h"
#include "preload/src/fd_path.h"
#include "preload/src/open_classification.h"
#include "preload/src/open_path.h"
#include "preload/src/path_text.h"
#include "preload/src/resolve_at_path.h"

namespace drel {
namespace {

void send_open_events(const PathText& path, int flags) {
  OpenAccess access = classify_open(flags);
  if (access.read) send_event(EventKind::OpenRead, path.bytes, path.len);
  if (access.write) send_event(EventKind::OpenWrite, path.bytes, path.len);
}

}  // namespace

void report_fd_access(int fd, EventKind kind) noexcept {
  PathText path;
  if (fd_path(fd, path)) send_event(kind, path.bytes, path.len);
}

void report_fd_accesses(int fd, bool read, bool write) noexcept {
  if (!read && !write) return;
  PathText path;
  if (!fd_path(fd, path)) return;
  if (read) send_event(EventKind::Read, path.bytes, path.len);
  if (write) send_event(EventKind::Write, path.bytes, path.len);
}

void report_open(const char* path, int flags) noexcept {
  PathText text;
  if (open_path(path, text) && text.len > 0) send_open_events(text, flags);
}

void report_open_at(int dirfd, const char* path, int flags) noexcept {
  if (dirfd == AT_FDCWD) return report_open(path, flags);
  PathText at;
  if (!resolve_at_path(dirfd, path, at)) return;
  // Under a directory descriptor the path arrives absolute and is taken as it is.
  if (at.bytes[0] == '/') return send_open_events(at, flags);
  report_open(at.bytes, flags);
}

void report_path_write(const char* path) noexcept {
  if (path == nullptr) return;
  PathText text;
  if (utf8_text(path, c_length(path), text) && text.len > 0)
    send_event(EventKind::Write, text.bytes, text.len);
}

void report_path_write_at(int dirfd, const char* path) noexcept {
  PathText text;
  if (resolve_at_path(dirfd, path, text)) send_event(EventKind::Write, text.bytes, text.len);
}

}  // namespace drel
