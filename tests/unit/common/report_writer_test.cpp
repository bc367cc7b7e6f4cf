// Storing report bytes: creation mode, replacement by rename, links, special files, the errors
// callers print and the copy saved in TMPDIR when the target cannot be written.
#include "common/report_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/report_encoder.h"
#include "common/report_reader.h"
#include "support/case_names.h"
#include "support/scoped_env.h"

namespace drel {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void test_write(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

class ReportWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/drel-writer-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  // Names in the directory, sorted: a leftover temporary file shows here.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir_))
      out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }
  std::string dir_;
};

TEST_F(ReportWriter, NewFileGetsMode0666LessUmask) {
  const mode_t old = umask(027);
  const std::vector<uint8_t> bytes{1, 2, 3};
  auto r = write_report_bytes(dir_ + "/new", bytes);
  umask(old);
  ASSERT_TRUE(r.ok()) << r.error().text();
  struct stat st {};
  ASSERT_EQ(stat((dir_ + "/new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(slurp(dir_ + "/new"), std::string("\x01\x02\x03"));
}

TEST_F(ReportWriter, OverwritingALargerFileLeavesNoStaleTailAndKeepsMode) {
  const std::string path = dir_ + "/big";
  std::ofstream(path) << std::string(10000, 'z');
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  auto r = write_report_bytes(path, std::vector<uint8_t>{'a', 'b'});
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(slurp(path), "ab");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ReportWriter, MissingDirectoryIsTheOsNotFoundError) {
  const std::string path = dir_ + "/no/such/dir/out.msgpack";
  auto raw = write_report_bytes(path, std::vector<uint8_t>{1});
  ASSERT_FALSE(raw.ok());
  EXPECT_EQ(raw.error().text(), "No such file or directory (os error 2)");

  const test::ScopedEnv tmpdir("TMPDIR", dir_);  // where the report is saved instead
  auto report =
      write_report(make_report("ptrace", std::nullopt, {}, {}, {}, {}, 0, 0, std::nullopt), path);
  ASSERT_FALSE(report.ok());
  EXPECT_EQ(report.error().text(),
            "failed to write report to " + path + ": No such file or directory (os error 2)");
}

TEST_F(ReportWriter, ReadOnlyExistingFileFailsAndIsKept) {
  if (geteuid() == 0) GTEST_SKIP() << "root ignores file permissions";
  const std::string path = dir_ + "/ro";
  std::ofstream(path) << "old";
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  auto r = write_report_bytes(path, std::vector<uint8_t>{1});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "Permission denied (os error 13)");
  EXPECT_EQ(slurp(path), "old");
}

TEST_F(ReportWriter, WriteReportStoresTheEncodingWhateverTheFileName) {
  const std::string path = dir_ + "/out.json";
  FileRecord f{"/etc/passwd", true,         false,       std::vector<uint32_t>{3},
               std::nullopt,  std::nullopt, std::nullopt};
  const TraceReport report =
      make_report("preload", std::nullopt, {}, {f}, collect_path_lists({f}), {}, 10.0, 11.0, 0);
  auto r = write_report(report, path);
  ASSERT_TRUE(r.ok()) << r.error().text();
  auto expected = encode_report(report);
  ASSERT_TRUE(expected.ok());
  EXPECT_EQ(slurp(path), std::string(expected->begin(), expected->end()));
  auto back = read_report_file(path);
  ASSERT_TRUE(back.ok()) << back.error().text();
  EXPECT_EQ(*back, report);
}

TEST_F(ReportWriter, ReplacingLeavesOnlyTheTargetAndKeepsItsMode) {
  const std::string path = dir_ + "/report";
  test_write(path, "old report");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  auto r = write_report_bytes(path, std::vector<uint8_t>{'n', 'e', 'w'});
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(slurp(path), "new");
  struct stat after {};
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_NE(after.st_ino, before.st_ino) << "written in place, not renamed over";
  EXPECT_EQ(names(), std::vector<std::string>{"report"});
}

TEST_F(ReportWriter, SymbolicLinkStaysAndItsTargetIsReplaced) {
  ASSERT_EQ(mkdir((dir_ + "/real").c_str(), 0700), 0);
  test_write(dir_ + "/real/report", "old");
  ASSERT_EQ(symlink("real/report", (dir_ + "/link").c_str()), 0);
  ASSERT_EQ(symlink("missing", (dir_ + "/dangling").c_str()), 0);
  ASSERT_TRUE(write_report_bytes(dir_ + "/link", std::vector<uint8_t>{'a'}).ok());
  ASSERT_TRUE(write_report_bytes(dir_ + "/dangling", std::vector<uint8_t>{'b'}).ok());
  EXPECT_TRUE(std::filesystem::is_symlink(dir_ + "/link"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir_ + "/dangling"));
  EXPECT_EQ(slurp(dir_ + "/real/report"), "a");
  EXPECT_EQ(slurp(dir_ + "/missing"), "b");
  EXPECT_EQ(names(), (std::vector<std::string>{"dangling", "link", "missing", "real"}));
}

TEST_F(ReportWriter, FifoIsWrittenInPlaceNotReplaced) {
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  auto r = write_report_bytes(fifo, std::vector<uint8_t>{'x', 'y'});
  ASSERT_TRUE(r.ok()) << r.error().text();
  char buf[4] = {};
  EXPECT_EQ(read(reader, buf, sizeof buf), 2);
  close(reader);
  EXPECT_EQ(std::string(buf), "xy");
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
  EXPECT_EQ(names(), std::vector<std::string>{"fifo"});
}

// A write that fails half way: the old report stays whole and no temporary file is left.
TEST_F(ReportWriter, FailedWriteLeavesTheOldFileAndNoTemporary) {
  const std::string path = dir_ + "/report";
  test_write(path, "old report");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Over the limit a write raises SIGXFSZ: write_report must not die of it.
    const rlimit small{1024, 1024};
    setrlimit(RLIMIT_FSIZE, &small);
    setenv("TMPDIR", (dir_ + "/none").c_str(), 1);
    FileRecord big{std::string(4096, 'p'), true, false, {}, {}, {}, {}};
    auto r = write_report(make_report("ptrace", std::nullopt, {}, {big}, {}, {}, 0, 0, {}), path);
    _exit(!r.ok() && r.error().text() ==
                         "failed to write report to " + path + ": File too large (os error 27)"
              ? 0
              : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(slurp(path), "old report");
  EXPECT_EQ(names(), std::vector<std::string>{"report"});
}

// Where the report goes when its path cannot take it.
struct FallbackCase {
  std::string name;
  std::string target;  // "@" stands for the test's directory
  std::string tmpdir;  // likewise
  std::string error;   // the cause after "failed to write report to <target>: "
  std::string note;    // likewise; "" when nothing is expected in TMPDIR
  std::string saved;   // likewise: the saved file, "" for none
};
void PrintTo(const FallbackCase& c, std::ostream* os) {
  *os << c.name;
}

std::string at(const std::string& text, const std::string& dir) {
  std::string out = text;
  for (size_t p; (p = out.find('@')) != std::string::npos;) out.replace(p, 1, dir);
  return out;
}

class ReportFallback : public ReportWriter, public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(ReportFallback, SavesInTmpdirAndSaysWhere) {
  const FallbackCase& c = GetParam();
  ASSERT_EQ(mkdir((dir_ + "/tmp").c_str(), 0700), 0);
  test_write(dir_ + "/tmp/taken.msgpack", "someone else's");
  const test::ScopedEnv tmpdir("TMPDIR", at(c.tmpdir, dir_));
  const TraceReport report =
      make_report("ptrace", std::nullopt, {}, {}, {}, {}, 1, 2, std::nullopt);
  const std::string target = at(c.target, dir_);
  auto r = write_report(report, target);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "failed to write report to " + target + ": " + c.error);
  const std::string note = r.error().note();
  if (c.saved.empty()) {
    EXPECT_EQ(note, c.note);
    return;
  }
  const std::string prefix = "the report was saved to ";
  ASSERT_EQ(note.substr(0, prefix.size()), prefix) << note;
  const std::string saved = note.substr(prefix.size());
  EXPECT_EQ(saved.substr(0, at(c.saved, dir_).size()), at(c.saved, dir_));
  auto back = read_report_file(saved);
  ASSERT_TRUE(back.ok()) << back.error().text();
  EXPECT_EQ(*back, report);
  struct stat st {};
  ASSERT_EQ(stat(saved.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(slurp(dir_ + "/tmp/taken.msgpack"), "someone else's");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReportFallback,
    ::testing::Values(
        FallbackCase{"missing_directory", "@/no/such/out.msgpack", "@/tmp",
                     "No such file or directory (os error 2)", "", "@/tmp/out.msgpack"},
        FallbackCase{"full_device", "/dev/full", "@/tmp", "No space left on device (os error 28)",
                     "", "@/tmp/full"},
        FallbackCase{"name_taken_gets_a_suffix", "@/no/taken.msgpack", "@/tmp",
                     "No such file or directory (os error 2)", "", "@/tmp/taken.msgpack."},
        FallbackCase{"tmpdir_missing_too", "@/no/out.msgpack", "@/gone",
                     "No such file or directory (os error 2)",
                     "the report could not be saved in TMPDIR either: No such file or directory "
                     "(os error 2)",
                     ""}),
    test::ByName());

}  // namespace
}  // namespace drel
