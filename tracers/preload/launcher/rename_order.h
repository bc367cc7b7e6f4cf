// Renames are applied in the order they happened, as far as the launcher can know it.
#pragma once

#include <functional>
#include <list>

#include "preload/launcher/aggregator.h"
#include "preload/launcher/event_connection.h"

namespace drel::launcher {

// Reads every connection and dispatches its frames; a Rename applies only once every
// connection has been read again (and new connections accepted through accept_pending), so
// that what other processes sent before it is in, and renames on different connections apply
// in the order of the times they carry. A frame known to have been sent after a waiting rename
// began (its connection was seen empty after that time) waits for it. Everything that can be
// dispatched is when it returns.
void dispatch_in_order(std::list<EventConnection>& connections, PreloadAggregator& agg,
                       const std::function<void()>& accept_pending);

}  // namespace drel::launcher
