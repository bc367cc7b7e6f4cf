// Launcher side of the event protocol: one MessagePack payload back into a trace event.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "preload/protocol/event_kind.h"

namespace drel::launcher {

using protocol::EventKind;

// One event with its path still inside the payload it came from, so the launcher's hot path
// decodes without allocating.
struct NativeTraceEventView {
  EventKind kind = EventKind::Read;
  uint32_t pid = 0;
  uint32_t thread_id = 0;
  std::string_view path;  // the file events; Rename: the new name
  uint64_t count = 0;     // Dropped: events the process could not send
  // Process: the describing process's parent, whether a freshly executed image sent it, and
  // its argument and environment areas (NUL-separated bytes), when it could tell them.
  bool has_parent = false;
  uint32_t parent_pid = 0;
  bool exec = false;
  bool has_areas = false;
  std::string_view cmdline;
  std::string_view environ;
  std::string_view from;  // Rename: the old name
  uint64_t time = 0;      // Rename: the monotonic clock (ns) when the call began
  bool exchange = false;  // Rename: the two names swapped their files
};

enum class DecodeFailure : uint8_t {
  Truncated,
  TooDeep,
  NotMapOrArray,
  WrongArrayLength,
  DuplicateKey,
  MissingKey,
  UnknownKind,
  WrongType,
  OutOfRange,
  InvalidUtf8,
  Malformed,
};

// Containers may nest this deep (the event itself is level 1); deeper payloads are refused.
inline constexpr unsigned kMaxEventNesting = 1024;

// Reads one event from the start of payload; bytes after the first value are ignored.
// Accepts a map (keys in any order, unknown keys skipped) or a 4-element array
// [kind, pid, thread_id, path]; kind as a name (str or bin) or an index 0-3. A Dropped event
// is a map only and carries "count" (unsigned) instead of "path"; so is a Process event, with
// "parent_pid" (unsigned) and "exec" (bool), both optional, and "cmdline" and "environ" (bin
// or str, any bytes), both or neither. A Rename is a map only and carries "time" (unsigned),
// "exchange" (bool) and "from" (the old name) besides the four.
// On success view.path points into payload. Never recurses, whatever the nesting.
bool decode_event_view(std::span<const uint8_t> payload, NativeTraceEventView& view,
                       DecodeFailure& failure) noexcept;

}  // namespace drel::launcher
