// The filter program word by word, and the lists derived from the syscall table.
#include <gtest/gtest.h>
#include <linux/filter.h>

#include <set>
#include <vector>

#include "arch/syscall_table.h"
#include "seccomp.h"

namespace drel {
namespace {

// The program as a vector (empty when it cannot be encoded).
std::vector<sock_filter> build_seccomp_filter(std::span<const int64_t> numbers,
                                              std::span<const ArgumentTest> tests, uint32_t arch) {
  std::vector<sock_filter> program(kMaxFilterLength);
  program.resize(fill_seccomp_filter(numbers, tests, arch, program));
  return program;
}

std::vector<sock_filter> build_seccomp_filter(std::span<const int64_t> numbers, uint32_t arch) {
  return build_seccomp_filter(numbers, {}, arch);
}

struct Word {
  uint16_t code;
  uint8_t jt;
  uint8_t jf;
  uint32_t k;
};

void expect_program(const std::vector<sock_filter>& got, const std::vector<Word>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("instruction " + std::to_string(i));
    EXPECT_EQ(got[i].code, want[i].code);
    EXPECT_EQ(got[i].jt, want[i].jt);
    EXPECT_EQ(got[i].jf, want[i].jf);
    EXPECT_EQ(got[i].k, want[i].k);
  }
}

// The aarch64 program, written out in full: it must come out the same on every host. The 22
// calls first, the 13 added since, "allow", fcntl's block (only F_DUPFD and F_DUPFD_CLOEXEC
// stop), clone's block (only CLONE_UNTRACED stops), "trace".
TEST(SeccompFilter, Aarch64ProgramIsExactly47Words) {
  const std::vector<Word> want = {
      {0x20, 0, 0, 4}, {0x15, 0, 36, 0xC00000B7}, {0x20, 0, 0, 0}, {0x15, 42, 0, 63},
      {0x15, 41, 0, 64}, {0x15, 40, 0, 57}, {0x15, 39, 0, 222}, {0x15, 38, 0, 67},
      {0x15, 37, 0, 68}, {0x15, 36, 0, 65}, {0x15, 35, 0, 66}, {0x15, 34, 0, 24},
      {0x15, 33, 0, 71}, {0x15, 32, 0, 76}, {0x15, 31, 0, 49}, {0x15, 30, 0, 50},
      {0x15, 29, 0, 56}, {0x15, 28, 0, 38}, {0x15, 27, 0, 37}, {0x15, 26, 0, 69},
      {0x15, 25, 0, 70}, {0x15, 24, 0, 276}, {0x15, 23, 0, 285}, {0x15, 22, 0, 286},
      {0x15, 21, 0, 287}, {0x15, 20, 0, 23}, {0x15, 12, 0, 25}, {0x15, 18, 0, 35},
      {0x15, 17, 0, 36}, {0x15, 16, 0, 45}, {0x15, 15, 0, 46}, {0x15, 14, 0, 61},
      {0x15, 13, 0, 437}, {0x15, 12, 0, 425}, {0x15, 8, 0, 220}, {0x15, 10, 0, 435},
      {0x15, 9, 0, 436}, {0x15, 8, 0, 34}, {0x06, 0, 0, 0x7FFF0000}, {0x20, 0, 0, 24},
      {0x15, 5, 0, 0}, {0x15, 4, 0, 1030}, {0x06, 0, 0, 0x7FFF0000}, {0x20, 0, 0, 16},
      {0x45, 1, 0, 0x00800000}, {0x06, 0, 0, 0x7FFF0000}, {0x06, 0, 0, 0x7FF00000},
  };
  expect_program(build_seccomp_filter(kAarch64TracedSyscalls, kAarch64ArgumentTests,
                                      kAuditArchAarch64),
                 want);
}

TEST(SeccompFilter, X86_64ProgramAppendsTheOlderCallsAfterTheAddedOnes) {
  const std::vector<int64_t> numbers = {0,   1,   3,   9,   17,  18,  19,  20,  292, 40,
                                        275, 80,  81,  257, 264, 265, 295, 296, 316, 326,
                                        327, 328, 32,  72,  263, 266, 76,  77,  217, 437,
                                        425, 56,  435, 436, 258, 2,   85,  33,  82,  86,
                                        87,  88,  83,  84};
  ASSERT_EQ(std::vector<int64_t>(kX86_64TracedSyscalls.begin(), kX86_64TracedSyscalls.end()),
            numbers);
  const auto program =
      build_seccomp_filter(kX86_64TracedSyscalls, kX86_64ArgumentTests, kAuditArchX86_64);
  const std::size_t n = numbers.size();
  std::vector<Word> want = {{0x20, 0, 0, 4},
                            {0x15, 0, static_cast<uint8_t>(n + 1), 0xC000003E},
                            {0x20, 0, 0, 0}};
  const std::size_t trace = n + 3 + 4 + 3 + 1;
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t target = trace;
    if (numbers[i] == 72) target = n + 4;      // fcntl's block
    if (numbers[i] == 56) target = n + 4 + 4;  // clone's block
    want.push_back({0x15, static_cast<uint8_t>(target - (3 + i) - 1), 0,
                    static_cast<uint32_t>(numbers[i])});
  }
  want.push_back({0x06, 0, 0, 0x7FFF0000});
  want.insert(want.end(), {{0x20, 0, 0, 24}, {0x15, 5, 0, 0}, {0x15, 4, 0, 1030},
                           {0x06, 0, 0, 0x7FFF0000}, {0x20, 0, 0, 16}, {0x45, 1, 0, 0x00800000},
                           {0x06, 0, 0, 0x7FFF0000}, {0x06, 0, 0, 0x7FF00000}});
  expect_program(program, want);
}

