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
  Open,      // openat(dirfd, path, flags, mode), openat2(dirfd, path, how, size)
  Dup,       // dup(old), dup3(old, new, flags), fcntl(old, F_DUPFD[_CLOEXEC], min)
  Chdir,     // chdir(path), fchdir(fd): only the result matters
  Link,      // linkat(olddirfd, old, newdirfd, new, flags)
  Rename,    // renameat(olddirfd, old, newdirfd, new[, flags]): both names change
  Transfer,  // sendfile(out, in, ...), splice(in, _, out, ...), copy_file_range(in, _, out, ...)
  Unlink,    // unlinkat(dirfd, path, flags), mkdirat(dirfd, path, mode): the name changes
  Symlink,   // symlinkat(target, newdirfd, linkpath)
  Truncate,  // truncate(path, length)
  Ftruncate, // ftruncate(fd, length)
  Clone,     // clone(flags, ...), clone3(args, size): no file access; see CLONE_UNTRACED
  CloseRange,  // close_range(first, last, flags)
  Unseen,    // io_uring_setup: accesses this design cannot see
};

// Columns: kind, name (also SYS_<name>), aarch64 number, x86_64 number, the kind it is decoded as
// (itself, or the aarch64 form an older x86_64 call is mapped onto: arch/older_calls.h holds the
// argument mapping), family, whether the decoder needs the call's result.
//
// Filter order: the row order is the order of the filter's comparisons. The first 22 calls on
// both processors come first, in their order, then the calls added since; x86_64's older forms
// follow in their own list, since aarch64 has no SYS_ name for them.
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
  X(Pwritev2, pwritev2, 287, 328, Pwritev2, Write, true)                             \
  X(Dup, dup, 23, 32, Dup, Dup, true)                                                 \
  X(Fcntl, fcntl, 25, 72, Fcntl, Dup, true)                                           \
  X(Unlinkat, unlinkat, 35, 263, Unlinkat, Unlink, true)                              \
  X(Symlinkat, symlinkat, 36, 266, Symlinkat, Symlink, true)                          \
  X(Truncate, truncate, 45, 76, Truncate, Truncate, true)                             \
  X(Ftruncate, ftruncate, 46, 77, Ftruncate, Ftruncate, true)                         \
  X(Getdents64, getdents64, 61, 217, Getdents64, Read, false)                         \
  X(Openat2, openat2, 437, 437, Openat2, Open, true)                                  \
  X(IoUringSetup, io_uring_setup, 425, 425, IoUringSetup, Unseen, false)              \
  X(Clone, clone, 220, 56, Clone, Clone, false)                                       \
  X(Clone3, clone3, 435, 435, Clone3, Clone, false)                                  \
  X(CloseRange, close_range, 436, 436, CloseRange, CloseRange, true)                 \
  X(Mkdirat, mkdirat, 34, 258, Mkdirat, Unlink, true)

#define DREL_SYSCALLS_X86_64_ONLY(X)                                                  \
  X(Open, open, kNoSyscall, 2, Openat, Open, true)                                    \
  X(Creat, creat, kNoSyscall, 85, Openat, Open, true)                                 \
  X(Dup2, dup2, kNoSyscall, 33, Dup3, Dup, true)                                      \
  X(Rename, rename, kNoSyscall, 82, Renameat, Rename, true)                           \
  X(Link, link, kNoSyscall, 86, Linkat, Link, true)                                  \
  X(Unlink, unlink, kNoSyscall, 87, Unlinkat, Unlink, true)                           \
  X(Symlink, symlink, kNoSyscall, 88, Symlinkat, Symlink, true)                      \
  X(Mkdir, mkdir, kNoSyscall, 83, Mkdirat, Unlink, true)                              \
  X(Rmdir, rmdir, kNoSyscall, 84, Unlinkat, Unlink, true)

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

static_assert(kAarch64TracedSyscalls.size() == 35);
static_assert(kX86_64TracedSyscalls.size() == 44);

// A call the filter stops only when one of its arguments passes a test, so that its frequent
// uses cost no stop: the argument's low 32 bits match when they equal one of the values, or
// (any_bit) share a bit with the one value. A match stops the call; with match_allows a match
// lets it run and no match stops it.
struct ArgumentTest {
  int64_t number = kNoSyscall;
  uint32_t arg = 0;
  bool any_bit = false;
  std::array<uint32_t, 2> values{};
  std::size_t count = 0;
  bool match_allows = false;
};

namespace syscall_table_detail {
// fcntl stops only to duplicate a descriptor (F_DUPFD, F_DUPFD_CLOEXEC); clone only when it asks
// for an untraced child (CLONE_UNTRACED), which the tracer clears; mmap only for a map of a file,
// as an anonymous one (MAP_ANONYMOUS) reads no descriptor.
struct KindTest {
  SyscallKind kind;
  uint32_t arg;
  bool any_bit;
  std::array<uint32_t, 2> values;
  std::size_t count;
  bool match_allows;
};
inline constexpr std::array<KindTest, 3> kKindTests{{
    {SyscallKind::Fcntl, 1, false, {0 /* F_DUPFD */, 1030 /* F_DUPFD_CLOEXEC */}, 2, false},
    {SyscallKind::Clone, 0, true, {0x00800000 /* CLONE_UNTRACED */, 0}, 1, false},
    {SyscallKind::Mmap, 3, true, {0x20 /* MAP_ANONYMOUS */, 0}, 1, true},
}};

template <Column C>
constexpr auto argument_tests() {
  std::array<ArgumentTest, kKindTests.size()> out{};
  for (std::size_t i = 0; i < kKindTests.size(); ++i) {
    const KindTest& t = kKindTests[i];
    out[i] = {number_in(row(t.kind), C), t.arg, t.any_bit, t.values, t.count, t.match_allows};
  }
  return out;
}
}  // namespace syscall_table_detail

inline constexpr auto kAarch64ArgumentTests =
    syscall_table_detail::argument_tests<syscall_table_detail::Column::Aarch64>();
inline constexpr auto kX86_64ArgumentTests =
    syscall_table_detail::argument_tests<syscall_table_detail::Column::X86_64>();

#if defined(__aarch64__)
inline constexpr syscall_table_detail::Column kNativeColumn = syscall_table_detail::Column::Aarch64;
inline constexpr const auto& TRACED_SYSCALLS = kAarch64TracedSyscalls;
inline constexpr const auto& ARGUMENT_TESTS = kAarch64ArgumentTests;
#elif defined(__x86_64__)
inline constexpr syscall_table_detail::Column kNativeColumn = syscall_table_detail::Column::X86_64;
inline constexpr const auto& TRACED_SYSCALLS = kX86_64TracedSyscalls;
inline constexpr const auto& ARGUMENT_TESTS = kX86_64ArgumentTests;
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
