// What each wrapper reports after a successful call: the path work, then the events.
#pragma once

#include <cstdint>

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

// OpenRead and/or OpenWrite, as the flags say, for the file a descriptor holds (opens made
// inside the C library: temporary files, reopened streams).
void report_open_fd(int fd, int flags) noexcept;

// Write for a name a call created, changed or removed, made absolute (see name_path).
void report_path_write(const char* path) noexcept;

// Write for the name that dirfd and path give together.
void report_path_write_at(int dirfd, const char* path) noexcept;

// One Rename event for a successful rename, both names made absolute like changed names;
// exchange when the two names swapped their files (RENAME_EXCHANGE); time is when the call
// began (see event_encoding.h). Nothing when a name cannot be had.
void report_rename(int old_dirfd, const char* old_path, int new_dirfd, const char* new_path,
                   bool exchange, uint64_t time) noexcept;

}  // namespace drel::guest
