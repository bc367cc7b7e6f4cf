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

}  // namespace drel::guest
