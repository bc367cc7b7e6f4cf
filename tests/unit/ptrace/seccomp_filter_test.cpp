// The filter program word by word, and the lists derived from the syscall table.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>

#include <cstring>
#include <set>
#include <tuple>
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
// stop), clone's block (only CLONE_UNTRACED stops), mmap's block (MAP_ANONYMOUS allows, any other
// map stops), "trace".
TEST(SeccompFilter, Aarch64ProgramIsExactly50Words) {
  const std::vector<Word> want = {
      {0x20, 0, 0, 4}, {0x15, 0, 36, 0xC00000B7}, {0x20, 0, 0, 0}, {0x15, 45, 0, 63},
      {0x15, 44, 0, 64}, {0x15, 43, 0, 57}, {0x15, 39, 0, 222}, {0x15, 41, 0, 67},
      {0x15, 40, 0, 68}, {0x15, 39, 0, 65}, {0x15, 38, 0, 66}, {0x15, 37, 0, 24}, {0x15, 36, 0, 71},
      {0x15, 35, 0, 76}, {0x15, 34, 0, 49}, {0x15, 33, 0, 50}, {0x15, 32, 0, 56}, {0x15, 31, 0, 38},
      {0x15, 30, 0, 37}, {0x15, 29, 0, 69}, {0x15, 28, 0, 70}, {0x15, 27, 0, 276},
      {0x15, 26, 0, 285}, {0x15, 25, 0, 286}, {0x15, 24, 0, 287}, {0x15, 23, 0, 23},
      {0x15, 12, 0, 25}, {0x15, 21, 0, 35}, {0x15, 20, 0, 36}, {0x15, 19, 0, 45}, {0x15, 18, 0, 46},
      {0x15, 17, 0, 61}, {0x15, 16, 0, 437}, {0x15, 15, 0, 425}, {0x15, 8, 0, 220},
      {0x15, 13, 0, 435}, {0x15, 12, 0, 436}, {0x15, 11, 0, 34}, {0x06, 0, 0, 0x7FFF0000},
      {0x20, 0, 0, 24}, {0x15, 8, 0, 0}, {0x15, 7, 0, 1030}, {0x06, 0, 0, 0x7FFF0000},
      {0x20, 0, 0, 16}, {0x45, 4, 0, 0x00800000}, {0x06, 0, 0, 0x7FFF0000}, {0x20, 0, 0, 40},
      {0x45, 0, 1, 0x20}, {0x06, 0, 0, 0x7FFF0000}, {0x06, 0, 0, 0x7FF00000},
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
  const std::size_t trace = n + 3 + 4 + 3 + 3 + 1;
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t target = trace;
    if (numbers[i] == 72) target = n + 4;         // fcntl's block
    if (numbers[i] == 56) target = n + 4 + 4;     // clone's block
    if (numbers[i] == 9) target = n + 4 + 4 + 3;  // mmap's block
    want.push_back({0x15, static_cast<uint8_t>(target - (3 + i) - 1), 0,
                    static_cast<uint32_t>(numbers[i])});
  }
  want.push_back({0x06, 0, 0, 0x7FFF0000});
  want.insert(want.end(), {{0x20, 0, 0, 24}, {0x15, 8, 0, 0}, {0x15, 7, 0, 1030},
                           {0x06, 0, 0, 0x7FFF0000}, {0x20, 0, 0, 16}, {0x45, 4, 0, 0x00800000},
                           {0x06, 0, 0, 0x7FFF0000}, {0x20, 0, 0, 40}, {0x45, 0, 1, 0x20},
                           {0x06, 0, 0, 0x7FFF0000}, {0x06, 0, 0, 0x7FF00000}});
  expect_program(program, want);
}

// Runs the program on one call as the kernel would, for the instructions the filter uses; any
// other instruction, or running off the end, gives 0 (SECCOMP_RET_KILL_THREAD).
uint32_t run_filter(const std::vector<sock_filter>& program, const seccomp_data& call) {
  uint32_t acc = 0;
  for (std::size_t pc = 0; pc < program.size(); ++pc) {
    const sock_filter& f = program[pc];
    switch (f.code) {
      case BPF_LD | BPF_W | BPF_ABS:
        if (f.k + 4 > sizeof call) return 0;
        std::memcpy(&acc, reinterpret_cast<const char*>(&call) + f.k, 4);
        break;
      case BPF_JMP | BPF_JEQ | BPF_K:
        pc += acc == f.k ? f.jt : f.jf;
        break;
      case BPF_JMP | BPF_JSET | BPF_K:
        pc += (acc & f.k) != 0 ? f.jt : f.jf;
        break;
      case BPF_RET | BPF_K:
        return f.k;
      default:
        return 0;
    }
  }
  return 0;
}

