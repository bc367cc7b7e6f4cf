// One traced thread's connection to the launcher, and draining it into the aggregation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/unique_fd.h"
#include "preload/launcher/aggregator.h"

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

struct EventConnection {
  explicit EventConnection(UniqueFd socket) : fd(std::move(socket)) {}

  UniqueFd fd;
  FrameBuffer buffer;
  uint64_t bytes_received = 0;
};

inline constexpr size_t kDrainBlockSize = 65536;
// Blocks read in one call at most, so one busy writer cannot hold the launcher's loop away
// from its other connections and from noticing the command's end.
inline constexpr size_t kDrainMaxBlocksPerCall = 64;

// Reads what is available without blocking, decodes every complete frame into agg (an
// undecodable frame counts as a dropped event) and returns true when the peer has closed the
// connection or reading failed with anything but EAGAIN.
bool drain_connection(EventConnection& connection, PreloadAggregator& agg);

// Decodes the complete frames at the front of buffer and removes them.
void dispatch_frames(FrameBuffer& buffer, PreloadAggregator& agg);

}  // namespace drel::launcher
