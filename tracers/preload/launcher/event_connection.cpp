#include "preload/launcher/event_connection.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>

#include "preload/launcher/event_decoding.h"
#include "preload/protocol/frame.h"

namespace drel::launcher {
namespace {

using protocol::kFrameLengthSize;
// Compact once this much has been consumed and it is at least half the buffer, so each byte is
// moved a bounded number of times.
constexpr size_t kCompactThreshold = 64 * 1024;

}  // namespace

void FrameBuffer::append(const uint8_t* p, size_t n) {
  if (start_ > 0 && start_ == data_.size()) {
    data_.clear();
    start_ = 0;
  }
  data_.insert(data_.end(), p, p + n);
}

void FrameBuffer::consume(size_t n) {
  start_ += n;
  if (start_ == data_.size()) {
    data_.clear();
    start_ = 0;
  } else if (start_ >= kCompactThreshold && start_ * 2 >= data_.size()) {
    data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
}

uint64_t monotonic_now() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

namespace {

// The complete frame at the front: its payload, or nothing while it is incomplete.
std::optional<std::span<const uint8_t>> front_frame(const FrameBuffer& buffer, size_t at = 0) {
  std::span<const uint8_t> b = buffer.bytes().subspan(at);
  if (b.size() < kFrameLengthSize) return std::nullopt;
  const uint64_t total = uint64_t{protocol::frame_length(b.data())} + kFrameLengthSize;
  if (b.size() < total) return std::nullopt;
  return b.subspan(kFrameLengthSize, static_cast<size_t>(total - kFrameLengthSize));
}

// A Rename has seven entries at least: a smaller map or an array is some other event, told
// apart without decoding it.
bool may_be_rename(std::span<const uint8_t> payload) {
  if (payload.empty()) return false;
  const uint8_t first = payload[0];
  return !((first >= 0x80 && first < 0x87) || (first >= 0x90 && first <= 0x9f) || first == 0xdc ||
           first == 0xdd);
}

std::optional<uint64_t> rename_time_of(std::span<const uint8_t> payload) {
  if (!may_be_rename(payload)) return std::nullopt;
  NativeTraceEventView event;
  DecodeFailure failure{};
  if (!decode_event_view(payload, event, failure) || event.kind != EventKind::Rename)
    return std::nullopt;
  return event.time;
}

// The file an exec started, named as /proc/<pid>/exe names it: links resolved. A file gone by
// now keeps its name, its directory resolved if that is still there.
std::string executed_file(std::string_view path) {
  char resolved[PATH_MAX];
  const std::string name(path);
  if (::realpath(name.c_str(), resolved) != nullptr) return resolved;
  const size_t slash = name.rfind('/');
  if (slash == std::string::npos || slash + 1 == name.size()) return name;
  const std::string dir = slash == 0 ? "/" : name.substr(0, slash);
  if (::realpath(dir.c_str(), resolved) == nullptr) return name;
  std::string out = resolved;
  if (out != "/") out += '/';
  return out + name.substr(slash + 1);
}

// When the frame starting at stream offset `at` was sent after; forgets marks behind it.
uint64_t sent_after(EventConnection& c, uint64_t at) {
  while (c.marks.size() > 1 && c.marks[1].from <= at) c.marks.pop_front();
  return c.marks.empty() || c.marks.front().from > at ? 0 : c.marks.front().after;
}

}  // namespace

bool read_available(EventConnection& connection, size_t max_blocks) {
  std::array<uint8_t, kDrainBlockSize> block;
  for (size_t blocks = 0; blocks < max_blocks && !connection.ended; ++blocks) {
    const uint64_t before = monotonic_now();
    const ssize_t n = ::recv(connection.fd.get(), block.data(), block.size(), MSG_DONTWAIT);
    if (n > 0) {
      if (connection.marks.empty() || connection.marks.back().after != connection.empty_at)
        connection.marks.push_back({connection.bytes_received, connection.empty_at});
      connection.buffer.append(block.data(), static_cast<size_t>(n));
      connection.bytes_received += static_cast<uint64_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Empty now: whatever comes next was sent after this moment.
      connection.empty_at = before;
      return false;
    }
    connection.ended = true;
  }
  return connection.ended;
}

void dispatch_frames(EventConnection& connection, PreloadAggregator& agg, uint64_t hold_after) {
  FrameBuffer& buffer = connection.buffer;
  while (std::optional<std::span<const uint8_t>> payload = front_frame(buffer)) {
    const uint64_t at = connection.front_offset();
    if (sent_after(connection, at) > hold_after) return;
    NativeTraceEventView event;
    DecodeFailure failure{};
    if (decode_event_view(*payload, event, failure)) {
      if (event.kind == EventKind::Rename) return;
      if (event.kind == EventKind::Dropped) {
        agg.count_dropped_events(event.count);
      } else if (event.kind == EventKind::Process) {
        PreloadAggregator::Description d;
        if (event.has_parent) d.parent_pid = event.parent_pid;
        d.exec = event.exec;
        d.has_areas = event.has_areas;
        d.cmdline = event.cmdline;
        d.environ = event.environ;
        agg.record_process_description(event.pid, d);
      } else if (event.kind == EventKind::Executed) {
        agg.record_read_access(event.pid, event.thread_id, executed_file(event.path));
      } else if (protocol::marks_read(event.kind)) {
        agg.record_read_access(event.pid, event.thread_id, event.path);
      } else {
        agg.record_write_access(event.pid, event.thread_id, event.path);
      }
    } else {
      agg.count_dropped_event();
    }
    buffer.consume(payload->size() + kFrameLengthSize);
  }
}

bool drain_connection(EventConnection& connection, PreloadAggregator& agg,
                      uint64_t* hold_after) {
  uint64_t no_hold = kHoldNothing;
  uint64_t& hold = hold_after != nullptr ? *hold_after : no_hold;
  // Decoding as blocks arrive keeps the buffer to about one block plus a partial frame.
  for (size_t blocks = 0; blocks < kDrainMaxBlocksPerCall; ++blocks) {
    const uint64_t before = connection.bytes_received;
    read_available(connection, 1);
    if (hold_after != nullptr) hold = std::min(hold, first_rename_time(connection).value_or(hold));
    dispatch_frames(connection, agg, hold);
    if (connection.ended || connection.bytes_received == before) break;
  }
  return connection.ended;
}

std::optional<uint64_t> first_rename_time(EventConnection& c) {
  const uint64_t front = c.front_offset();
  if (c.scanned_to < front) {
    c.scanned_to = front;
    c.rename_time.reset();
  }
  if (c.rename_time) return c.rename_time;
  while (std::optional<std::span<const uint8_t>> payload =
             front_frame(c.buffer, static_cast<size_t>(c.scanned_to - front))) {
    if ((c.rename_time = rename_time_of(*payload))) return c.rename_time;
    c.scanned_to += payload->size() + kFrameLengthSize;
  }
  return std::nullopt;
}

bool apply_front_rename(EventConnection& connection, PreloadAggregator& agg) {
  std::optional<std::span<const uint8_t>> payload = front_frame(connection.buffer);
  if (!payload) return false;
  NativeTraceEventView r;
  DecodeFailure failure{};
  if (!decode_event_view(*payload, r, failure) || r.kind != EventKind::Rename) return false;
  agg.record_rename(r.pid, r.thread_id, r.from, r.path, r.exchange);
  connection.buffer.consume(payload->size() + kFrameLengthSize);
  return true;
}

}  // namespace drel::launcher
