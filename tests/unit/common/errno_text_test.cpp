// Errno names and the kernel's descriptions as drel-tracer prints them.
#include "common/errno_text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "support/case_names.h"

namespace drel {
namespace {

struct ErrnoCase {
  int number;
  const char* name;
  const char* description;
};

void PrintTo(const ErrnoCase& c, std::ostream* os) { *os << c.name; }

class ErrnoText : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(ErrnoText, NameDescriptionMessage) {
  const auto& c = GetParam();
  EXPECT_EQ(errno_name(c.number), c.name);
  EXPECT_EQ(errno_description(c.number), c.description);
  EXPECT_EQ(errno_message(c.number), std::string(c.name) + ": " + c.description);
}

// The kernel's wording differs from the C library's for several of these (EAGAIN, EBADF,
// ENOMEM, ENOSYS), which is the point of the table.
INSTANTIATE_TEST_SUITE_P(
    Kernel, ErrnoText,
    ::testing::Values(ErrnoCase{EPERM, "EPERM", "Operation not permitted"},
                      ErrnoCase{ENOENT, "ENOENT", "No such file or directory"},
                      ErrnoCase{EAGAIN, "EAGAIN", "Try again"},
                      ErrnoCase{EBADF, "EBADF", "Bad file number"},
                      ErrnoCase{ENOMEM, "ENOMEM", "Out of memory"},
                      ErrnoCase{EACCES, "EACCES", "Permission denied"},
                      ErrnoCase{ERANGE, "ERANGE", "Math result not representable"},
                      ErrnoCase{EDEADLK, "EDEADLK", "Resource deadlock would occur"},
                      ErrnoCase{ENOSYS, "ENOSYS", "Invalid system call number"},
                      ErrnoCase{ELOOP, "ELOOP", "Too many symbolic links encountered"},
                      ErrnoCase{ENOTRECOVERABLE, "ENOTRECOVERABLE", "State not recoverable"}),
    test::ByName());

TEST(ErrnoText, AliasesShareTheOriginalsText) {
  EXPECT_EQ(errno_description(EWOULDBLOCK), "Try again");
  EXPECT_EQ(errno_description(EDEADLOCK), "Resource deadlock would occur");
}

TEST(ErrnoText, UnknownNumbers) {
  EXPECT_EQ(errno_description(99999), "Unknown error 99999");
  EXPECT_EQ(errno_name(99999), "99999");
  EXPECT_EQ(errno_description(-3), "Unknown error -3");
}

}  // namespace
}  // namespace drel
