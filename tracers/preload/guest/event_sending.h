// Turns one file access into a frame and hands it to the thread's connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "preload/guest/event_encoding.h"

namespace drel::guest {

struct CallerIds {
  uint32_t pid;
  uint32_t tid;
};

// The ids a frame carries, from getpid(): a vfork or clone child shares the parent's memory or
// skips the at-fork handlers, so only the kernel knows for certain which process is calling.
// Called only for a frame that goes out (calling_pid.h keys what a thread remembers). The
// thread id is kept per thread together with the pid it was read under and read again when
// that pid differs (a fork or vfork child, whose tid is its own pid). A thread started with a
// raw clone that shares its creator's thread-local storage would be reported under the
// creator's thread id; such threads cannot use the C library safely anyway.
CallerIds caller_ids() noexcept;

// Keeps ids, just read from the kernel by the calling thread, for caller_ids.
void remember_caller_ids(CallerIds ids) noexcept;

// Sends (kind, ids, path); false when it was dropped (no launcher, no connection, a failed
// write). A dropped event is counted, and the count goes to the launcher with a later frame.
bool send_event(EventKind kind, const char* path, size_t path_len, CallerIds ids) noexcept;

// Sends (first, ids, path) and (second, ids, path) in one write, so that the connection is
// checked once; false when both were dropped. Only in the process's own memory
// (in_own_process): a child on its parent's memory sends each event with its description.
bool send_event_pair(EventKind first, EventKind second, const char* path, size_t path_len,
                     CallerIds ids) noexcept;

// Sends one event's frame built by the caller (head, then body); a head_len of 0 (it could not
// be built) or a failed send counts the event as lost, like send_event.
bool send_event_frame(const char* head, size_t head_len, const char* body, size_t body_len,
                      CallerIds ids) noexcept;

// Counts one event that was built but cannot be sent.
void note_lost_event() noexcept;

// Sends the count of lost events still untold, if any (when the process ends).
void send_lost_count_at_exit() noexcept;

// The same with caller_ids().
bool send_event(EventKind kind, const char* path, size_t path_len) noexcept;

}  // namespace drel::guest
