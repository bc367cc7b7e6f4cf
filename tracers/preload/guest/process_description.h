// A process tells the launcher who it is while it still runs: its parent and the argument and
// environment areas that /proc/<pid>/cmdline and environ show. Read from /proc by the launcher
// later, a short-lived process would often be gone.
#pragma once

#include "preload/guest/event_sending.h"
#include "preload/guest/trace_connection.h"

namespace drel::guest {

// Notes where the argument and environment areas are, from the vectors the C library hands
// to the library's constructor (they point into those areas when the program starts).
void note_process_areas(int argc, char** argv, char** envp) noexcept;

// Describes a freshly executed image and reports the program it runs, in one write; called by
// the constructor. The program is the name the exec was given (an Executed event) when the
// kernel started that file itself, else /proc/self/exe (a Read).
void announce_executed_image() noexcept;

// Before a file event: a forked copy describes itself once, at its first event.
void describe_process_once(CallerIds ids) noexcept;

// For a vfork child, which may store nothing in its parent's memory and so cannot remember
// that it described itself: its description and the frame in parts, sent together.
bool send_described(CallerIds ids, const FramePart* parts, size_t count) noexcept;

}  // namespace drel::guest
