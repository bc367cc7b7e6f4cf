#include "preload/launcher/event_connection.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>

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

void dispatch_frames(FrameBuffer& buffer, PreloadAggregator& agg) {
  while (buffer.size() >= kFrameLengthSize) {
    std::span<const uint8_t> b = buffer.bytes();
    const uint64_t total = uint64_t{protocol::frame_length(b.data())} + kFrameLengthSize;
    if (b.size() < total) return;
    NativeTraceEventView event;
    DecodeFailure failure{};
    if (decode_event_view(b.subspan(kFrameLengthSize, total - kFrameLengthSize), event, failure)) {
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
      } else if (protocol::marks_read(event.kind)) {
        agg.record_read_access(event.pid, event.thread_id, event.path);
      } else {
        agg.record_write_access(event.pid, event.thread_id, event.path);
      }
    } else {
      agg.count_dropped_event();
    }
    buffer.consume(static_cast<size_t>(total));
  }
}

bool drain_connection(EventConnection& connection, PreloadAggregator& agg) {
  std::array<uint8_t, kDrainBlockSize> block;
  for (size_t blocks = 0; blocks < kDrainMaxBlocksPerCall; ++blocks) {
    const ssize_t n = ::recv(connection.fd.get(), block.data(), block.size(), MSG_DONTWAIT);
    if (n > 0) {
      connection.buffer.append(block.data(), static_cast<size_t>(n));
      connection.bytes_received += static_cast<uint64_t>(n);
      // Decoding as blocks arrive keeps the buffer to about one block plus a partial frame.
      dispatch_frames(connection.buffer, agg);
      continue;
    }
    if (n == 0) return true;
    if (errno == EINTR) continue;
    return !(errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return false;
}

}  // namespace drel::launcher
