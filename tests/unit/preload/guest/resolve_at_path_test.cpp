#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <string>

#include "preload/guest/fd_path.h"
#include "preload/guest/open_path.h"
#include "preload/guest/resolve_at_path.h"
#include "support/process_runner.h"

namespace drel::guest {
namespace {

std::string real_path(const std::string& p) {
  char buf[PATH_MAX];
  EXPECT_NE(realpath(p.c_str(), buf), nullptr) << p;
  return buf;
}

std::optional<std::string> fd_path_of(int fd) {
  PathText out;
  if (!fd_path(fd, out)) return std::nullopt;
  return std::string(out.bytes, out.len);
}

std::optional<std::string> at_path(int dirfd, const char* path) {
  PathText out;
  if (!resolve_at_path(dirfd, path, out)) return std::nullopt;
  return std::string(out.bytes, out.len);
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) { EXPECT_GE(fd, 0); }
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

TEST(GuestFdPath, NamesFilesButNotPipesSocketsOrBadDescriptors) {
  test::TempDir dir;
  test::write_file(dir / "f.txt", "x");
  Fd file(open((dir / "f.txt").c_str(), O_RDONLY));
  EXPECT_EQ(fd_path_of(file.get()), real_path(dir / "f.txt"));

  Fd zero(open("/dev/zero", O_RDONLY));
  EXPECT_EQ(fd_path_of(zero.get()), "/dev/zero");

  int p[2];
  ASSERT_EQ(pipe(p), 0);
  Fd r(p[0]), w(p[1]);
  EXPECT_EQ(fd_path_of(r.get()), std::nullopt);

  int s[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
  Fd s0(s[0]), s1(s[1]);
  EXPECT_EQ(fd_path_of(s0.get()), std::nullopt);

  EXPECT_EQ(fd_path_of(-1), std::nullopt);
  int closed = dup(file.get());
  close(closed);
  EXPECT_EQ(fd_path_of(closed), std::nullopt);
}

// The kernel marks a removed file's name with " (deleted)"; the file had the name without it.
TEST(GuestFdPath, RemovedFileIsNamedWithoutTheDeletedMarker) {
  test::TempDir dir;
  test::write_file(dir / "gone", "x");
  Fd file(open((dir / "gone").c_str(), O_RDONLY));
  std::string before = *fd_path_of(file.get());
  ASSERT_EQ(unlink((dir / "gone").c_str()), 0);
  EXPECT_EQ(fd_path_of(file.get()), before);
}

// Only a file with no link left loses the marker: this one is really called so.
TEST(GuestFdPath, NameEndingLikeTheMarkerIsKeptWhileTheFileExists) {
  test::TempDir dir;
  test::write_file(dir / "x (deleted)", "x");
  Fd file(open((dir / "x (deleted)").c_str(), O_RDONLY));
  EXPECT_EQ(fd_path_of(file.get()), real_path(dir / "x (deleted)"));
}

// Files that never had a name are no file of the run.
TEST(GuestFdPath, AnonymousFilesHaveNoPath) {
  test::TempDir dir;
  Fd tmp(open(dir.path().c_str(), O_TMPFILE | O_RDWR, 0600));
  if (tmp.get() >= 0) {
    EXPECT_EQ(fd_path_of(tmp.get()), std::nullopt);
  }
  Fd mem(memfd_create("drel", 0));
  ASSERT_GE(mem.get(), 0);
  EXPECT_EQ(fd_path_of(mem.get()), std::nullopt);
}

TEST(GuestFdPath, NameThatIsNotUtf8GetsReplacementCharacters) {
  test::TempDir dir;
  test::write_file(dir / "bad\xff.txt", "x");
  Fd file(open((dir / "bad\xff.txt").c_str(), O_RDONLY));
  EXPECT_EQ(fd_path_of(file.get()), real_path(dir.path()) + "/bad\xef\xbf\xbd.txt");
}

TEST(GuestResolveAtPath, CombinesDirectoryDescriptorAndPath) {
  test::TempDir dir;
  Fd root(open("/", O_RDONLY | O_DIRECTORY));
  Fd tmp(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  Fd r(p[0]), w(p[1]);

  EXPECT_EQ(at_path(root.get(), "x"), "//x");
  EXPECT_EQ(at_path(tmp.get(), "a/b"), real_path(dir.path()) + "/a/b");
  EXPECT_EQ(at_path(tmp.get(), "/abs/../x"), "/abs/../x");
  EXPECT_EQ(at_path(AT_FDCWD, "rel/x"), "rel/x");
  EXPECT_EQ(at_path(r.get(), "x"), std::nullopt);
  EXPECT_EQ(at_path(-5, "x"), std::nullopt);
  EXPECT_EQ(at_path(AT_FDCWD, ""), std::nullopt);
  EXPECT_EQ(at_path(AT_FDCWD, nullptr), std::nullopt);
}

std::optional<std::string> opened(const char* path) {
  PathText out;
  int fd = ::open(path != nullptr ? path : "", O_RDONLY);
  bool ok = open_path(path, fd, O_RDONLY, out);
  if (fd >= 0) ::close(fd);
  if (!ok) return std::nullopt;
  return std::string(out.bytes, out.len);
}

// Runs with the working directory set to a symbolic link, so resolution is visible.
class GuestOpenPath : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(saved_, sizeof saved_), nullptr);
    real_dir_ = real_path(dir_.path());
    ASSERT_EQ(mkdir((dir_ / "real").c_str(), 0700), 0);
    ASSERT_EQ(symlink((dir_ / "real").c_str(), (dir_ / "link").c_str()), 0);
    test::write_file(dir_ / "real/data.txt", "x");
    ASSERT_EQ(chdir((dir_ / "link").c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(chdir(saved_), 0); }

  test::TempDir dir_;
  std::string real_dir_;
  char saved_[PATH_MAX];
};

TEST_F(GuestOpenPath, RelativePathIsResolvedAbsolutePathIsKeptAsWritten) {
  EXPECT_EQ(opened("data.txt"), real_dir_ + "/real/data.txt");
  EXPECT_EQ(opened("./../link/data.txt"), real_dir_ + "/real/data.txt");
  EXPECT_EQ(opened("/srv/../etc/x"), "/srv/../etc/x");
  EXPECT_EQ(opened((dir_ / "link/data.txt").c_str()), dir_ / "link/data.txt");
  EXPECT_EQ(opened(""), std::nullopt);
  EXPECT_EQ(opened(nullptr), std::nullopt);
}

TEST_F(GuestOpenPath, MissingRelativePathIsJoinedToTheCurrentDirectory) {
  EXPECT_EQ(opened("no/such/file"), real_dir_ + "/real/no/such/file");
}

}  // namespace
}  // namespace drel::guest
