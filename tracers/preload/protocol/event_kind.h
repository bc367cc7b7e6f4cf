// The kinds of event a traced process sends, and the names they travel under.
// Header-only and free of the C++ runtime: the interposition library includes it too.
#pragma once

#include <stdint.h>

namespace drel::protocol {

// The four file events, then the library's own: Dropped carries the number of events a
// process built but could not send ({"kind": "dropped", "pid", "thread_id", "count"}); Rename
// is one successful rename with both names ({"kind": "rename", "pid", "thread_id", "time",
// "exchange", "from", "path"}, see event_encoding.h); Process is a process describing itself
// ({"kind": "process", "pid", "thread_id", "parent_pid", "exec", "cmdline", "environ"});
// Executed is the file a freshly executed image runs, by the absolute name it was executed
// under ({"kind": "executed", "pid", "thread_id", "path"}): the launcher resolves its links
// and records it as read.
enum class EventKind : uint8_t {
  Read = 0,
  Write = 1,
  OpenRead = 2,
  OpenWrite = 3,
  Dropped = 4,
  Rename = 5,
  Process = 6,
  Executed = 7,
};

inline constexpr unsigned kEventKindCount = 8;

// Kinds that may also travel as their index: the four file events.
inline constexpr unsigned kFileEventKindCount = 4;

// Indexed by the kind's value.
inline constexpr const char* kEventKindNames[kEventKindCount] = {
    "read", "write", "open_read", "open_write", "dropped", "rename", "process",
    "executed"};

constexpr const char* event_kind_name(EventKind kind) noexcept {
  const auto i = static_cast<unsigned>(kind);
  return i < kEventKindCount ? kEventKindNames[i] : kEventKindNames[0];
}

// The four that may travel as an array or an index; the others are maps only.
constexpr bool is_file_event(EventKind kind) noexcept {
  return static_cast<unsigned>(kind) < kFileEventKindCount;
}

// Read and OpenRead mark a file read; Write and OpenWrite mark it written.
constexpr bool marks_read(EventKind kind) noexcept {
  return kind == EventKind::Read || kind == EventKind::OpenRead;
}

}  // namespace drel::protocol
