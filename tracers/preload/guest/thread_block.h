// The calling thread's storage outside its stack and outside static TLS: its descriptor table
// and a path buffer per report nesting level, in a block mapped at the thread's first report
// and unmapped when the thread ends. A program may report from a 16 KiB thread stack or an
// 8 KiB signal stack, and glibc carves static TLS out of every thread's stack, so neither may
// hold kilobytes. No allocator: the block comes straight from the kernel.
#pragma once

#include "preload/guest/path_text.h"

namespace drel::guest {

class FdTable;

// Creates the thread-exit key that unmaps a thread's block; once, when the library loads.
void prepare_thread_blocks() noexcept;

// The path buffer of the calling thread's report at its current nesting (report_depth()): a
// signal handler that interrupted a report gets the next buffer, never the one in use. Null
// outside a report, when the reports nest deeper than the block has buffers, or when the
// block cannot be mapped: the caller then counts its events as lost. second: another buffer of
// the same level, for a report that needs two paths at once (a rename).
PathText* report_path_buffer(bool second = false) noexcept;

// The calling thread's descriptor table (see fd_table.h); null when the block cannot be mapped.
FdTable* thread_fd_table() noexcept;

}  // namespace drel::guest
