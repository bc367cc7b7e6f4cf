// Every system call the tracer decodes, declared once: one row of DREL_SYSCALLS each. The filter
// order, the exit-stop set, the number -> kind lookup, the call families the decoder switches on
// and the checks against the system headers are all derived from these rows, so a new row is
// checked like the others without further writing.
#pragma once

#include <linux/audit.h>
#include <sys/syscall.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace drel {

inline constexpr int64_t kNoSyscall = -1;

// What the decoder does with a call; every kind of a family is decoded alike.
enum class CallFamily {
  Read,      // read(fd, ...) and its vector and positioned forms
  Write,     // write(fd, ...) likewise
  Mmap,      // mmap(addr, len, prot, flags, fd, off)
  Close,     // close(fd)
  Open,      // openat(dirfd, path, flags, mode)
  Dup,       // dup3(old, new, flags)
  Chdir,     // chdir(path), fchdir(fd): only the result matters
  Link,      // linkat(olddirfd, old, newdirfd, new, flags)
  Rename,    // renameat(olddirfd, old, newdirfd, new[, flags])
  Transfer,  // sendfile(out, in, ...), splice(in, _, out, ...), copy_file_range(in, _, out, ...)
};

// Columns: kind, name (also SYS_<name>), aarch64 number, x86_64 number, the kind it is decoded as
// (itself, or the aarch64 form an older x86_64 call is mapped onto: arch/older_calls.h holds the
// argument mapping), family, whether the decoder needs the call's result.
//
// Filter order: the row order is the order of the filter's comparisons. The calls on both
// processors come first; x86_64's older forms follow in their own list, since aarch64 has no
// SYS_ name for them.
#define DREL_SYSCALLS_BOTH(X)                                                         \
  X(Read, read, 63, 0, Read, Read, false)                                             \
  X(Write, write, 64, 1, Write, Write, true)                                          \
  X(Close, close, 57, 3, Close, Close, true)                                          \
  X(Mmap, mmap, 222, 9, Mmap, Mmap, false)                                            \
  X(Pread64, pread64, 67, 17, Pread64, Read, false)                                   \
  X(Pwrite64, pwrite64, 68, 18, Pwrite64, Write, true)                                \
  X(Readv, readv, 65, 19, Readv, Read, false)                                         \
  X(Writev, writev, 66, 20, Writev, Write, true)                                      \
  X(Dup3, dup3, 24, 292, Dup3, Dup, true)                                             \
  X(Sendfile, sendfile, 71, 40, Sendfile, Transfer, true)                             \
  X(Splice, splice, 76, 275, Splice, Transfer, true)                                  \
  X(Chdir, chdir, 49, 80, Chdir, Chdir, true)                                         \
  X(Fchdir, fchdir, 50, 81, Fchdir, Chdir, true)                                      \
  X(Openat, openat, 56, 257, Openat, Open, true)                                      \
  X(Renameat, renameat, 38, 264, Renameat, Rename, true)                              \
  X(Linkat, linkat, 37, 265, Linkat, Link, true)                                      \
  X(Preadv, preadv, 69, 295, Preadv, Read, false)                                     \
  X(Pwritev, pwritev, 70, 296, Pwritev, Write, true)                                  \
  X(Renameat2, renameat2, 276, 316, Renameat2, Rename, true)                          \
  X(CopyFileRange, copy_file_range, 285, 326, CopyFileRange, Transfer, true)          \
  X(Preadv2, preadv2, 286, 327, Preadv2, Read, false)                                 \
  X(Pwritev2, pwritev2, 287, 328, Pwritev2, Write, true)

#define DREL_SYSCALLS_X86_64_ONLY(X)                                                  \
  X(Open, open, kNoSyscall, 2, Openat, Open, true)                                    \
  X(Creat, creat, kNoSyscall, 85, Openat, Open, true)                                 \
  X(Dup2, dup2, kNoSyscall, 33, Dup3, Dup, true)                                      \
  X(Rename, rename, kNoSyscall, 82, Renameat, Rename, true)                           \
  X(Link, link, kNoSyscall, 86, Linkat, Link, true)

#define DREL_SYSCALLS(X) DREL_SYSCALLS_BOTH(X) DREL_SYSCALLS_X86_64_ONLY(X)

enum class SyscallKind {
#define DREL_KIND(kind, ...) kind,
  DREL_SYSCALLS(DREL_KIND)
#undef DREL_KIND
};

// Audit architectures of the two processors, usable on any host (the filter tests build both).
inline constexpr uint32_t kAuditArchAarch64 = AUDIT_ARCH_AARCH64;
inline constexpr uint32_t kAuditArchX86_64 = AUDIT_ARCH_X86_64;
static_assert(kAuditArchAarch64 == 0xC00000B7);

struct SyscallEntry {
  SyscallKind kind;
  const char* name;
  int64_t aarch64;  // kNoSyscall: the call does not exist there
  int64_t x86_64;
  SyscallKind neutral;  // the kind the decoder sees
  CallFamily family;
  bool exit_needed;  // the decoder needs the call's result
};

