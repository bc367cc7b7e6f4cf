// What each wrapper reports after a successful call: the path work, then the events.
#pragma once

#include "preload/src/event_encoding.h"

namespace drel {

// kind for the descriptor's file; nothing for pipes, sockets and unreadable descriptors.
void report_fd_access(int fd, EventKind kind) noexcept;

// Read and/or Write for the descriptor's file, looked up once.
void report_fd_accesses(int fd, bool read, bool write) noexcept;

// OpenRead and/or OpenWrite for the path, made absolute, as the flags say.
void report_open(const char* path, int flags) noexcept;

// Like report_open for a path relative to a directory descriptor.
void report_open_at(int dirfd, const char* path, int flags) noexcept;

// Write for the path exactly as given (a relative path stays relative).
void report_path_write(const char* path) noexcept;

// Write for the path that dirfd and path name together.
void report_path_write_at(int dirfd, const char* path) noexcept;

}  // namespace drel
