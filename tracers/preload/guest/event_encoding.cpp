#include "preload/guest/event_encoding.h"

#include <msgpuck.h>

#include <cstring>

#include "preload/protocol/frame.h"

namespace drel::guest {
namespace {

using protocol::kFrameLengthSize;

uint32_t name_length(const char* name) {
  uint32_t n = 0;
  while (name[n] != '\0') ++n;
  return n;
}

// The bytes every event shares: a map of `entries` entries, its kind, pid and thread_id.
size_t sizeof_common(EventKind kind, uint32_t pid, uint32_t thread_id, uint32_t entries = 4) {
  return mp_sizeof_map(entries) + mp_sizeof_str(4) +
         mp_sizeof_str(name_length(protocol::event_kind_name(kind))) + mp_sizeof_str(3) +
         mp_sizeof_uint(pid) + mp_sizeof_str(9) + mp_sizeof_uint(thread_id);
}

char* encode_common(char* p, EventKind kind, uint32_t pid, uint32_t thread_id,
                    uint32_t entries = 4) {
  const char* name = protocol::event_kind_name(kind);
  p = mp_encode_map(p, entries);
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

size_t frame_process(uint32_t pid, uint32_t thread_id, uint32_t parent_pid, bool exec,
                     const ProcessAreas& areas, char* head, size_t head_cap, char* middle,
                     size_t middle_cap, size_t& middle_len) noexcept {
  middle_len = 0;
  if (head == nullptr || middle == nullptr) return 0;
  if (areas.known && (areas.cmdline_len > UINT32_MAX || areas.environ_len > UINT32_MAX))
    return 0;
  const auto cmdline_len = areas.known ? static_cast<uint32_t>(areas.cmdline_len) : 0;
  const auto environ_len = areas.known ? static_cast<uint32_t>(areas.environ_len) : 0;
  const uint32_t entries = areas.known ? 7 : 5;
  size_t head_need = kFrameLengthSize + sizeof_common(EventKind::Process, pid, thread_id, entries) +
                     mp_sizeof_str(10) + mp_sizeof_uint(parent_pid) + mp_sizeof_str(4) +
                     mp_sizeof_bool(exec);
  size_t middle_need = 0;
  if (areas.known) {
    head_need += mp_sizeof_str(7) + mp_sizeof_binl(cmdline_len);
    middle_need = mp_sizeof_str(7) + mp_sizeof_binl(environ_len);
  }
  const uint64_t total = uint64_t{head_need} + cmdline_len + middle_need + environ_len;
  if (head_need > head_cap || middle_need > middle_cap || total - kFrameLengthSize > UINT32_MAX)
    return 0;
  char* p = encode_common(head + kFrameLengthSize, EventKind::Process, pid, thread_id, entries);
  p = mp_encode_str(p, "parent_pid", 10);
  p = mp_encode_uint(p, parent_pid);
  p = mp_encode_str(p, "exec", 4);
  p = mp_encode_bool(p, exec);
  if (areas.known) {
    p = mp_encode_str(p, "cmdline", 7);
    p = mp_encode_binl(p, cmdline_len);
    char* m = mp_encode_str(middle, "environ", 7);
    m = mp_encode_binl(m, environ_len);
    middle_len = static_cast<size_t>(m - middle);
  }
  protocol::put_frame_length(static_cast<uint32_t>(total - kFrameLengthSize),
                             reinterpret_cast<unsigned char*>(head));
  return static_cast<size_t>(p - head);
}

size_t frame_rename_head(uint32_t pid, uint32_t thread_id, uint64_t time, bool exchange,
                         size_t from_len, size_t to_len, char* buf, size_t cap) noexcept {
  if (buf == nullptr || from_len > UINT32_MAX || to_len > UINT32_MAX) return 0;
  const auto from32 = static_cast<uint32_t>(from_len);
  const auto to32 = static_cast<uint32_t>(to_len);
  const size_t before = kFrameLengthSize + sizeof_common(EventKind::Rename, pid, thread_id, 7) +
                        mp_sizeof_str(4) + mp_sizeof_uint(time) + mp_sizeof_str(8) +
                        mp_sizeof_bool(exchange) + mp_sizeof_str(4) + mp_sizeof_strl(from32);
  const size_t after = mp_sizeof_str(4) + mp_sizeof_strl(to32);
  const size_t head = before + from_len + after;
  if (head > cap || head - kFrameLengthSize + to_len > UINT32_MAX) return 0;
  memmove(buf + before, buf, from_len);
  char* p = encode_common(buf + kFrameLengthSize, EventKind::Rename, pid, thread_id, 7);
  p = mp_encode_str(p, "time", 4);
  p = mp_encode_uint(p, time);
  p = mp_encode_str(p, "exchange", 8);
  p = mp_encode_bool(p, exchange);
  p = mp_encode_str(p, "from", 4);
  p = mp_encode_strl(p, from32);
  p += from_len;
  p = mp_encode_str(p, "path", 4);
  mp_encode_strl(p, to32);
  protocol::put_frame_length(static_cast<uint32_t>(head - kFrameLengthSize + to_len),
                             reinterpret_cast<unsigned char*>(buf));
  return head;
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
