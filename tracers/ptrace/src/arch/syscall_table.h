// Every system call the tracer decodes, declared once with its number on each processor.
// The filter order, the exit-stop set, the number -> kind lookup and the checks against the
// system headers are all derived from this one table.
#pragma once

#include <linux/audit.h>
#include <sys/syscall.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace drel {

enum class SyscallKind {
  Read,
  Write,
  Close,
  Mmap,
  Pread64,
  Pwrite64,
  Readv,
  Writev,
  Dup3,
  Sendfile,
  Splice,
  Chdir,
  Fchdir,
  Openat,
  Renameat,
  Linkat,
  Preadv,
  Pwritev,
  Renameat2,
  CopyFileRange,
  Preadv2,
  Pwritev2,
  // x86_64's older forms; normalize_call maps them onto the kinds above before the decoder.
  Open,
  Creat,
  Dup2,
  Rename,
  Link,
};

inline constexpr int64_t kNoSyscall = -1;

// Audit architectures of the two processors, usable on any host (the filter tests build both).
inline constexpr uint32_t kAuditArchAarch64 = AUDIT_ARCH_AARCH64;
inline constexpr uint32_t kAuditArchX86_64 = AUDIT_ARCH_X86_64;
static_assert(kAuditArchAarch64 == 0xC00000B7);

struct SyscallEntry {
  SyscallKind kind;
  const char* name;
  int64_t aarch64;  // kNoSyscall: the call does not exist there
  int64_t x86_64;
  bool exit_needed;  // the decoder needs the call's result
};

// Filter order: the row order is the order of the filter's comparisons.
inline constexpr std::array<SyscallEntry, 27> kSyscallTable{{
    {SyscallKind::Read, "read", 63, 0, false},
    {SyscallKind::Write, "write", 64, 1, true},
    {SyscallKind::Close, "close", 57, 3, true},
    {SyscallKind::Mmap, "mmap", 222, 9, false},
    {SyscallKind::Pread64, "pread64", 67, 17, false},
    {SyscallKind::Pwrite64, "pwrite64", 68, 18, true},
    {SyscallKind::Readv, "readv", 65, 19, false},
    {SyscallKind::Writev, "writev", 66, 20, true},
    {SyscallKind::Dup3, "dup3", 24, 292, true},
    {SyscallKind::Sendfile, "sendfile", 71, 40, true},
    {SyscallKind::Splice, "splice", 76, 275, true},
    {SyscallKind::Chdir, "chdir", 49, 80, true},
    {SyscallKind::Fchdir, "fchdir", 50, 81, true},
    {SyscallKind::Openat, "openat", 56, 257, true},
    {SyscallKind::Renameat, "renameat", 38, 264, true},
    {SyscallKind::Linkat, "linkat", 37, 265, true},
    {SyscallKind::Preadv, "preadv", 69, 295, false},
    {SyscallKind::Pwritev, "pwritev", 70, 296, true},
    {SyscallKind::Renameat2, "renameat2", 276, 316, true},
    {SyscallKind::CopyFileRange, "copy_file_range", 285, 326, true},
    {SyscallKind::Preadv2, "preadv2", 286, 327, false},
    {SyscallKind::Pwritev2, "pwritev2", 287, 328, true},
    {SyscallKind::Open, "open", kNoSyscall, 2, true},
    {SyscallKind::Creat, "creat", kNoSyscall, 85, true},
    {SyscallKind::Dup2, "dup2", kNoSyscall, 33, true},
    {SyscallKind::Rename, "rename", kNoSyscall, 82, true},
    {SyscallKind::Link, "link", kNoSyscall, 86, true},
}};

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
  for (const auto& e : kSyscallTable) {
    if (e.kind == kind) return e.exit_needed;
  }
  return false;
}

constexpr const char* syscall_name(SyscallKind kind) {
  for (const auto& e : kSyscallTable) {
    if (e.kind == kind) return e.name;
  }
  return "?";
}

// The kind of a native system-call number, if it is one we trace.
constexpr std::optional<SyscallKind> syscall_kind(uint64_t native_nr) {
  for (const auto& e : kSyscallTable) {
    const int64_t n = syscall_table_detail::number_in(e, kNativeColumn);
    if (n != kNoSyscall && static_cast<uint64_t>(n) == native_nr) return e.kind;
  }
  return std::nullopt;
}

// The native column must agree with the C library's headers.
namespace syscall_table_detail {
constexpr int64_t native(SyscallKind kind) {
  for (const auto& e : kSyscallTable) {
    if (e.kind == kind) return number_in(e, kNativeColumn);
  }
  return kNoSyscall;
}
}  // namespace syscall_table_detail

static_assert(syscall_table_detail::native(SyscallKind::Read) == SYS_read);
static_assert(syscall_table_detail::native(SyscallKind::Write) == SYS_write);
static_assert(syscall_table_detail::native(SyscallKind::Close) == SYS_close);
static_assert(syscall_table_detail::native(SyscallKind::Mmap) == SYS_mmap);
static_assert(syscall_table_detail::native(SyscallKind::Pread64) == SYS_pread64);
static_assert(syscall_table_detail::native(SyscallKind::Pwrite64) == SYS_pwrite64);
static_assert(syscall_table_detail::native(SyscallKind::Readv) == SYS_readv);
static_assert(syscall_table_detail::native(SyscallKind::Writev) == SYS_writev);
static_assert(syscall_table_detail::native(SyscallKind::Dup3) == SYS_dup3);
static_assert(syscall_table_detail::native(SyscallKind::Sendfile) == SYS_sendfile);
static_assert(syscall_table_detail::native(SyscallKind::Splice) == SYS_splice);
static_assert(syscall_table_detail::native(SyscallKind::Chdir) == SYS_chdir);
static_assert(syscall_table_detail::native(SyscallKind::Fchdir) == SYS_fchdir);
static_assert(syscall_table_detail::native(SyscallKind::Openat) == SYS_openat);
static_assert(syscall_table_detail::native(SyscallKind::Renameat) == SYS_renameat);
static_assert(syscall_table_detail::native(SyscallKind::Linkat) == SYS_linkat);
static_assert(syscall_table_detail::native(SyscallKind::Preadv) == SYS_preadv);
static_assert(syscall_table_detail::native(SyscallKind::Pwritev) == SYS_pwritev);
static_assert(syscall_table_detail::native(SyscallKind::Renameat2) == SYS_renameat2);
static_assert(syscall_table_detail::native(SyscallKind::CopyFileRange) == SYS_copy_file_range);
static_assert(syscall_table_detail::native(SyscallKind::Preadv2) == SYS_preadv2);
static_assert(syscall_table_detail::native(SyscallKind::Pwritev2) == SYS_pwritev2);
#if defined(__x86_64__)
static_assert(syscall_table_detail::native(SyscallKind::Open) == SYS_open);
static_assert(syscall_table_detail::native(SyscallKind::Creat) == SYS_creat);
static_assert(syscall_table_detail::native(SyscallKind::Dup2) == SYS_dup2);
static_assert(syscall_table_detail::native(SyscallKind::Rename) == SYS_rename);
static_assert(syscall_table_detail::native(SyscallKind::Link) == SYS_link);
#else
static_assert(syscall_table_detail::native(SyscallKind::Open) == kNoSyscall);
#endif

}  // namespace drel