// Every comparison must land on the trace return, and the architecture miss on allow.
TEST(SeccompFilter, JumpsLandOnTheTwoReturnsForAnyLength) {
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{7}, kMaxFilteredSyscalls}) {
    SCOPED_TRACE(n);
    std::vector<int64_t> numbers(n);
    for (std::size_t i = 0; i < n; ++i) numbers[i] = static_cast<int64_t>(1000 + i);
    const auto program = build_seccomp_filter(numbers, kAuditArchAarch64);
    ASSERT_EQ(program.size(), n + 5);
    EXPECT_EQ(1 + 1 + program[1].jf, n + 3);
    EXPECT_EQ(program[n + 3].k, 0x7FFF0000u);
    EXPECT_EQ(program[n + 4].k, 0x7FF00000u);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(3 + i + 1 + program[3 + i].jt, n + 4);
  }
}

TEST(SeccompFilter, NumbersAreCutToTheirLow32Bits) {
  const std::vector<int64_t> numbers = {static_cast<int64_t>(0x1'0000'0005), -1};
  const auto program = build_seccomp_filter(numbers, kAuditArchAarch64);
  ASSERT_EQ(program.size(), 7u);
  EXPECT_EQ(program[3].k, 5u);
  EXPECT_EQ(program[4].k, 0xFFFFFFFFu);
}

TEST(SeccompFilter, ListTooLongForEightBitJumpsGivesNoProgram) {
  const std::vector<int64_t> numbers(kMaxFilteredSyscalls + 1, 1);
  EXPECT_TRUE(build_seccomp_filter(numbers, kAuditArchAarch64).empty());
}

TEST(SeccompFilter, ArgumentTestForANumberNotListedGivesNoProgram) {
  const std::vector<int64_t> numbers = {1, 2};
  const ArgumentTest stray{3, 0, false, {7, 0}, 1};
  EXPECT_TRUE(build_seccomp_filter(numbers, std::span(&stray, 1), kAuditArchAarch64).empty());
}

TEST(SyscallTable, ExitStopsAreNeededExactlyForTheCallsWhoseResultMatters) {
  const std::set<int64_t> want = {23, 24, 25, 34, 35, 36, 37,  38,  45,  46,  49,  50,  56,
                                  57, 64, 66, 68, 70, 71, 76, 276, 285, 287, 436, 437};
  std::set<int64_t> got;
  for (const auto& e : kSyscallTable) {
    if (e.aarch64 != kNoSyscall && exit_needed(e.kind)) got.insert(e.aarch64);
  }
  EXPECT_EQ(got, want);
}

TEST(SyscallTable, NativeNumbersMapBackToTheirKinds) {
  for (const auto& e : kSyscallTable) {
#if defined(__aarch64__)
    const int64_t nr = e.aarch64;
#else
    const int64_t nr = e.x86_64;
#endif
    if (nr == kNoSyscall) continue;
    SCOPED_TRACE(e.name);
    const auto kind = syscall_kind(static_cast<uint64_t>(nr));
    ASSERT_TRUE(kind.has_value());
    EXPECT_EQ(*kind, e.kind);
  }
  EXPECT_FALSE(syscall_kind(SYS_getpid).has_value());
  EXPECT_FALSE(syscall_kind(static_cast<uint64_t>(-1)).has_value());
}

}  // namespace
}  // namespace drel
