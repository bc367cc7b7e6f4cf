// Where a report builds its path: a block of path buffers per thread, outside the caller's
// stack (a program may report from a 16 KiB thread stack or an 8 KiB signal stack), mapped
// at the thread's first report that needs one and unmapped when the thread ends. No
// allocator: the block comes straight from the kernel.
#pragma once

#include "preload/guest/path_text.h"

namespace drel::guest {

// Creates the thread-exit key that unmaps a thread's block; once, when the library loads.
void prepare_path_buffers() noexcept;

// The path buffer of the calling thread's report at its current nesting (report_depth()): a
// signal handler that interrupted a report gets the next buffer, never the one in use. Null
// outside a report, when the reports nest deeper than the block has buffers, or when the
// block cannot be mapped: the caller then counts its events as lost.
PathText* report_path_buffer() noexcept;

}  // namespace drel::guest
