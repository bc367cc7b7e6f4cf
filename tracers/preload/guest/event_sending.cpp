#include "preload/guest/event_sending.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "preload/guest/calling_pid.h"
#include "preload/guest/process_description.h"
#include "preload/guest/trace_connection.h"
#include "preload/guest/trace_session.h"
#include "preload/guest/raw_syscall.h"

namespace drel::guest {
namespace {

constinit thread_local CallerIds t_ids = {0, 0};

// Events this process built but could not send, not yet told to the launcher. Shared by all
// threads (and by a vfork child, whose losses its parent then reports).
constinit std::atomic<uint64_t> g_lost{0};

// Tells the launcher what was lost so far, after a send showed that it listens.
void send_lost_count(CallerIds ids) {
  uint64_t lost = g_lost.exchange(0, std::memory_order_relaxed);
  if (lost == 0) return;
  char frame[kFrameHeadCapacity];
  size_t len = frame_dropped(ids.pid, ids.tid, lost, frame, sizeof frame);
  if (len == 0 || !send_frame(frame, len, nullptr, 0, ids.pid))
    g_lost.fetch_add(lost, std::memory_order_relaxed);
}

// Both heads live here only, off the stack of the paths that send one frame and of what is
// sent before (the process's description) and after (the count of lost events).
__attribute__((noinline)) bool send_pair_frames(EventKind first, EventKind second, const char* path,
                                                size_t path_len, CallerIds ids) {
  char heads[2][kFrameHeadCapacity];
  size_t first_len = frame_event_head(first, ids.pid, ids.tid, path_len, heads[0], sizeof heads[0]);
  size_t second_len =
      frame_event_head(second, ids.pid, ids.tid, path_len, heads[1], sizeof heads[1]);
  const FramePart parts[4] = {
      {heads[0], first_len}, {path, path_len}, {heads[1], second_len}, {path, path_len}};
  return first_len != 0 && second_len != 0 && send_frame_parts(parts, 4, ids.pid);
}

}  // namespace

CallerIds caller_ids() noexcept {
  auto pid = static_cast<uint32_t>(raw_syscall(SYS_getpid));
  check_calling_pid(pid);
  if (t_ids.pid != pid || t_ids.tid == 0)
    t_ids = CallerIds{pid, static_cast<uint32_t>(raw_syscall(SYS_gettid))};
  return t_ids;
}

void remember_caller_ids(CallerIds ids) noexcept { t_ids = ids; }

bool send_event(EventKind kind, const char* path, size_t path_len, CallerIds ids) noexcept {
  if (!trace_session_active()) return false;
  // The path goes out from where it already is; only the frame's head is built here.
  char head[kFrameHeadCapacity];
  size_t head_len = frame_event_head(kind, ids.pid, ids.tid, path_len, head, sizeof head);
  return send_event_frame(head, head_len, path, path_len, ids);
}

bool send_event_pair(EventKind first, EventKind second, const char* path, size_t path_len,
                     CallerIds ids) noexcept {
  if (!trace_session_active()) return false;
  bool sent = in_own_process(ids.pid);
  if (sent) {
    describe_process_once(ids);
    sent = send_pair_frames(first, second, path, path_len, ids);
  }
  if (!sent) {
    note_lost_event();
    note_lost_event();
    return false;
  }
  if (g_lost.load(std::memory_order_relaxed) != 0) send_lost_count(ids);
  return true;
}

bool send_event_frame(const char* head, size_t head_len, const char* body, size_t body_len,
                      CallerIds ids) noexcept {
  if (!trace_session_active()) return false;
  const FramePart parts[2] = {{head, head_len}, {body, body_len}};
  bool sent = false;
  if (head_len != 0 && in_own_process(ids.pid)) {
    describe_process_once(ids);
    sent = send_frame_parts(parts, 2, ids.pid);
  } else if (head_len != 0) {
    sent = send_described(ids, parts, 2);
  }
  if (!sent) {
    note_lost_event();
    return false;
  }
  if (g_lost.load(std::memory_order_relaxed) != 0) send_lost_count(ids);
  return true;
}

void note_lost_event() noexcept { g_lost.fetch_add(1, std::memory_order_relaxed); }

void send_lost_count_at_exit() noexcept {
  if (g_lost.load(std::memory_order_relaxed) != 0 && trace_session_active())
    send_lost_count(caller_ids());
}

bool send_event(EventKind kind, const char* path, size_t path_len) noexcept {
  return send_event(kind, path, path_len, caller_ids());
}

}  // namespace drel::guest
