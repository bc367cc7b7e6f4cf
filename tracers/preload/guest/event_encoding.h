// Wire form of one trace event, built in the caller's buffer: no allocation, no C++ runtime,
// so the interposition library can use it inside any traced program.
#pragma once

#include <cstddef>
#include <cstdint>

#include "preload/protocol/event_kind.h"

namespace drel::guest {

using protocol::EventKind;

// Writes the frame's bytes that come before the path's own bytes (length, map, kind, ids and
// the path's string header) into out; the whole frame is these followed by the path_len bytes
// of the path, so a sender can hand both pieces to the socket without copying the path.
// Returns their length, or 0 when they do not fit in cap bytes.
size_t frame_event_head(EventKind kind, uint32_t pid, uint32_t thread_id, size_t path_len,
                        char* out, size_t cap) noexcept;

// The whole Dropped frame: count events this process could not send. Returns its length, or 0
// when it does not fit in cap bytes.
size_t frame_dropped(uint32_t pid, uint32_t thread_id, uint64_t count, char* out,
                     size_t cap) noexcept;

// A Rename frame (a map: kind, pid, thread_id, "time" the monotonic clock in nanoseconds when
// the call began, "exchange" whether the two names swapped, "from" the old name, "path" the
// new one), laid out in buf around the old name: buf holds the old name's from_len bytes at
// its start, they move behind the map's first entries, and the new name's key and string
// header follow them. The whole frame is the returned number of bytes of buf followed by the
// to_len bytes of the new name; 0 when the head does not fit in cap bytes.
size_t frame_rename_head(uint32_t pid, uint32_t thread_id, uint64_t time, bool exchange,
                         size_t from_len, size_t to_len, char* buf, size_t cap) noexcept;

// Room frame_event_head and frame_dropped need at most.
constexpr size_t kFrameHeadCapacity = 64;

// The areas a process shows as /proc/<pid>/cmdline and environ: NUL-separated bytes.
struct ProcessAreas {
  const char* cmdline = nullptr;
  size_t cmdline_len = 0;
  const char* environ = nullptr;
  size_t environ_len = 0;
  bool known = false;  // false: the frame carries neither, the launcher reads /proc
};

// The Process frame in pieces, so that the areas go out from where they are: head (everything
// before the cmdline bytes), then the cmdline bytes, then middle (the environ key and header),
// then the environ bytes. Without known areas head is the whole frame and middle empty.
// Returns head's length, or 0 when a piece does not fit.
size_t frame_process(uint32_t pid, uint32_t thread_id, uint32_t parent_pid, bool exec,
                     const ProcessAreas& areas, char* head, size_t head_cap, char* middle,
                     size_t middle_cap, size_t& middle_len) noexcept;

// Room each of frame_process's two pieces needs at most.
constexpr size_t kProcessHeadCapacity = 88;
constexpr size_t kProcessMiddleCapacity = 16;

}  // namespace drel::guest
