#include <fcntl.h>
#include <gtest/gtest.h>

#include "preload/guest/open_classification.h"

namespace drel::guest {
namespace {

struct OpenCase {
  const char* name;
  int flags;
  bool read;
  bool write;
  bool mode;
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class GuestOpenClassification : public testing::TestWithParam<OpenCase> {};

TEST_P(GuestOpenClassification, EventsAndModeFollowFlags) {
  const OpenCase& c = GetParam();
  OpenAccess access = classify_open(c.flags);
  EXPECT_EQ(access.read, c.read) << "OpenRead";
  EXPECT_EQ(access.write, c.write) << "OpenWrite";
  EXPECT_EQ(open_needs_mode(c.flags), c.mode) << "mode argument";
}

constexpr int kTmpfileBitOnly = O_TMPFILE & ~O_DIRECTORY;

INSTANTIATE_TEST_SUITE_P(
    Flags, GuestOpenClassification,
    testing::Values(
        OpenCase{"rdonly", O_RDONLY, true, false, false},
        OpenCase{"wronly", O_WRONLY, false, true, false},
        OpenCase{"rdwr", O_RDWR, true, true, false},
        OpenCase{"rdonly_creat", O_RDONLY | O_CREAT, true, true, true},
        OpenCase{"rdonly_trunc", O_RDONLY | O_TRUNC, false, true, false},
        OpenCase{"rdonly_append", O_RDONLY | O_APPEND, true, true, false},
        OpenCase{"wronly_append", O_WRONLY | O_APPEND, false, true, false},
        OpenCase{"creat_call", O_WRONLY | O_CREAT | O_TRUNC, false, true, true},
        OpenCase{"rdwr_creat_excl", O_RDWR | O_CREAT | O_EXCL, true, true, true},
        OpenCase{"directory_listing", O_RDONLY | O_DIRECTORY, true, false, false},
        OpenCase{"directory_cloexec", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK, true,
                 false, false},
        OpenCase{"tmpfile_rdwr", O_TMPFILE | O_RDWR, true, true, true},
        OpenCase{"tmpfile_wronly", O_TMPFILE | O_WRONLY, false, true, true},
        OpenCase{"tmpfile_bit_without_directory", kTmpfileBitOnly, true, false, false},
        OpenCase{"access_mode_3", O_ACCMODE, false, false, false},
        OpenCase{"rdonly_nofollow_cloexec", O_RDONLY | O_NOFOLLOW | O_CLOEXEC, true, false,
                 false},
        OpenCase{"path_only", O_PATH, true, false, false}),
    [](const testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace drel::guest
