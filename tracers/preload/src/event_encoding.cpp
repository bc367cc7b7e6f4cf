#include "preload/src/event_encoding.h"

#include <msgpuck.h>

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

size_t encode_event(EventKind kind, uint32_t pid, uint32_t thread_id, const char* path,
                    size_t path_len, char* out, size_t cap) noexcept {
  if (path_len > UINT32_MAX || (path == nullptr && path_len != 0)) return 0;
  if (path == nullptr) path = "";
  const char* name = event_kind_name(kind);
  uint32_t name_len = 0;
  while (name[name_len] != '\0') ++name_len;
  const auto len = static_cast<uint32_t>(path_len);

  // Size first, so nothing is written past cap.
  size_t need = mp_sizeof_map(4) + mp_sizeof_str(4) + mp_sizeof_str(name_len) + mp_sizeof_str(3) +
                mp_sizeof_uint(pid) + mp_sizeof_str(9) + mp_sizeof_uint(thread_id) +
                mp_sizeof_str(4) + mp_sizeof_str(len);
  if (out == nullptr || need > cap) return 0;

  char* p = out;
  p = mp_encode_map(p, 4);
  p = mp_encode_str(p, "kind", 4);
  p = mp_encode_str(p, name, name_len);
  p = mp_encode_str(p, "pid", 3);
  p = mp_encode_uint(p, pid);
  p = mp_encode_str(p, "thread_id", 9);
  p = mp_encode_uint(p, thread_id);
  p = mp_encode_str(p, "path", 4);
  p = mp_encode_str(p, path, len);
  return static_cast<size_t>(p - out);
}

size_t frame_event(EventKind kind, uint32_t pid, uint32_t thread_id, const char* path,
                   size_t path_len, char* out, size_t cap) noexcept {
  if (out == nullptr || cap < kFrameHeaderSize) return 0;
  size_t payload = encode_event(kind, pid, thread_id, path, path_len, out + kFrameHeaderSize,
                                cap - kFrameHeaderSize);
  if (payload == 0 || payload > UINT32_MAX) return 0;
  const auto n = static_cast<uint32_t>(payload);
  out[0] = static_cast<char>(n & 0xff);
  out[1] = static_cast<char>((n >> 8) & 0xff);
  out[2] = static_cast<char>((n >> 16) & 0xff);
  out[3] = static_cast<char>((n >> 24) & 0xff);
  return kFrameHeaderSize + payload;
}

}  // namespace drel
