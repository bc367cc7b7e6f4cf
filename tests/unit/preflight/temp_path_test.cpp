#include "preflight/temp_path.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/scoped_env.h"
#include "support/case_names.h"
#include "temp_name_shape.h"

namespace drel {
namespace {

struct FormatCase {
  std::string dir;
  std::string prefix;
  pid_t pid;
  long nanoseconds;
  std::string extension;
  std::string expected;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.expected; }

class TempPathFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(TempPathFormat, JoinsDirectoryAndName) {
  const FormatCase& c = GetParam();
  EXPECT_EQ(format_temp_path(c.dir, c.prefix, c.pid, c.nanoseconds, c.extension), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TempPathFormat,
    ::testing::Values(
        FormatCase{"/tmp", "preload-report", 812, 345, ".msgpack",
                   "/tmp/drel-preload-report-812-345.msgpack"},
        FormatCase{"/var/tmp/", "ptrace-probe", 7, 0, ".txt", "/var/tmp/drel-ptrace-probe-7-0.txt"},
        FormatCase{"", "ptrace-report", 1, 999999999, ".msgpack",
                   "drel-ptrace-report-1-999999999.msgpack"},
        FormatCase{"rel/dir", "preload-probe", 4194304, 10, ".txt",
                   "rel/dir/drel-preload-probe-4194304-10.txt"}),
    [](const auto& info) { return test::name_piece(info.param.expected); });

struct EnvCase {
  std::optional<std::string> tmpdir;
  std::string expected_dir;
};

std::string name_of(const EnvCase& c) { return c.tmpdir ? "TMPDIR_" + *c.tmpdir : "TMPDIR_unset"; }
void PrintTo(const EnvCase& c, std::ostream* os) { *os << name_of(c); }

class TempPathFromEnvironment : public ::testing::TestWithParam<EnvCase> {};

TEST_P(TempPathFromEnvironment, UsesTmpdirElseTmp) {
  const test::ScopedEnv env("TMPDIR", GetParam().tmpdir);
  const std::string path = preflight_temp_path("ptrace-probe", ".txt");
  EXPECT_TRUE(test::has_temp_name_shape(
      path, GetParam().expected_dir + "/drel-ptrace-probe-" + std::to_string(::getpid()) + "-",
      ".txt"))
      << path;
}

INSTANTIATE_TEST_SUITE_P(Cases, TempPathFromEnvironment,
                         ::testing::Values(EnvCase{std::nullopt, "/tmp"},
                                           EnvCase{"/some/where", "/some/where"}),
                         [](const auto& info) { return test::name_piece(name_of(info.param)); });

}  // namespace
}  // namespace drel
