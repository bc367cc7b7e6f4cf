#include "preload/launcher/rename_order.h"

namespace drel::launcher {
namespace {

// The connection whose first Rename began first, and that time.
EventConnection* earliest_rename(std::list<EventConnection>& connections, uint64_t& time) {
  EventConnection* first = nullptr;
  time = kHoldNothing;
  for (EventConnection& c : connections) {
    std::optional<uint64_t> t = first_rename_time(c);
    if (t && (first == nullptr || *t < time)) {
      first = &c;
      time = *t;
    }
  }
  return first;
}

}  // namespace

void dispatch_in_order(std::list<EventConnection>& connections, PreloadAggregator& agg,
                       const std::function<void()>& accept_pending) {
  uint64_t hold = kHoldNothing;
  for (EventConnection& c : connections) drain_connection(c, agg, &hold);
  for (;;) {
    uint64_t time = 0;
    if (earliest_rename(connections, time) == nullptr) break;
    // A process that wrote the old name and ended before the rename may have sent its events
    // after its connection was read, or on one not accepted yet.
    accept_pending();
    for (EventConnection& c : connections) read_available(c);
    EventConnection* first = earliest_rename(connections, time);
    // Everything sent before the rename began goes first: on its own connection that is all
    // before it, elsewhere what was not seen to come later.
    for (EventConnection& c : connections) dispatch_frames(c, agg, time);
    // Not reached while the clocks agree; should a frame before the rename still wait, it goes
    // now, so that the loop always moves on.
    if (!apply_front_rename(*first, agg)) dispatch_frames(*first, agg);
  }
  for (EventConnection& c : connections) dispatch_frames(c, agg);
}

}  // namespace drel::launcher
