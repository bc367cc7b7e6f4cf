// How x86_64's older calls sit in the aarch64 form they are decoded as: for each argument of the
// neutral call, which argument of the older call it is, or a fixed value.
#pragma once

#include <fcntl.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "arch/syscall_table.h"

namespace drel {

struct ArgSource {
  int from = -1;       // the older call's argument index; -1: `value`
  uint64_t value = 0;  // used when `from` is -1
};

struct OlderCallShape {
  SyscallKind older;
  std::array<ArgSource, 6> args;
};

namespace older_calls_detail {
constexpr ArgSource arg(int i) {
  return {i, 0};
}
constexpr ArgSource fixed(int64_t v) {
  return {-1, static_cast<uint64_t>(v)};
}
inline constexpr ArgSource kAtFdcwd = fixed(AT_FDCWD);
}  // namespace older_calls_detail

inline constexpr auto kOlderCallShapes = [] {
  using namespace older_calls_detail;
  return std::to_array<OlderCallShape>({
      // open(path, flags, mode) -> openat(AT_FDCWD, path, flags, mode)
      {SyscallKind::Open, {kAtFdcwd, arg(0), arg(1), arg(2), fixed(0), fixed(0)}},
      // creat(path, mode) -> openat(AT_FDCWD, path, O_CREAT|O_WRONLY|O_TRUNC, mode)
      {SyscallKind::Creat,
       {kAtFdcwd, arg(0), fixed(O_CREAT | O_WRONLY | O_TRUNC), arg(1), fixed(0), fixed(0)}},
      // dup2(old, new) -> dup3(old, new, 0)
      {SyscallKind::Dup2, {arg(0), arg(1), fixed(0), fixed(0), fixed(0), fixed(0)}},
      // rename(old, new) -> renameat(AT_FDCWD, old, AT_FDCWD, new)
      {SyscallKind::Rename, {kAtFdcwd, arg(0), kAtFdcwd, arg(1), fixed(0), fixed(0)}},
      // link(old, new) -> linkat(AT_FDCWD, old, AT_FDCWD, new, 0)
      {SyscallKind::Link, {kAtFdcwd, arg(0), kAtFdcwd, arg(1), fixed(0), fixed(0)}},
      // unlink(path) -> unlinkat(AT_FDCWD, path, 0)
      {SyscallKind::Unlink, {kAtFdcwd, arg(0), fixed(0), fixed(0), fixed(0), fixed(0)}},
      // symlink(target, linkpath) -> symlinkat(target, AT_FDCWD, linkpath)
      {SyscallKind::Symlink, {arg(0), kAtFdcwd, arg(1), fixed(0), fixed(0), fixed(0)}},
      // mkdir(path, mode) -> mkdirat(AT_FDCWD, path, mode)
      {SyscallKind::Mkdir, {kAtFdcwd, arg(0), arg(1), fixed(0), fixed(0), fixed(0)}},
      // rmdir(path) -> unlinkat(AT_FDCWD, path, AT_REMOVEDIR)
      {SyscallKind::Rmdir, {kAtFdcwd, arg(0), fixed(AT_REMOVEDIR), fixed(0), fixed(0), fixed(0)}},
  });
}();

// The shape of an older call, nullptr for a native one.
constexpr const OlderCallShape* older_call_shape(SyscallKind kind) {
  for (const auto& s : kOlderCallShapes) {
    if (s.older == kind) return &s;
  }
  return nullptr;
}

// Whether the kind has a shape. Compared by kind, not by pointer: under the sanitizers GCC does
// not take a pointer compared with nullptr as a constant.
constexpr bool has_older_call_shape(SyscallKind kind) {
  for (const auto& s : kOlderCallShapes) {
    if (s.older == kind) return true;
  }
  return false;
}

// Every row decoded as another kind has a shape, and only those.
constexpr bool every_older_call_has_a_shape() {
  for (const auto& e : kSyscallTable) {
    if ((e.neutral != e.kind) != has_older_call_shape(e.kind)) return false;
  }
  return true;
}
static_assert(every_older_call_has_a_shape());

}  // namespace drel
