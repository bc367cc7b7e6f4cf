// What each wrapper reports after a successful call: the path work, then the events.
#pragma once

#include "preload/guest/event_encoding.h"

namespace drel::guest {

// kind for the descriptor's file; nothing for pipes, sockets and unreadable descriptors, and
// nothing when this thread already sent kind for the same file on fd (see fd_table.h).
void report_fd_access(int fd, EventKind kind) noexcept;

// Read and/or Write for the descriptor's file, looked up once; repeats skipped as above.
void report_fd_accesses(int fd, bool read, bool write) noexcept;

// OpenRead and/or OpenWrite for the path, made absolute, as the flags say. fd is the new
// descriptor (or -1): when the path is known to be the kernel's own name for it, the
// thread's table learns it, so the first transfer needs no readlink.
void report_open(const char* path, int flags, int fd) noexcept;

// Like report_open for a path relative to a directory descriptor.
void report_open_at(int dirfd, const char* path, int flags, int fd) noexcept;

// Write for the path exactly as given (a relative path stays relative).
void report_path_write(const char* path) noexcept;

// Write for the path that dirfd and path name together.
void report_path_write_at(int dirfd, const char* path) noexcept;

}  // namespace drel::guest
