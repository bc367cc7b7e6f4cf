// Which loader the program an exec would start runs under, read from its file as the kernel
// reads it (the ELF header and its interpreter, a "#!" line's interpreter). Naming the
// library through "$LIB" lets one LD_PRELOAD value serve both classes of program, but makes
// the loader read /proc/self/exe first: a process's first look at /proc, tens of
// microseconds. A program known to run under this process's own loader is given the
// library's plain path instead.
#pragma once

namespace drel::guest {

// Notes this process's own loader (from its program headers); until then nothing runs under it.
void note_own_loader() noexcept;

// Whether file runs under this process's own loader (a "#!" file: its interpreter). search: an
// execvp-like call, where a file without a slash is looked up along path_var (the caller's
// PATH, null when unset) as the C library does. False whenever that is not certain.
bool runs_under_own_loader(const char* file, bool search, const char* path_var) noexcept;

// The same for the file open on fd (fexecve).
bool fd_runs_under_own_loader(int fd) noexcept;

}  // namespace drel::guest
