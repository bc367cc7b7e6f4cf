#include "preflight/preflight_probe.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/case_names.h"
#include "support/process_runner.h"

namespace drel {
namespace {

using test::TempDir;

struct SecondNameCase {
  std::string path;
  std::string second;
};

void PrintTo(const SecondNameCase& c, std::ostream* os) { *os << c.path; }

class ProbeSecondName : public ::testing::TestWithParam<SecondNameCase> {};

TEST_P(ProbeSecondName, ReplacesOnlyTheLastComponentsExtension) {
  EXPECT_EQ(probe_second_name(GetParam().path), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ProbeSecondName,
    ::testing::Values(SecondNameCase{"probe.txt", "probe.renamed"},
                      SecondNameCase{"probe", "probe.renamed"},
                      SecondNameCase{".hidden", ".hidden.renamed"},
                      SecondNameCase{"a.b.c", "a.b.renamed"},
                      SecondNameCase{"dir.x/file", "dir.x/file.renamed"},
                      SecondNameCase{"/tmp/drel-preload-probe-1-2.txt",
                                     "/tmp/drel-preload-probe-1-2.renamed"},
                      SecondNameCase{"d/.hidden", "d/.hidden.renamed"},
                      SecondNameCase{"probe.", "probe.renamed"}),
    [](const auto& info) { return test::name_piece(info.param.path); });

class ProbeMode : public ::testing::TestWithParam<std::string_view> {
 protected:
  TempDir dir_;
};

TEST_P(ProbeMode, LeavesThePayloadAtThePathAndNothingUnderTheSecondName) {
  const std::string path = dir_ / "probe.txt";
  ASSERT_TRUE(run_preflight_probe(path, GetParam()).ok());
  EXPECT_EQ(test::read_file(path), GetParam());
  EXPECT_FALSE(test::file_exists(dir_ / "probe.renamed"));
}

TEST_P(ProbeMode, OverwritesLongerExistingContent) {
  const std::string path = dir_ / "probe";
  test::write_file(path, std::string(200, 'x'));
  ASSERT_TRUE(run_preflight_probe(path, GetParam()).ok());
  EXPECT_EQ(test::read_file(path), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Payloads, ProbeMode,
                         ::testing::Values(kPreloadProbePayload, kPtraceProbePayload),
                         test::ByText());

TEST(ProbeModeErrors, MissingDirectoryFailsToWrite) {
  TempDir dir;
  const std::string path = dir / "absent/probe.txt";
  const Result<void> r = run_preflight_probe(path, kPreloadProbePayload);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(),
            "failed to write " + path + ": No such file or directory (os error 2)");
}

TEST(ProbeModeErrors, OccupiedSecondNameFailsTheFirstRenameAndLeavesTheFile) {
  TempDir dir;
  const std::string path = dir / "probe.txt";
  const std::string second = dir / "probe.renamed";
  ASSERT_EQ(::mkdir(second.c_str(), 0700), 0);
  test::write_file(second + "/keep", "x");  // a non-empty directory cannot be replaced
  const Result<void> r = run_preflight_probe(path, kPtraceProbePayload);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(),
            "failed to rename " + path + " -> " + second + ": Is a directory (os error 21)");
  EXPECT_EQ(test::read_file(path), kPtraceProbePayload);
}

TEST(ProbeModeErrors, NonUtf8PathIsShownConverted) {
  TempDir dir;
  const std::string path = dir / "gone\xff/p";
  const Result<void> r = run_preflight_probe(path, kPreloadProbePayload);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "failed to write " + dir.path() + "/gone\xEF\xBF\xBD/p");
}

}  // namespace
}  // namespace drel
