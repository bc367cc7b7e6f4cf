// The older x86_64 calls reach the decoder in their aarch64 shape.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "arch/registers.h"

namespace drel {
namespace {

constexpr uint64_t kAtFdcwd = static_cast<uint64_t>(static_cast<int64_t>(AT_FDCWD));
constexpr uint64_t kPathA = 0x7000'1000;
constexpr uint64_t kPathB = 0x7000'2000;

int64_t native_number(SyscallKind kind) {
  for (const auto& e : kSyscallTable) {
    if (e.kind == kind) {
#if defined(__aarch64__)
      return e.aarch64;
#else
      return e.x86_64;
#endif
    }
  }
  return kNoSyscall;
}

struct LegacyCase {
  std::string name;
  SyscallKind legacy;
  std::array<uint64_t, 6> given;
  SyscallKind kind;
  std::array<uint64_t, 5> want;  // the first five arguments are all the decoder reads
};

void PrintTo(const LegacyCase& c, std::ostream* os) {
  *os << c.name;
}

class NormalizeLegacy : public testing::TestWithParam<LegacyCase> {};

TEST_P(NormalizeLegacy, MapsOntoTheAtForm) {
  const LegacyCase& c = GetParam();
  const int64_t nr = native_number(c.legacy);
  if (nr == kNoSyscall) GTEST_SKIP() << "this processor has no " << c.name;
  const auto call = normalize_call(static_cast<uint64_t>(nr), c.given.data());
  ASSERT_TRUE(call.has_value());
  EXPECT_EQ(call->kind, c.kind);
  for (std::size_t i = 0; i < c.want.size(); ++i) {
    EXPECT_EQ(call->args[i], c.want[i]) << "argument " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    X86_64, NormalizeLegacy,
    testing::Values(
        LegacyCase{"open",
                   SyscallKind::Open,
                   {kPathA, O_RDONLY | O_CLOEXEC, 0644, 9, 9, 9},
                   SyscallKind::Openat,
                   {kAtFdcwd, kPathA, O_RDONLY | O_CLOEXEC, 0644, 0}},
        LegacyCase{"creat",
                   SyscallKind::Creat,
                   {kPathA, 0600, 9, 9, 9, 9},
                   SyscallKind::Openat,
                   {kAtFdcwd, kPathA, O_CREAT | O_WRONLY | O_TRUNC, 0600, 0}},
        LegacyCase{
            "dup2", SyscallKind::Dup2, {5, 1, 9, 9, 9, 9}, SyscallKind::Dup3, {5, 1, 0, 0, 0}},
        LegacyCase{"rename",
                   SyscallKind::Rename,
                   {kPathA, kPathB, 9, 9, 9, 9},
                   SyscallKind::Renameat,
                   {kAtFdcwd, kPathA, kAtFdcwd, kPathB, 0}},
        LegacyCase{"link",
                   SyscallKind::Link,
                   {kPathA, kPathB, 9, 9, 9, 9},
                   SyscallKind::Linkat,
                   {kAtFdcwd, kPathA, kAtFdcwd, kPathB, 0}},
        LegacyCase{"mkdir",
                   SyscallKind::Mkdir,
                   {kPathA, 0750, 9, 9, 9, 9},
                   SyscallKind::Mkdirat,
                   {kAtFdcwd, kPathA, 0750, 0, 0}},
        LegacyCase{"rmdir",
                   SyscallKind::Rmdir,
                   {kPathA, 9, 9, 9, 9, 9},
                   SyscallKind::Unlinkat,
                   {kAtFdcwd, kPathA, AT_REMOVEDIR, 0, 0}}),
    [](const auto& info) { return info.param.name; });

TEST(NormalizeCall, NativeCallsKeepTheirArguments) {
  const uint64_t args[6] = {3, kPathA, O_WRONLY | O_TRUNC, 0, 4, 5};
  const auto call = normalize_call(static_cast<uint64_t>(native_number(SyscallKind::Openat)), args);
  ASSERT_TRUE(call.has_value());
  EXPECT_EQ(call->kind, SyscallKind::Openat);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(call->args[i], args[i]);
}

TEST(NormalizeCall, UntracedNumbersGiveNothing) {
  const uint64_t args[6] = {};
  EXPECT_FALSE(normalize_call(SYS_getpid, args).has_value());
  EXPECT_FALSE(normalize_call(100000, args).has_value());
}

}  // namespace
}  // namespace drel
