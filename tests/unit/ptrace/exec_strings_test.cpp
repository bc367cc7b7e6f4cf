// The argument and environment strings read from a new program's stack: the pointer arrays
// checked against laid-out stacks, and the texts against /proc at a real exec stop.
#include "exec_strings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "arch/registers.h"
#include "common/proc_info.h"
#include "support/case_names.h"
#include "support/process_runner.h"

namespace drel {
namespace {

// How a laid-out stack is spoilt before it is read.
enum class Spoil { None, ShiftedPointer, SwappedPointers, NoArgvNull, CutLastString };

struct LayoutCase {
  const char* name;
  unsigned word_bytes;  // as the stack is laid out
  unsigned read_as;     // as it is read
  std::vector<std::string> args;
  std::vector<std::string> env;
  Spoil spoil;
  bool readable;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

constexpr uint64_t kStackPointer = 0x7ffd0000;

// argc, argv, NULL, envp, NULL, an empty auxiliary vector, 16 bytes of padding, then the
// strings, as the kernel lays them out.
std::string lay_out(const LayoutCase& c) {
  const std::size_t words = 1 + c.args.size() + 1 + c.env.size() + 1 + 2;
  uint64_t at = kStackPointer + words * c.word_bytes + 16;
  std::vector<uint64_t> pointers;
  std::string strings;
  for (const auto* list : {&c.args, &c.env}) {
    for (const std::string& s : *list) {
      pointers.push_back(at + strings.size());
      strings += s;
      strings += '\0';
    }
  }
  std::vector<uint64_t> stack{c.args.size()};
  stack.insert(stack.end(), pointers.begin(), pointers.begin() + c.args.size());
  stack.push_back(0);
  stack.insert(stack.end(), pointers.begin() + c.args.size(), pointers.end());
  stack.insert(stack.end(), {0, 0, 0});
  if (c.spoil == Spoil::ShiftedPointer) stack[2] += 1;
  if (c.spoil == Spoil::SwappedPointers) std::swap(stack[1], stack[2]);
  if (c.spoil == Spoil::NoArgvNull) stack[1 + c.args.size()] = stack[1];
  if (c.spoil == Spoil::CutLastString) strings.pop_back();
  std::string bytes;
  for (const uint64_t w : stack) bytes.append(reinterpret_cast<const char*>(&w), c.word_bytes);
  bytes.append(16, '\0');
  return bytes + strings;
}

std::string joined(const std::vector<std::string>& pieces) {
  std::string out;
  for (const std::string& p : pieces) out += p + '\0';
  return out;
}

class StackLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(StackLayout, GivesTheTextsOnlyWhenEveryPointerFits) {
  const LayoutCase& c = GetParam();
  const std::string stack = lay_out(c);
  std::vector<uint64_t> pointers;
  const std::optional<StackStrings> layout =
      parse_stack_arrays(stack, kStackPointer, c.read_as, pointers);
  ExecStrings out;
  const bool read =
      layout && split_stack_strings(std::string_view(stack).substr(layout->start - kStackPointer),
                                    *layout, pointers, out);
  ASSERT_EQ(read, c.readable);
  if (!read) return;
  EXPECT_EQ(out.cmdline, joined(c.args));
  EXPECT_EQ(out.environ_text, joined(c.env));
}

INSTANTIATE_TEST_SUITE_P(
    Stacks, StackLayout,
    ::testing::Values(
        LayoutCase{"SixtyFourBit", 8, 8, {"/bin/prog", "-x", ""}, {"A=1", "B="}, Spoil::None, true},
        LayoutCase{"ThirtyTwoBit", 4, 4, {"prog", "x y"}, {"A=1"}, Spoil::None, true},
        LayoutCase{"NoArguments", 8, 8, {}, {"A=1"}, Spoil::None, true},
        LayoutCase{"NoEnvironment", 8, 8, {"prog"}, {}, Spoil::None, true},
        LayoutCase{"NoStrings", 8, 8, {}, {}, Spoil::None, true},
        LayoutCase{"ReadWithShorterPointers", 8, 4, {"prog"}, {"A=1"}, Spoil::None, false},
        LayoutCase{"ReadWithLongerPointers", 4, 8, {"prog", "a"}, {"A=1"}, Spoil::None, false},
        LayoutCase{"PointerOffByOne", 8, 8, {"prog", "a"}, {"A=1"}, Spoil::ShiftedPointer, false},
        LayoutCase{"PointersOutOfOrder", 8, 8, {"prog", "a"}, {"A=1"}, Spoil::SwappedPointers,
                   false},
        LayoutCase{"ArgvWithoutNull", 8, 8, {"prog"}, {"A=1"}, Spoil::NoArgvNull, false},
        LayoutCase{"LastStringCut", 8, 8, {"prog"}, {"A=1"}, Spoil::CutLastString, false}),
    test::ByName{});

struct ExecCase {
  const char* name;
  std::string program;  // a fixture name, or an absolute path
  unsigned word_bytes;
  std::vector<std::string> args;
  std::vector<std::string> env;
};

void PrintTo(const ExecCase& c, std::ostream* os) { *os << c.name; }

const std::string kLong(40000, 'v');  // beyond the first read of the stack

class ExecStop : public ::testing::TestWithParam<ExecCase> {};

// The child stops at its exec; the texts read from its stack are what /proc shows then.
TEST_P(ExecStop, StackTextsAreTheProcTexts) {
  const ExecCase& c = GetParam();
  const std::string program =
      c.program.front() == '/' ? c.program : test::fixture_path(c.program);
  if (::access(program.c_str(), X_OK) != 0) GTEST_SKIP() << program << " is not built here";
  std::vector<char*> argv, envp;
  for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : c.env) envp.push_back(const_cast<char*>(e.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(90);
    ::raise(SIGSTOP);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(91);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSTOPPED(status));
  ASSERT_EQ(::ptrace(PTRACE_SETOPTIONS, child, nullptr,
                     reinterpret_cast<void*>(long{PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL})),
            0);
  ASSERT_EQ(::ptrace(PTRACE_CONT, child, nullptr, nullptr), 0);
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(status >> 8, SIGTRAP | (PTRACE_EVENT_EXEC << 8));

  const std::optional<ExecStack> stack = read_exec_stack(child);
  ExecStrings out;
  ExecStringsReader reader;
  const bool read = stack && reader.read(child, stack->pointer, stack->word_bytes, out);
  const std::string proc = "/proc/" + std::to_string(child) + "/";
  const std::optional<std::string> cmdline = read_proc_text(proc + "cmdline");
  const std::optional<std::string> environ_text = read_proc_text(proc + "environ");
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);

  ASSERT_TRUE(stack.has_value());
  EXPECT_EQ(stack->word_bytes, c.word_bytes);
  ASSERT_TRUE(read);
  ASSERT_TRUE(cmdline && environ_text);
  EXPECT_EQ(out.cmdline, *cmdline);
  EXPECT_EQ(out.environ_text, *environ_text);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, ExecStop,
    ::testing::Values(
        ExecCase{"Native", "/bin/true", 8, {"true", "", "a b", "\xff\xfe"},
                 {"A=1", "EMPTY=", "NOEQUALS", "\xc3("}},
        ExecCase{"NativeNoEnvironment", "/bin/true", 8, {"true"}, {}},
        ExecCase{"NativeLongStrings", "/bin/true", 8, {"true", kLong}, {"LONG=" + kLong}},
        ExecCase{"I386", "launcher_actions_i386", 4, {"actions", "", "x"}, {"A=1", "B="}}),
    test::ByName{});

}  // namespace
}  // namespace drel
