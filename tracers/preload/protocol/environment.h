// The environment variables the launcher hands to every traced process.
#pragma once

namespace drel::protocol {

// Where the launcher listens for events.
inline constexpr char kTraceSocketVariable[] = "DREL_PRELOAD_TRACE_SOCK";

// The interposition library's path, also an override when starting the launcher.
inline constexpr char kPreloadLibraryVariable[] = "DREL_PRELOAD_LIB";

}  // namespace drel::protocol
