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

// getpid and gettid once per thread and per fork, not per event.
struct ThreadIds {
  bool known;
  uint32_t generation;
  uint32_t pid;
  uint32_t tid;
};

constinit thread_local ThreadIds t_ids = {false, 0, 0, 0};

const ThreadIds& thread_ids() {
  uint32_t generation = fork_generation();
  if (!t_ids.known || t_ids.generation != generation) {
    t_ids.pid = static_cast<uint32_t>(getpid());
    t_ids.tid = static_cast<uint32_t>(syscall(SYS_gettid));
    t_ids.generation = generation;
    t_ids.known = true;
  }
  return t_ids;
}

}  // namespace

void send_event(EventKind kind, const char* path, size_t path_len) noexcept {
  size_t socket_len = 0;
  if (trace_socket_path(&socket_len) == nullptr) return;
  const ThreadIds& ids = thread_ids();
  char frame[PathText::kCapacity + kFrameOverhead];
  size_t len = frame_event(kind, ids.pid, ids.tid, path, path_len, frame, sizeof frame);
  if (len == 0) return;
  send_frame(frame, len);
}

}  // namespace drel
