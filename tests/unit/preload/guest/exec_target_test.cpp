#include "preload/guest/exec_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process_runner.h"

namespace drel::guest {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put(const std::string& path, const std::string& bytes, mode_t mode = 0755) {
  ::mkdir(path.substr(0, path.rfind('/')).c_str(), 0755);
  std::ofstream(path, std::ios::binary) << bytes;
  ::chmod(path.c_str(), mode);
}

// This test program: dynamically linked for this process's loader wherever the tests run
// (a system's /bin/true may be a static busybox).
std::string self() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}
std::string self_dir() { return self().substr(0, self().rfind('/')); }
std::string self_name() { return self().substr(self().rfind('/') + 1); }

// This program with one byte of its loader's name changed: a program for some other loader (musl's,
// say), which must not be handed a library built for this one.
std::string other_loader_program() {
  std::string elf = slurp(self());
  const size_t at = elf.find("ld-linux");
  if (at != std::string::npos && at < 4096) elf[at] = 'L';
  return elf;
}

std::string i386_program() { return test::fixture_path("launcher_actions_i386"); }

struct TargetCase {
  std::string name;
  // Files to make in a scratch directory ("$D" stands for it), then the file to judge.
  std::vector<std::pair<std::string, std::string>> files;
  std::string file;
  bool search;
  std::string path_var;
  bool expected;
  bool needs_i386 = false;
};

void PrintTo(const TargetCase& c, std::ostream* os) { *os << c.name; }

std::string expand(std::string s, const std::string& dir) {
  for (size_t at; (at = s.find("$D")) != std::string::npos;) s.replace(at, 2, dir);
  return s;
}

class ExecTarget : public ::testing::TestWithParam<TargetCase> {};

TEST_P(ExecTarget, TellsWhetherTheProgramRunsUnderThisLoader) {
  const TargetCase& c = GetParam();
  if (c.needs_i386 && access(i386_program().c_str(), X_OK) != 0)
    GTEST_SKIP() << "no i386 build here";
  note_own_loader();
  test::TempDir dir;
  for (const auto& [name, content] : c.files) {
    const std::string path = dir / name;
    if (content == "OTHER-LOADER") put(path, other_loader_program());
    else if (content == "NOT-EXECUTABLE") put(path, slurp(self()), 0644);
    else put(path, expand(content, dir.path()));
  }
  const std::string file = c.file == "SELF" ? self() : c.file == "SELF-NAME" ? self_name()
                                                                             : expand(c.file, dir.path());
  std::string path_var = expand(c.path_var, dir.path());
  for (size_t at; (at = path_var.find("$S")) != std::string::npos;) path_var.replace(at, 2, self_dir());
  EXPECT_EQ(runs_under_own_loader(file.c_str(), c.search, c.path_var.empty() ? nullptr
                                                                              : path_var.c_str()),
            c.expected);
}

const std::string kDeep = "#!$D/s2\n";

INSTANTIATE_TEST_SUITE_P(
    Programs, ExecTarget,
    ::testing::Values(
        TargetCase{"NativeProgram", {}, "SELF", false, "", true},
        TargetCase{"ScriptOfANativeShell", {{"s", "#!/bin/sh\necho\n"}}, "$D/s", false, "", true},
        TargetCase{"ScriptWithBlanksAndAnArgument", {{"s", "#! \t/bin/sh -e\n"}}, "$D/s", false,
                   "", true},
        TargetCase{"ScriptOfAScript", {{"s", "#!$D/t\n"}, {"t", "#!/bin/sh\n"}}, "$D/s", false,
                   "", true},
        TargetCase{"InterpretersTooDeep",
                   {{"s1", kDeep}, {"s2", "#!$D/s3\n"}, {"s3", "#!$D/s4\n"}, {"s4", "#!$D/s5\n"},
                    {"s5", "#!$D/s6\n"}, {"s6", "#!/bin/sh\n"}},
                   "$D/s1", false, "", false},
        TargetCase{"LineLongerThanTheKernelReads", {{"s", "#!/bin/sh" + std::string(300, ' ')}},
                   "$D/s", false, "", false},
        TargetCase{"ProgramForAnotherLoader", {{"p", "OTHER-LOADER"}}, "$D/p", false, "", false},
        TargetCase{"ThirtyTwoBitProgram", {}, i386_program(), false, "", false, true},
        TargetCase{"ScriptOfAThirtyTwoBitProgram", {{"s", "#!" + i386_program() + "\n"}}, "$D/s",
                   false, "", false, true},
        TargetCase{"TextFile", {{"t", "hello\n"}}, "$D/t", false, "", false},
        TargetCase{"Missing", {}, "$D/none", false, "", false},
        TargetCase{"FoundAlongPath", {}, "SELF-NAME", true, "$D/none:$S", true},
        TargetCase{"DefaultPathWhenUnset", {}, "sh", true, "", true},
        TargetCase{"NotSearchedWithASlash", {}, "bin/true", true, "/", false},
        // The search passes a file it may not execute, as execvp does.
        TargetCase{"SearchSkipsWhatItCannotRun",
                   {{"a/x", "NOT-EXECUTABLE"}, {"b/x", "OTHER-LOADER"}}, "x", true, "$D/a:$D/b",
                   false}),
    [](const auto& info) { return info.param.name; });

TEST(ExecTargetDescriptor, JudgesTheOpenFile) {
  note_own_loader();
  const int fd = ::open(self().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fd_runs_under_own_loader(fd));
  // Left open for the caller, who still has to execute it.
  EXPECT_EQ(::fcntl(fd, F_GETFD), FD_CLOEXEC);
  ::close(fd);
}

}  // namespace
}  // namespace drel::guest
