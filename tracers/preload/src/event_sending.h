// Turns one file access into a frame and hands it to the thread's connection.
#pragma once

#include <cstddef>

#include "preload/src/event_encoding.h"

namespace drel {

// Sends (kind, getpid(), gettid(), path); silently dropped when there is no launcher. The ids
// are asked for each time: a vfork or clone child shares the parent's memory or skips the
// at-fork handlers, so a cached id could name the wrong process.
void send_event(EventKind kind, const char* path, size_t path_len) noexcept;

}  // namespace drel
