#include "preload/src/event_encoding.h"

#include <msgpuck.h>

#include <cstring>

namespace drel {
namespace {

constexpr size_t kFrameHeaderSize = 4;

}  // namespace

const char* event_kind_name(EventKind kind) noexcept {
  switch (kind) {
    case EventKind::Read:
      return "read";
    case EventKind::Write:
      return "write";
    case EventKind::OpenRead:
      return "open_read";
    case EventKind::OpenWrite:
      return "open_write";
  }
  return "read";
}

namespace {

// The payload's bytes before the path's own bytes; 0 when they, plus reserve bytes after
// them, do not fit.
size_t encode_head(EventKind kind, uint32_t pid, uint32_t thread_id, uint32_t path_len, char* out,
                   size_t cap, size_t reserve) {
  const char* name = event_kind_name(kind);
  uint32_t name_len = 0;
  while (name[name_len] != '\0') ++name_len;
  // Size first, so nothing is written past cap.
  size_t need = mp_sizeof_map(4) + mp_sizeof_str(4) + mp_sizeof_str(name_len) + mp_sizeof_str(3) +
                mp_sizeof_uint(pid) + mp_sizeof_str(9) + mp_sizeof_uint(thread_id) +
                mp_sizeof_str(4) + mp_sizeof_strl(path_len);
  if (out == nullptr || need > cap || cap - need < reserve) return 0;

  char* p = out;
  p = mp_encode_map(p, 4);
  p = mp_encode_str(p, "kind", 4);
  p = mp_encode_str(p, name, name_len);
  p = mp_encode_str(p, "pid", 3);
  p = mp_encode_uint(p, pid);
  p = mp_encode_str(p, "thread_id", 9);
  p = mp_encode_uint(p, thread_id);
  p = mp_encode_str(p, "path", 4);
  p = mp_encode_strl(p, path_len);
  return static_cast<size_t>(p - out);
}

void put_length(uint32_t n, char* out) {
  out[0] = static_cast<char>(n & 0xff);
  out[1] = static_cast<char>((n >> 8) & 0xff);
  out[2] = static_cast<char>((n >> 16) & 0xff);
  out[3] = static_cast<char>((n >> 24) & 0xff);
}

}  // namespace

size_t encode_event(EventKind kind, uint32_t pid, uint32_t thread_id, const char* path,
                    size_t path_len, char* out, size_t cap) noexcept {
  if (path_len > UINT32_MAX || (path == nullptr && path_len != 0)) return 0;
  size_t head =
      encode_head(kind, pid, thread_id, static_cast<uint32_t>(path_len), out, cap, path_len);
  if (head == 0) return 0;
  if (path_len != 0) memcpy(out + head, path, path_len);
  return head + path_len;
}

size_t frame_event(EventKind kind, uint32_t pid, uint32_t thread_id, const char* path,
                   size_t path_len, char* out, size_t cap) noexcept {
  if (out == nullptr || cap < kFrameHeaderSize) return 0;
  size_t payload = encode_event(kind, pid, thread_id, path, path_len, out + kFrameHeaderSize,
                                cap - kFrameHeaderSize);
  if (payload == 0 || payload > UINT32_MAX) return 0;
  put_length(static_cast<uint32_t>(payload), out);
  return kFrameHeaderSize + payload;
}

size_t frame_event_head(EventKind kind, uint32_t pid, uint32_t thread_id, size_t path_len,
                        char* out, size_t cap) noexcept {
  if (out == nullptr || cap < kFrameHeaderSize || path_len > UINT32_MAX) return 0;
  size_t head = encode_head(kind, pid, thread_id, static_cast<uint32_t>(path_len),
                            out + kFrameHeaderSize, cap - kFrameHeaderSize, 0);
  if (head == 0 || head + path_len > UINT32_MAX) return 0;
  put_length(static_cast<uint32_t>(head + path_len), out);
  return kFrameHeaderSize + head;
}

}  // namespace drel
