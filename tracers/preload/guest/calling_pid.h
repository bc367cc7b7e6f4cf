// The calling process's pid for keying what a thread remembers, read from memory instead of
// asking the kernel at every call.
//
// The pid lives in a page marked wipe-on-fork: every child made without CLONE_VM (fork, _Fork,
// a raw fork or clone system call, with or without the at-fork handlers) gets that page zeroed
// from the kernel, and its first look fills in its own pid. A child that shares the memory
// (vfork, clone with CLONE_VM and no thread-local storage of its own) finds its parent's pid
// there, and its parent thread's thread-local storage too: the wrappers of vfork and clone mark
// that thread before such a child starts, and a marked thread asks the kernel every time. The
// mark for a child its parent waits for (vfork, CLONE_VFORK) goes when the parent runs again;
// one for a child that runs beside its parent stays for the thread's life.
#pragma once

#include <cstdint>

namespace drel::guest {

// getpid(), from the page where that is certain. The page is mapped at the process's first
// call; without it (an old kernel without MADV_WIPEONFORK, no memory) every call asks the
// kernel.
uint32_t calling_pid() noexcept;

enum class SharingChild { WaitedFor, AlongSide };

// Called by the thread that is about to start a child on its memory and thread-local storage.
void note_sharing_child(SharingChild kind) noexcept;

// With the kernel's pid of the caller: a child on this thread's memory that started past the
// wrappers (a raw clone) shows here at its first send; the thread is marked from then on.
void check_calling_pid(uint32_t kernel_pid) noexcept;

}  // namespace drel::guest