inline constexpr auto kSyscallTable = std::to_array<SyscallEntry>({
#define DREL_ROW(kind, name, a64, x64, neutral, family, exit)                              \
  {SyscallKind::kind, #name, a64, x64, SyscallKind::neutral, CallFamily::family, exit},
    DREL_SYSCALLS(DREL_ROW)
#undef DREL_ROW
});

namespace syscall_table_detail {

enum class Column { Aarch64, X86_64 };

constexpr int64_t number_in(const SyscallEntry& e, Column c) {
  return c == Column::Aarch64 ? e.aarch64 : e.x86_64;
}

template <Column C>
constexpr std::size_t count_present() {
  std::size_t n = 0;
  for (const auto& e : kSyscallTable) n += number_in(e, C) != kNoSyscall ? 1 : 0;
  return n;
}

template <Column C>
constexpr auto traced_list() {
  std::array<int64_t, count_present<C>()> out{};
  std::size_t i = 0;
  for (const auto& e : kSyscallTable) {
    if (number_in(e, C) != kNoSyscall) out[i++] = number_in(e, C);
  }
  return out;
}

constexpr const SyscallEntry& row(SyscallKind kind) {
  return kSyscallTable[static_cast<std::size_t>(kind)];
}

// Rows are in enum order, so a kind indexes its row.
constexpr bool rows_in_kind_order() {
  for (std::size_t i = 0; i < kSyscallTable.size(); ++i) {
    if (static_cast<std::size_t>(kSyscallTable[i].kind) != i) return false;
  }
  return true;
}
static_assert(rows_in_kind_order());

// A call decoded as another kind is decoded as a native one of the same family, and an older form
// exists only on x86_64.
constexpr bool neutral_kinds_are_native() {
  for (const auto& e : kSyscallTable) {
    const SyscallEntry& n = row(e.neutral);
    if (n.neutral != n.kind || n.family != e.family || n.aarch64 == kNoSyscall) return false;
    if (e.neutral != e.kind && e.aarch64 != kNoSyscall) return false;
  }
  return true;
}
static_assert(neutral_kinds_are_native());

}  // namespace syscall_table_detail

inline constexpr auto kAarch64TracedSyscalls =
    syscall_table_detail::traced_list<syscall_table_detail::Column::Aarch64>();
inline constexpr auto kX86_64TracedSyscalls =
    syscall_table_detail::traced_list<syscall_table_detail::Column::X86_64>();

static_assert(kAarch64TracedSyscalls.size() == 22);
static_assert(kX86_64TracedSyscalls.size() == 27);
// The filter's jump offsets are 8 bits wide.
static_assert(kX86_64TracedSyscalls.size() <= 254);

#if defined(__aarch64__)
inline constexpr syscall_table_detail::Column kNativeColumn = syscall_table_detail::Column::Aarch64;
inline constexpr const auto& TRACED_SYSCALLS = kAarch64TracedSyscalls;
#elif defined(__x86_64__)
inline constexpr syscall_table_detail::Column kNativeColumn = syscall_table_detail::Column::X86_64;
inline constexpr const auto& TRACED_SYSCALLS = kX86_64TracedSyscalls;
#else
#error "drel-tracer supports aarch64 and x86_64 only"
#endif

constexpr bool exit_needed(SyscallKind kind) {
  return syscall_table_detail::row(kind).exit_needed;
}

constexpr const char* syscall_name(SyscallKind kind) {
  return syscall_table_detail::row(kind).name;
}

constexpr CallFamily call_family(SyscallKind kind) {
  return syscall_table_detail::row(kind).family;
}

constexpr SyscallKind neutral_kind(SyscallKind kind) {
  return syscall_table_detail::row(kind).neutral;
}

// The kind of a native system-call number, if it is one we trace.
constexpr std::optional<SyscallKind> syscall_kind(uint64_t native_nr) {
  for (const auto& e : kSyscallTable) {
    const int64_t n = syscall_table_detail::number_in(e, kNativeColumn);
    if (n != kNoSyscall && static_cast<uint64_t>(n) == native_nr) return e.kind;
  }
  return std::nullopt;
}

// The native column agrees with the C library's headers, row by row.
#define DREL_CHECK_NATIVE(kind, name, ...)                                                   \
  static_assert(syscall_table_detail::number_in(syscall_table_detail::row(SyscallKind::kind), \
                                                kNativeColumn) == SYS_##name,                 \
                #name " has the wrong number for this processor");
#define DREL_CHECK_ABSENT(kind, name, ...)                                                   \
  static_assert(syscall_table_detail::row(SyscallKind::kind).aarch64 == kNoSyscall,          \
                #name " is an older x86_64 form");
DREL_SYSCALLS_BOTH(DREL_CHECK_NATIVE)
#if defined(__x86_64__)
DREL_SYSCALLS_X86_64_ONLY(DREL_CHECK_NATIVE)
#else
DREL_SYSCALLS_X86_64_ONLY(DREL_CHECK_ABSENT)
#endif
#undef DREL_CHECK_NATIVE
#undef DREL_CHECK_ABSENT

}  // namespace drel
