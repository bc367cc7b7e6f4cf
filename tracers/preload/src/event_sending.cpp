#include "preload/src/event_sending.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "preload/src/trace_connection.h"
#include "preload/src/trace_session.h"

namespace drel {

void send_event(EventKind kind, const char* path, size_t path_len) noexcept {
  size_t socket_len = 0;
  if (trace_socket_path(&socket_len) == nullptr) return;
  auto pid = static_cast<uint32_t>(getpid());
  auto tid = static_cast<uint32_t>(syscall(SYS_gettid));
  // The path goes out from where it already is; only the frame's head is built here.
  char head[kFrameHeadCapacity];
  size_t head_len = frame_event_head(kind, pid, tid, path_len, head, sizeof head);
  if (head_len == 0) return;
  send_frame(head, head_len, path, path_len, pid);
}

}  // namespace drel
