// Process-wide facts every connection needs: where the launcher listens, and how many forks
// separate this process from the one that opened a thread's connection.
#pragma once

#include <cstddef>
#include <cstdint>

namespace drel::guest {

// Reads DREL_PRELOAD_TRACE_SOCK once per process, at load time or at the first event, and
// registers the at-fork handler. Later changes of the environment (even clearenv) have no
// effect.
void init_trace_session() noexcept;

// The launcher's socket path, or null when the variable was unset, not UTF-8 or too long to
// connect to; len receives its length.
const char* session_socket_path(size_t* len) noexcept;

// Whether the calling thread has gone silent (it entered strict seccomp mode).
bool thread_silenced() noexcept;
void silence_thread() noexcept;
void unsilence_thread() noexcept;

// Whether there is a launcher to send to at all, from this thread.
inline bool trace_session_active() noexcept {
  size_t len = 0;
  return !thread_silenced() && session_socket_path(&len) != nullptr;
}

// The pid of the process whose memory this is, read when the session was set up (and again
// in every fork child).
uint32_t session_process_pid() noexcept;

// Whether pid (the caller's) is the process whose memory this is: false in a vfork child, or a
// child cloned without the fork handlers, which run on their parent's memory.
bool in_own_process(uint32_t pid) noexcept;

// In the child of a fork: the process that forked it, known while that one still runs; 0 in
// an image that was not forked since it was loaded.
uint32_t fork_parent_pid() noexcept;

// Raised by one in the child of every fork.
uint32_t fork_generation() noexcept;

}  // namespace drel::guest
