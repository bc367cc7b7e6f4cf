// Finds the definition dlsym(RTLD_NEXT, name) returns to this library, by reading the hash
// tables of the objects loaded after it: no loader lock, no allocation, and the program's
// pending dlerror() left alone, so a first call may come from a signal handler or a forked
// child without harm.
#pragma once

namespace drel::guest {

// Notes, at load, the objects that follow this library in the program's search order, those
// loaded with the program (the C library among them, so a later one never decides). False
// when they cannot be searched this way (an object without a GNU hash table, say): then
// dlsym must do the lookups.
bool note_next_objects() noexcept;

struct NextSymbol {
  void* address = nullptr;
  // Only the loader computes this one's address (an indirect function, a thread-local).
  bool needs_dlsym = false;
};

// The first definition of name after this library among the noted objects; address null when
// none defines it. Call only once note_next_objects() has returned true.
NextSymbol find_next_symbol(const char* name) noexcept;

}  // namespace drel::guest
