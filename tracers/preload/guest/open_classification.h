// Which events an open sends, from its flags alone.
#pragma once

namespace drel::guest {

struct OpenAccess {
  bool read;   // OpenRead
  bool write;  // OpenWrite
};

// O_TMPFILE counts only with all its bits; O_DIRECTORY on its own is a read-only open.
OpenAccess classify_open(int flags) noexcept;

// Whether the open family takes a mode argument for these flags.
bool open_needs_mode(int flags) noexcept;

// The open flags a stream mode ("r", "w+", "ax", "re", "rm", "wc" ...) means, as the C library
// reads it: the first letter and a '+' give the access; 'x' and 'e' add O_EXCL and O_CLOEXEC;
// everything else ('b', 't', 'm', 'c', ",ccs=") changes nothing an open event shows. -1 for a
// mode the C library refuses.
int stream_open_flags(const char* mode) noexcept;

}  // namespace drel::guest
