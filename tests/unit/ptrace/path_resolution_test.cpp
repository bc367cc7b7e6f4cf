// Resolution against real directories: the tasks are this test process itself.
#include "path_resolution.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <string_view>

#include "decoder_harness.h"
#include "support/process_runner.h"

namespace drel::test {
namespace {

// Each task's working directory as the tests set it up; a task missing here is read from /proc.
using CwdCache = std::map<pid_t, std::string>;

std::string resolve_path_at(CwdCache& cache, pid_t task, std::string_view path, int dirfd) {
  WorkingDirectory cwd;
  if (const auto it = cache.find(task); it != cache.end()) cwd = it->second;
  std::string out = "previous contents";
  resolve_path_at_into(cwd, task, path, dirfd, nullptr, out);
  if (cwd) cache[task] = *cwd;
  return out;
}

std::string resolve_path(CwdCache& cache, pid_t task, std::string_view path) {
  return resolve_path_at(cache, task, path, AT_FDCWD);
}

std::string canonical(const std::string& p) {
  char buf[PATH_MAX];
  return ::realpath(p.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

// A directory tree: D/sub/file, D/link -> sub, D/file_link -> sub/file, D/dangling -> gone,
// D/top.
class Tree : public testing::Test {
 protected:
  void SetUp() override {
    d_ = canonical(dir_.path());
    ASSERT_FALSE(d_.empty());
    ASSERT_EQ(::mkdir((d_ + "/sub").c_str(), 0755), 0);
    write_file(d_ + "/sub/file", "x");
    write_file(d_ + "/top", "x");
    ASSERT_EQ(::symlink("sub", (d_ + "/link").c_str()), 0);
    ASSERT_EQ(::symlink("sub/file", (d_ + "/file_link").c_str()), 0);
    ASSERT_EQ(::symlink("gone", (d_ + "/dangling").c_str()), 0);
  }
  TempDir dir_;
  std::string d_;
  const pid_t self_ = ::getpid();
};

struct Case {
  std::string name;
  std::string path;  // D replaced by the tree's directory
  std::string want;
  bool cwd_with_slash = false;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class RelativeToCwd : public Tree, public testing::WithParamInterface<Case> {};

std::string expand(const std::string& s, const std::string& d) {
  std::string out = s;
  if (const auto at = out.find('D'); at == 0) out.replace(0, 1, d);
  if (out == "P") out = d.substr(0, d.rfind('/'));  // the tree's parent
  return out;
}

TEST_P(RelativeToCwd, Resolves) {
  const Case& c = GetParam();
  CwdCache cache{{self_, c.cwd_with_slash ? d_ + "/" : d_}};
  EXPECT_EQ(resolve_path(cache, self_, expand(c.path, d_)), expand(c.want, d_));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RelativeToCwd,
    testing::Values(Case{"plain_name", "top", "D/top"},
                    Case{"dots_canonicalised", "./sub/../sub/./file", "D/sub/file"},
                    Case{"symlink_followed", "link/file", "D/sub/file"},
                    Case{"symlink_name_followed", "link", "D/sub"},
                    Case{"symlink_to_file_followed", "file_link", "D/sub/file"},
                    Case{"dangling_symlink_only_joined", "dangling", "D/dangling"},
                    Case{"directory_name", "sub", "D/sub"},
                    Case{"dot_name", ".", "D"},
                    Case{"dot_dot_name", "..", "P"},
                    Case{"missing_file_under_canonical_directory", "sub/../nothing", "D/nothing"},
                    Case{"missing_directory_only_joined", "gone/../nothing", "D/gone/../nothing"},
                    Case{"no_double_slash", "top", "D/top", true},
                    Case{"no_double_slash_when_missing", "nope", "D/nope", true},
                    Case{"absolute_unchanged", "/a/../b//c", "/a/../b//c"},
                    Case{"absolute_symlink_not_followed", "D/link/file", "D/link/file"}),
    [](const auto& info) { return info.param.name; });

TEST_F(Tree, WorkingDirectoryIsReadOnceFromProcAndCached) {
  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  CwdCache cache;
  const std::string got = resolve_path(cache, self_, "some-missing-name");
  EXPECT_EQ(got, std::string(cwd) + (std::string(cwd) == "/" ? "" : "/") + "some-missing-name");
  ASSERT_EQ(cache.count(self_), 1u);
  EXPECT_EQ(cache.at(self_), cwd);
  cache[self_] = d_;  // now the cached value is used, /proc is not read again
  EXPECT_EQ(resolve_path(cache, self_, "top"), d_ + "/top");
}

TEST_F(Tree, UnreadableWorkingDirectoryLeavesPathRelative) {
  CwdCache cache;
  const pid_t gone = 0x3FFFFFF0;  // above any pid_max
  EXPECT_EQ(resolve_path(cache, gone, "top"), "top");
  ASSERT_EQ(cache.count(gone), 1u);
  EXPECT_EQ(cache.at(gone), "");
}

TEST_F(Tree, TasksBelowOneGetThePathAsGiven) {
  CwdCache cache{{0, d_}, {-5, d_}};
  EXPECT_EQ(resolve_path(cache, 0, "top"), "top");
  EXPECT_EQ(resolve_path_at(cache, -5, "top", AT_FDCWD), "top");
}

TEST_F(Tree, DirectoryDescriptorIsTheBase) {
  const int dirfd = ::open((d_ + "/sub").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dirfd, 0);
  CwdCache cache{{self_, "/"}};  // a path under the working directory would be wrong
  EXPECT_EQ(resolve_path_at(cache, self_, "file", dirfd), d_ + "/sub/file");
  EXPECT_EQ(resolve_path_at(cache, self_, "../top", dirfd), d_ + "/top");
  EXPECT_EQ(resolve_path_at(cache, self_, "new/../x", dirfd), d_ + "/sub/new/../x");
  EXPECT_EQ(resolve_path_at(cache, self_, "/abs/../x", dirfd), "/abs/../x");
  ::close(dirfd);
}

TEST_F(Tree, UnknownDirectoryDescriptorGivesNoPathNegativeOnesTheWorkingDirectory) {
  CwdCache cache{{self_, d_}};
  // Not open: the call fails, and no path under another directory is made up for it.
  EXPECT_EQ(resolve_path_at(cache, self_, "top", 987654), "");
  EXPECT_EQ(resolve_path_at(cache, self_, "top", AT_FDCWD), d_ + "/top");
  EXPECT_EQ(resolve_path_at(cache, self_, "top", -7), d_ + "/top");
}

TEST_F(Tree, UnreadableDescriptorLinkUsesThePathTheTableHolds) {
  // 987654 is not open here, as a descriptor whose /proc link is too long cannot be read.
  WorkingDirectory cwd = std::string("/");
  const std::string dir = d_ + "/sub";
  std::string out;
  resolve_path_at_into(cwd, self_, "file", 987654, &dir, out);
  EXPECT_EQ(out, d_ + "/sub/file");
}

TEST_F(Tree, KeptLastNameIsTheLinkNotItsTarget) {
  WorkingDirectory cwd = d_;
  std::string out;
  resolve_path_at_into(cwd, self_, "file_link", AT_FDCWD, nullptr, out, LastName::Keep);
  EXPECT_EQ(out, d_ + "/file_link");
  resolve_path_at_into(cwd, self_, "link/file", AT_FDCWD, nullptr, out, LastName::Keep);
  EXPECT_EQ(out, d_ + "/sub/file");  // the directories on the way are followed
  resolve_path_at_into(cwd, self_, "file_link", AT_FDCWD, nullptr, out);
  EXPECT_EQ(out, d_ + "/sub/file");
}

TEST_F(Tree, NamesNotUtf8AreShownWithReplacement) {
  CwdCache cache{{self_, d_}};
  EXPECT_EQ(resolve_path(cache, self_, "/abs/x\xFF"), "/abs/x\xEF\xBF\xBD");
  EXPECT_EQ(resolve_path(cache, self_, "x\xFF"), d_ + "/x\xEF\xBF\xBD");
}

TEST_F(Tree, DirectoryNotUtf8IsShownWithReplacement) {
  const std::string odd = d_ + "/odd\xFF";
  ASSERT_EQ(::mkdir(odd.c_str(), 0755), 0);
  const int dirfd = ::open(odd.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dirfd, 0);
  CwdCache cache;
  EXPECT_EQ(resolve_path_at(cache, self_, "missing", dirfd), d_ + "/odd\xEF\xBF\xBD/missing");
  ::close(dirfd);
}

// chdir through the decoder: this process really changes directory, the decoder learns of it
// only through the chdir's result.
class ChdirThroughDecoder : public Tree {
 protected:
  void SetUp() override {
    Tree::SetUp();
    ASSERT_NE(::getcwd(saved_, sizeof saved_), nullptr);
    ASSERT_EQ(::chdir(d_.c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(::chdir(saved_), 0); }

  void chdir_call(SyscallKind kind, int64_t result) {
    const uint64_t arg = kind == SyscallKind::Chdir ? h_.memory.place("sub") : 3;
    h_.call(self_, kind, {arg}, result);
  }
  std::vector<std::string> opened() {
    std::vector<std::string> out;
    for (const auto& f : h_.files()) out.push_back(f.path);
    return out;
  }

  char saved_[PATH_MAX];
  Harness h_;
};

TEST_F(ChdirThroughDecoder, FailedChdirKeepsTheOldDirectory) {
  h_.open(self_, "top", 3);  // caches D
  ASSERT_EQ(::chdir("sub"), 0);
  chdir_call(SyscallKind::Chdir, -ENOENT);
  h_.open(self_, "file", 4);
  EXPECT_EQ(opened(), (std::vector<std::string>{d_ + "/file", d_ + "/top"}));
}

TEST_F(ChdirThroughDecoder, SuccessfulChdirRereadsTheDirectory) {
  h_.open(self_, "top", 3);
  ASSERT_EQ(::chdir("sub"), 0);
  chdir_call(SyscallKind::Chdir, 0);
  h_.open(self_, "file", 4);
  EXPECT_EQ(opened(), (std::vector<std::string>{d_ + "/sub/file", d_ + "/top"}));
}

TEST_F(ChdirThroughDecoder, SuccessfulFchdirRereadsTheDirectory) {
  h_.open(self_, "top", 3);
  ASSERT_EQ(::chdir("sub"), 0);
  chdir_call(SyscallKind::Fchdir, 0);
  h_.open(self_, "file", 4);
  EXPECT_EQ(opened(), (std::vector<std::string>{d_ + "/sub/file", d_ + "/top"}));
}

TEST_F(ChdirThroughDecoder, NewTaskStartsWithTheCreatorsCachedDirectory) {
  h_.open(self_, "top", 3);        // caches D for this task
  const pid_t child = 0x3FFFFFF1;  // no /proc entry: only the copied cache can resolve
  h_.decoder.on_new_task(self_, child);
  h_.open(child, "sub/file", 5);
  EXPECT_EQ(opened(), (std::vector<std::string>{d_ + "/sub/file", d_ + "/top"}));
}

TEST_F(ChdirThroughDecoder, OpenatWithDirectoryDescriptor) {
  const int dirfd = ::open("sub", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dirfd, 0);
  h_.call(self_, SyscallKind::Openat, {reg(dirfd), h_.memory.place("file"), O_RDONLY}, 9);
  h_.call(self_, SyscallKind::Openat, {reg(dirfd), h_.memory.place("later"), O_RDONLY}, 10);
  ::close(dirfd);
  EXPECT_EQ(opened(), (std::vector<std::string>{d_ + "/sub/file", d_ + "/sub/later"}));
}

// Opens this process really makes, given to a decoder that asks the kernel what a successful
// open of a relative name opened. With `in_sub` the cached working directory says D while the
// real one is D/sub.
struct OpenedCase {
  std::string name;
  bool in_sub;
  std::string path;
  int flags;
  bool unlink_before_exit;
  std::string want;  // D replaced by the tree's directory
};

void PrintTo(const OpenedCase& c, std::ostream* os) {
  *os << c.name;
}

class OpenedNames : public ChdirThroughDecoder, public testing::WithParamInterface<OpenedCase> {};

TEST_P(OpenedNames, AreTheKernelsWhereItHasOne) {
  const OpenedCase& c = GetParam();
  ProcOpenedFileNames names;
  Harness h(&names);
  h.open(self_, "top", 999);  // not open here, so resolved from /proc/<pid>/cwd: caches D
  if (c.in_sub) {
    ASSERT_EQ(::chdir("sub"), 0);
  }
  const int fd = ::open(c.path.c_str(), c.flags, 0644);
  ASSERT_GE(fd, 0);
  TracedCall call;
  call.kind = SyscallKind::Openat;
  call.args[0] = reg(AT_FDCWD);
  call.args[1] = h.memory.place(c.path);
  call.args[2] = static_cast<uint64_t>(c.flags);
  ASSERT_TRUE(h.decoder.decode_entry(self_, call));
  if (c.unlink_before_exit) ::unlink(c.path.c_str());
  h.decoder.decode_exit(self_, fd);
  ::close(fd);
  std::vector<std::string> paths;
  for (const auto& f : h.files()) paths.push_back(f.path);
  EXPECT_NE(std::find(paths.begin(), paths.end(), expand(c.want, d_)), paths.end())
      << testing::PrintToString(paths);
}

INSTANTIATE_TEST_SUITE_P(
    Opens, OpenedNames,
    testing::Values(
        OpenedCase{"kernel_name_beats_a_stale_working_directory", true, "file", O_RDONLY, false,
                   "D/sub/file"},
        OpenedCase{"created_file", true, "new", O_WRONLY | O_CREAT, false, "D/sub/new"},
        OpenedCase{"name_through_a_symbolic_link", false, "link/file", O_RDONLY, false,
                   "D/sub/file"},
        // The link then says "(deleted)": the name is resolved from the cached directory.
        OpenedCase{"deleted_before_exit_resolved_from_directory", true, "gone",
                   O_WRONLY | O_CREAT, true, "D/gone"},
        // O_PATH opened the symbolic link itself; the recorded name follows it, as for any open.
        OpenedCase{"o_path_link_resolved_from_directory", false, "file_link",
                   O_PATH | O_NOFOLLOW, false, "D/sub/file"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace drel::test
