#include "preflight/command_resolution.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/case_names.h"
#include "support/process_runner.h"

namespace drel {
namespace {

using test::TempDir;

// A tree with two PATH directories:
//   a/tool (plain file, no execute bit), a/sub/ (directory holding inner), a/link -> b/target,
//   a/dangling -> nowhere, b/tool, b/only-b, b/target; and ./cwd-tool in the current directory.
class CommandResolution : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir((dir_ / "a").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir_ / "b").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir_ / "a/sub").c_str(), 0700), 0);
    test::write_file(dir_ / "a/tool", "");
    ASSERT_EQ(::chmod((dir_ / "a/tool").c_str(), 0600), 0);
    test::write_file(dir_ / "b/tool", "");
    test::write_file(dir_ / "b/only-b", "");
    test::write_file(dir_ / "b/target", "");
    ASSERT_EQ(::symlink((dir_ / "b/target").c_str(), (dir_ / "a/link").c_str()), 0);
    ASSERT_EQ(::symlink((dir_ / "nowhere").c_str(), (dir_ / "a/dangling").c_str()), 0);
    test::write_file(dir_ / "a/sub/inner", "");
    test::write_file(dir_ / "cwd-tool", "");
    old_cwd_ = ::getcwd(nullptr, 0);
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override {
    if (old_cwd_) {
      EXPECT_EQ(::chdir(old_cwd_), 0);
      ::free(old_cwd_);
    }
  }

  TempDir dir_;
  char* old_cwd_ = nullptr;
};

struct ResolveCase {
  std::string name;
  std::string command;
  std::optional<std::string> path_var;  // "@" stands for the tree's directory
  std::optional<std::string> found;     // likewise
};

void PrintTo(const ResolveCase& c, std::ostream* os) { *os << c.name; }

std::string expand(const std::string& text, const std::string& root) {
  std::string out;
  for (char c : text) {
    if (c == '@') {
      out += root;
    } else {
      out += c;
    }
  }
  return out;
}

class ResolveTable : public CommandResolution, public ::testing::WithParamInterface<ResolveCase> {};

TEST_P(ResolveTable, FindsWhatExists) {
  const ResolveCase& c = GetParam();
  std::optional<std::string> path_var;
  if (c.path_var) path_var = expand(*c.path_var, dir_.path());
  std::optional<std::string> expected;
  if (c.found) expected = expand(*c.found, dir_.path());
  EXPECT_EQ(resolve_command_in(expand(c.command, dir_.path()), path_var), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolveTable,
    ::testing::Values(
        ResolveCase{"FirstEntryWins", "tool", "@/a:@/b", "@/a/tool"},
        ResolveCase{"LaterEntry", "only-b", "@/a:@/b", "@/b/only-b"},
        ResolveCase{"NotAnywhere", "absent", "@/a:@/b", std::nullopt},
        ResolveCase{"PathUnset", "tool", std::nullopt, std::nullopt},
        ResolveCase{"PathEmptyIsOneEmptyEntry", "cwd-tool", "", "cwd-tool"},
        ResolveCase{"EmptyEntryIsTheBareCommand", "cwd-tool", "@/a::@/b", "cwd-tool"},
        ResolveCase{"TrailingEmptyEntry", "cwd-tool", "@/a:", "cwd-tool"},
        ResolveCase{"EntryWithTrailingSlash", "only-b", "@/b/", "@/b/only-b"},
        ResolveCase{"DirectoryCounts", "sub", "@/a", "@/a/sub"},
        ResolveCase{"SymlinkFollowed", "link", "@/a", "@/a/link"},
        ResolveCase{"DanglingSymlinkIsNotFound", "dangling", "@/a:@/b", std::nullopt},
        ResolveCase{"NoExecuteBitStillFound", "tool", "@/a", "@/a/tool"},
        ResolveCase{"RelativePathAsGiven", "./cwd-tool", "@/a", "./cwd-tool"},
        ResolveCase{"RelativePathMissing", "./missing", "@/a:@/b", std::nullopt},
        ResolveCase{"AbsolutePathAsGiven", "@/b/tool", std::nullopt, "@/b/tool"},
        ResolveCase{"SlashInsideIsAPathNotASearch", "a/tool", "@/b", "a/tool"},
        ResolveCase{"SlashInsideIsNeverSearched", "sub/inner", "@/a", std::nullopt}),
    test::ByName());

TEST_F(CommandResolution, ReadsPathFromTheEnvironment) {
  const char* old = std::getenv("PATH");
  const std::string saved = old ? old : "";
  ::setenv("PATH", (dir_.path() + "/b").c_str(), 1);
  const std::optional<std::string> found = resolve_command("only-b");
  ::unsetenv("PATH");
  const std::optional<std::string> unset = resolve_command("only-b");
  if (old) ::setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(found, dir_.path() + "/b/only-b");
  EXPECT_EQ(unset, std::nullopt);
}

}  // namespace
}  // namespace drel
