// Storing report bytes: creation mode, truncation, and the errors callers print.
#include "common/report_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "common/report_encoder.h"
#include "common/report_reader.h"

namespace drel {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class ReportWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/drel-writer-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const char* name : {"/new", "/big", "/out.json", "/ro"}) std::remove((dir_ + name).c_str());
    rmdir(dir_.c_str());
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

  auto report = write_report(make_report("ptrace", std::nullopt, {}, {}, {}, {}, 0, 0, std::nullopt),
                             path);
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
  FileRecord f{"/etc/passwd", true, false, std::vector<uint32_t>{3}, std::nullopt, std::nullopt,
               std::nullopt};
  const TraceReport report = make_report("preload", std::nullopt, {}, {f}, collect_path_lists({f}),
                                         {}, 10.0, 11.0, 0);
  auto r = write_report(report, path);
  ASSERT_TRUE(r.ok()) << r.error().text();
  auto expected = encode_report(report);
  ASSERT_TRUE(expected.ok());
  EXPECT_EQ(slurp(path), std::string(expected->begin(), expected->end()));
  auto back = read_report_file(path);
  ASSERT_TRUE(back.ok()) << back.error().text();
  EXPECT_EQ(*back, report);
}

}  // namespace
}  // namespace drel
