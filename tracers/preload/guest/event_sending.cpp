#include "preload/guest/event_sending.h"

#include <sys/syscall.h>
#include <unistd.h>

#include "preload/guest/trace_connection.h"
#include "preload/guest/trace_session.h"

namespace drel::guest {
namespace {

constinit thread_local CallerIds t_ids = {0, 0};

}  // namespace

CallerIds caller_ids() noexcept {
  auto pid = static_cast<uint32_t>(getpid());
  if (t_ids.pid != pid || t_ids.tid == 0)
    t_ids = CallerIds{pid, static_cast<uint32_t>(syscall(SYS_gettid))};
  return t_ids;
}

bool send_event(EventKind kind, const char* path, size_t path_len, CallerIds ids) noexcept {
  if (!trace_session_active()) return false;
  // The path goes out from where it already is; only the frame's head is built here.
  char head[kFrameHeadCapacity];
  size_t head_len = frame_event_head(kind, ids.pid, ids.tid, path_len, head, sizeof head);
  if (head_len == 0) return false;
  return send_frame(head, head_len, path, path_len, ids.pid);
}

bool send_event(EventKind kind, const char* path, size_t path_len) noexcept {
  return send_event(kind, path, path_len, caller_ids());
}

}  // namespace drel::guest
