// One traced thread's connection to the launcher, and draining it into the aggregation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "common/unique_fd.h"
#include "preload/launcher/aggregator.h"
#include "preload/launcher/event_decoding.h"

namespace drel::launcher {

// Bytes received but not yet decoded. Consumed frames are dropped by advancing a start offset;
// the live bytes are moved to the front only when the dead prefix is large, so a connection
// carrying millions of events costs memory for one read block, not for the whole stream.
class FrameBuffer {
 public:
  std::span<const uint8_t> bytes() const {
    return {data_.data() + start_, data_.size() - start_};
  }
  size_t size() const { return data_.size() - start_; }
  void append(const uint8_t* p, size_t n);
  void consume(size_t n);
  size_t capacity() const { return data_.capacity(); }

 private:
  std::vector<uint8_t> data_;
  size_t start_ = 0;
};

// When a connection's bytes were sent, as far as the launcher can tell: every byte from
// stream offset `from` on was sent after `after` (the monotonic clock, in nanoseconds), because
// the socket was seen empty then.
struct SentAfter {
  uint64_t from = 0;
  uint64_t after = 0;
};

struct EventConnection {
  // sent_after: when the listener was last seen with no connection waiting (0: unknown), so
  // that everything on this one came later.
  explicit EventConnection(UniqueFd socket, uint64_t sent_after = 0)
      : fd(std::move(socket)), empty_at(sent_after) {}

  UniqueFd fd;
  FrameBuffer buffer;
  uint64_t bytes_received = 0;
  bool ended = false;  // the peer closed or reading failed; complete frames may still wait
  uint64_t empty_at;   // the last time the socket was seen empty
  std::deque<SentAfter> marks;  // ascending; the first one covers the buffer's front
  // Stream offset up to which the buffer holds no Rename, and the first Rename's time beyond.
  uint64_t scanned_to = 0;
  std::optional<uint64_t> rename_time;

  // Stream offset of the buffer's first byte.
  uint64_t front_offset() const { return bytes_received - buffer.size(); }
};

inline constexpr size_t kDrainBlockSize = 65536;
// Blocks read in one call at most, so one busy writer cannot hold the launcher's loop away
// from its other connections and from noticing the command's end.
inline constexpr size_t kDrainMaxBlocksPerCall = 64;

// No frame is held back.
inline constexpr uint64_t kHoldNothing = UINT64_MAX;

// The monotonic clock in nanoseconds, the clock renames carry.
uint64_t monotonic_now();

// Reads what is available without blocking, at most max_blocks blocks (noting when the socket
// was seen empty), and returns true when the peer has closed the connection or reading failed
// with anything but EAGAIN (ended is set then too). Nothing is decoded.
bool read_available(EventConnection& connection, size_t max_blocks = kDrainMaxBlocksPerCall);

// Decodes the complete frames at the front of the buffer into agg and removes them (an
// undecodable frame counts as a dropped event), stopping at a Rename (rename_order.h applies
// it) and at the first frame sent after hold_after.
void dispatch_frames(EventConnection& connection, PreloadAggregator& agg,
                     uint64_t hold_after = kHoldNothing);

// Reads and dispatches block by block, like read_available and dispatch_frames, and returns
// whether the connection ended. With hold_after, frames sent after it stay in the buffer, and
// it is lowered to the time of a Rename found in this connection's buffer.
bool drain_connection(EventConnection& connection, PreloadAggregator& agg,
                      uint64_t* hold_after = nullptr);

// The time of the first Rename among the buffer's complete frames, if any.
std::optional<uint64_t> first_rename_time(EventConnection& connection);

// Hands the Rename at the front of the buffer to agg and removes its frame; false when the
// front is no complete Rename.
bool apply_front_rename(EventConnection& connection, PreloadAggregator& agg);

}  // namespace drel::launcher
