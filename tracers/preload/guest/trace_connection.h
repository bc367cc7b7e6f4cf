// The calling thread's connection to the launcher: its own, or, beyond the descriptor budget,
// the process's shared one.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

namespace drel::guest {

// Sends one whole frame, given as its head and its body (the path), on the calling thread's
// connection: connecting first when the thread has none in this process (pid: the caller's),
// and once more on a fresh connection when the old one turns out broken or taken over by the
// program. Failures drop the frame silently; false then.
// A vfork child and a report made inside another (a signal handler) send on a connection of
// their own, closed at once.
bool send_frame(const char* head, size_t head_len, const char* body, size_t body_len,
                uint32_t pid) noexcept;

// One piece of a frame that is sent from where it lies.
struct FramePart {
  const char* data;
  size_t len;
};

// The same for a frame (or frames that must go together) in up to kMaxFrameParts pieces,
// written whole and in order.
constexpr size_t kMaxFrameParts = 6;
bool send_frame_parts(const FramePart* parts, size_t count, uint32_t pid) noexcept;

// Work done once when the library loads: the thread-exit key that closes connections.
void prepare_connections() noexcept;

// A blocking (with a send and connect timeout), close-on-exec connection to path, moved to a
// high descriptor number; -1 on failure. Refused (-1, *refused set) when the kernel's lowest
// free descriptor is refuse_from or higher: the program then uses nearly all it may have.
int connect_trace_socket(const char* path, size_t path_len, int refuse_from = INT_MAX,
                         bool* refused = nullptr) noexcept;

// How many descriptors the library may take, from the soft RLIMIT_NOFILE read when a
// connection is made (programs change their limit). A traced program must never run out of
// descriptors because of the library, which holds one connection per thread up to
// thread_connections, then one shared connection for all further threads.
constexpr size_t kMaxThreadConnections = 1024;
struct DescriptorBudget {
  int thread_connections;  // a sixteenth of the limit, kMaxThreadConnections at most
  int thread_refuse_from;  // no new thread connection once the program's lowest free
                           // descriptor is in the top quarter
  int refuse_from;         // no connection at all in the top sixteenth: the event is lost
  int fd_base;             // connection_fd_base() under the same limit
};
DescriptorBudget descriptor_budget() noexcept;

// In a fork child: no thread but the caller, so its copies of the parent's connections are
// closed, and nobody holds the shared connection.
void forget_connections_in_fork_child() noexcept;

// Lowest descriptor number a connection is moved to, from the soft RLIMIT_NOFILE.
int connection_fd_base() noexcept;

}  // namespace drel::guest
