// Turns one file access into a frame and hands it to the thread's connection.
#pragma once

#include <cstddef>

#include "preload/src/event_encoding.h"

namespace drel {

// Sends (kind, pid, kernel thread id, path); silently dropped when there is no launcher.
void send_event(EventKind kind, const char* path, size_t path_len) noexcept;

}  // namespace drel
