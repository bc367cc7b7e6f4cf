#include "preload/guest/event_encoding.h"

#include <msgpuck.h>

#include "preload/protocol/frame.h"

namespace drel::guest {
namespace {

using protocol::kFrameLengthSize;

uint32_t name_length(const char* name) {
  uint32_t n = 0;
  while (name[n] != '\0') ++n;
  return n;
}

// The bytes every event shares: a 4-entry map, its kind, pid and thread_id.
size_t sizeof_common(EventKind kind, uint32_t pid, uint32_t thread_id) {
  return mp_sizeof_map(4) + mp_sizeof_str(4) + mp_sizeof_str(name_length(protocol::event_kind_name(kind))) +
         mp_sizeof_str(3) + mp_sizeof_uint(pid) + mp_sizeof_str(9) + mp_sizeof_uint(thread_id);
}

char* encode_common(char* p, EventKind kind, uint32_t pid, uint32_t thread_id) {
  const char* name = protocol::event_kind_name(kind);
  p = mp_encode_map(p, 4);
  p = mp_encode_str(p, "kind", 4);
  p = mp_encode_str(p, name, name_length(name));
  p = mp_encode_str(p, "pid", 3);
  p = mp_encode_uint(p, pid);
  p = mp_encode_str(p, "thread_id", 9);
  return mp_encode_uint(p, thread_id);
}

// The payload's bytes before the path's own bytes; 0 when they do not fit.
size_t encode_head(EventKind kind, uint32_t pid, uint32_t thread_id, uint32_t path_len, char* out,
                   size_t cap) {
  // Size first, so nothing is written past cap.
  size_t need = sizeof_common(kind, pid, thread_id) + mp_sizeof_str(4) + mp_sizeof_strl(path_len);
  if (need > cap) return 0;
  char* p = encode_common(out, kind, pid, thread_id);
  p = mp_encode_str(p, "path", 4);
  p = mp_encode_strl(p, path_len);
  return static_cast<size_t>(p - out);
}

}  // namespace

size_t frame_dropped(uint32_t pid, uint32_t thread_id, uint64_t count, char* out,
                     size_t cap) noexcept {
  size_t need = kFrameLengthSize + sizeof_common(EventKind::Dropped, pid, thread_id) +
                mp_sizeof_str(5) + mp_sizeof_uint(count);
  if (out == nullptr || need > cap) return 0;
  char* p = encode_common(out + kFrameLengthSize, EventKind::Dropped, pid, thread_id);
  p = mp_encode_str(p, "count", 5);
  p = mp_encode_uint(p, count);
  protocol::put_frame_length(static_cast<uint32_t>(need - kFrameLengthSize),
                             reinterpret_cast<unsigned char*>(out));
  return need;
}

size_t frame_event_head(EventKind kind, uint32_t pid, uint32_t thread_id, size_t path_len,
                        char* out, size_t cap) noexcept {
  if (out == nullptr || cap < kFrameLengthSize || path_len > UINT32_MAX) return 0;
  size_t head = encode_head(kind, pid, thread_id, static_cast<uint32_t>(path_len),
                            out + kFrameLengthSize, cap - kFrameLengthSize);
  if (head == 0 || head + path_len > UINT32_MAX) return 0;
  protocol::put_frame_length(static_cast<uint32_t>(head + path_len),
                             reinterpret_cast<unsigned char*>(out));
  return kFrameLengthSize + head;
}

}  // namespace drel::guest