// The table's programs on sample calls, on both processors: what stops and what runs.
TEST(SeccompFilter, SampleCallsStopOnlyWhenTheirArgumentsAskForIt) {
  constexpr uint32_t kAllow = 0x7FFF0000, kTrace = 0x7FF00000;
  constexpr uint64_t kNoFd = static_cast<uint64_t>(-1);
  struct Call {
    const char* name;
    int64_t aarch64, x86_64;
    std::array<uint64_t, 6> args;
    uint32_t want;
  };
  const std::vector<Call> calls = {
      {"openat", 56, 257, {0, 0, 0, 0, 0, 0}, kTrace},
      {"getpid", 172, 39, {0, 0, 0, 0, 0, 0}, kAllow},
      {"fcntl_dupfd_cloexec", 25, 72, {3, 1030, 10, 0, 0, 0}, kTrace},
      {"fcntl_getfl", 25, 72, {3, 3, 0, 0, 0, 0}, kAllow},
      {"clone_untraced", 220, 56, {0x00800000 | 17, 0, 0, 0, 0, 0}, kTrace},
      {"clone_plain", 220, 56, {17, 0, 0, 0, 0, 0}, kAllow},
      {"mmap_anonymous_private", 222, 9, {0, 4096, 3, 0x22, kNoFd, 0}, kAllow},
      {"mmap_anonymous_with_a_descriptor", 222, 9, {0, 4096, 3, 0x21, 3, 0}, kAllow},
      {"mmap_anonymous_fixed_noreserve", 222, 9, {0, 4096, 0, 0x4032, kNoFd, 0}, kAllow},
      {"mmap_file_private", 222, 9, {0, 4096, 1, 0x02, 3, 0}, kTrace},
      {"mmap_file_shared", 222, 9, {0, 4096, 3, 0x01, 3, 0}, kTrace},
      // MAP_ANONYMOUS in the high word is no flag: flags is an int.
      {"mmap_file_high_word_bit", 222, 9, {0, 4096, 1, 0x20'0000'0002, 3, 0}, kTrace},
  };
  struct Column {
    const char* name;
    std::vector<sock_filter> program;
    uint32_t arch;
    bool aarch64;
  };
  const Column columns[] = {
      {"aarch64",
       build_seccomp_filter(kAarch64TracedSyscalls, kAarch64ArgumentTests, kAuditArchAarch64),
       kAuditArchAarch64, true},
      {"x86_64",
       build_seccomp_filter(kX86_64TracedSyscalls, kX86_64ArgumentTests, kAuditArchX86_64),
       kAuditArchX86_64, false},
  };
  for (const Column& col : columns) {
    ASSERT_FALSE(col.program.empty()) << col.name;
    for (const Call& c : calls) {
      SCOPED_TRACE(std::string(col.name) + " " + c.name);
      seccomp_data data{};
      data.nr = static_cast<int>(col.aarch64 ? c.aarch64 : c.x86_64);
      data.arch = col.arch;
      for (std::size_t i = 0; i < 6; ++i) data.args[i] = c.args[i];
      EXPECT_EQ(run_filter(col.program, data), c.want);
      // Under another calling convention every call runs.
      data.arch = col.aarch64 ? kAuditArchX86_64 : kAuditArchAarch64;
      EXPECT_EQ(run_filter(col.program, data), kAllow);
    }
  }
}

// A match_allows block with two values: either value allows, neither stops.
TEST(SeccompFilter, MatchAllowsBlockStopsOnlyWhenNoValueMatches) {
  const std::vector<int64_t> numbers = {5, 6};
  const ArgumentTest test{6, 1, false, {10, 20}, 2, true};
  const auto program = build_seccomp_filter(numbers, std::span(&test, 1), kAuditArchAarch64);
  ASSERT_FALSE(program.empty());
  for (const auto& [nr, arg, want] : std::vector<std::tuple<int, uint64_t, uint32_t>>{
           {6, 10, 0x7FFF0000}, {6, 20, 0x7FFF0000}, {6, 30, 0x7FF00000}, {5, 10, 0x7FF00000}}) {
    SCOPED_TRACE(std::to_string(nr) + " " + std::to_string(arg));
    seccomp_data data{};
    data.nr = nr;
    data.arch = kAuditArchAarch64;
    data.args[1] = arg;
    EXPECT_EQ(run_filter(program, data), want);
  }
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

// No value to match would let every call through; more values than the test holds cannot be read.
TEST(SeccompFilter, ArgumentTestWithoutUsableValuesGivesNoProgram) {
  const std::vector<int64_t> numbers = {1, 2};
  for (const ArgumentTest& bad :
       {ArgumentTest{2, 0, true, {0, 0}, 0, true}, ArgumentTest{2, 0, false, {7, 8}, 3, false}}) {
    EXPECT_TRUE(build_seccomp_filter(numbers, std::span(&bad, 1), kAuditArchAarch64).empty());
  }
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
