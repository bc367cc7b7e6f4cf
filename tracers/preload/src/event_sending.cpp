#include "preload/src/event_sending.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "preload/src/path_text.h"
#include "preload/src/trace_connection.h"
#include "preload/src/trace_session.h"

namespace drel {
namespace {

// Map header, keys, the longest kind name, two 5-byte integers and a 5-byte string header.
constexpr size_t kFrameOverhead = 64;

}  // namespace

void send_event(EventKind kind, const char* path, size_t path_len) noexcept {
  size_t socket_len = 0;
  if (trace_socket_path(&socket_len) == nullptr) return;
  auto pid = static_cast<uint32_t>(getpid());
  auto tid = static_cast<uint32_t>(syscall(SYS_gettid));
  char frame[PathText::kCapacity + kFrameOverhead];
  size_t len = frame_event(kind, pid, tid, path, path_len, frame, sizeof frame);
  if (len == 0) return;
  send_frame(frame, len, pid);
}

}  // namespace drel
