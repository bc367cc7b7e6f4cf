// Reading strings from a real stopped child: the child is a fork of this test, so the buffers
// prepared before the fork sit at the same addresses in it.
#include "tracee_memory.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace drel {
namespace {

const std::size_t kPage = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

// Pages [0, mapped) readable and writable, page `mapped` unmapped.
struct Region {
  explicit Region(std::size_t mapped) : size(mapped * kPage) {
    void* p =
        ::mmap(nullptr, size + kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    base = static_cast<char*>(p);
    ::munmap(base + size, kPage);
    std::memset(base, 'q', size);
  }
  ~Region() {
    if (base != nullptr) ::munmap(base, size);
  }
  // Writes s and its NUL so that the NUL is the last mapped byte.
  uint64_t put_at_end(const std::string& s) const { return put(size - s.size() - 1, s, true); }
  uint64_t put(std::size_t offset, const std::string& s, bool nul = true) const {
    std::memcpy(base + offset, s.data(), s.size());
    if (nul) base[offset + s.size()] = '\0';
    return reinterpret_cast<uint64_t>(base + offset);
  }
  char* base = nullptr;
  std::size_t size;
};

struct Strings {
  Region small{1};
  Region big{3};
  uint64_t mid, at_page_end, empty, too_long, exact, into_hole, not_utf8, utf8, across_pages;
  std::string exact_text = std::string(kMaxTraceeString, 'e');

  Strings() {
    mid = small.put(13, "/etc/passwd");
    empty = small.put(100, "");
    not_utf8 = small.put(200, "/bad\xC3(");
    utf8 = small.put(300, "/caf\xC3\xA9/\xF0\x9F\x98\x80");
    // 11 bytes with their NUL: starts off word alignment, ends on the last mapped byte.
    at_page_end = small.put_at_end("/tmp/abcde");
    // No NUL before the hole.
    into_hole = big.put(3 * kPage - 20, std::string(20, 'h'), false);
    exact = big.put(5, exact_text);
    too_long = big.put(kPage + 7, std::string(kMaxTraceeString + 1, 'l'));
    across_pages = big.put(2 * kPage - 4, "/across/pages");
  }
};

class StoppedChild {
 public:
  StoppedChild() {
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(3);
      ::raise(SIGSTOP);
      ::_exit(0);
    }
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_ && WIFSTOPPED(status)) stopped_ = true;
  }
  ~StoppedChild() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status;
      ::waitpid(pid_, &status, 0);
    }
  }
  bool stopped() const { return stopped_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool stopped_ = false;
};

}  // namespace

// Inside PtraceMemory's namespace, where GoogleTest looks for it.
void PrintTo(PtraceMemory::Method m, std::ostream* os) {
  *os << (m == PtraceMemory::Method::Auto     ? "Auto"
          : m == PtraceMemory::Method::VmRead ? "VmRead"
                                              : "PeekData");
}

namespace {

class ReadTraceeString : public testing::TestWithParam<PtraceMemory::Method> {
 protected:
  void SetUp() override {
    ASSERT_NE(strings_.small.base, nullptr);
    ASSERT_NE(strings_.big.base, nullptr);
    if (!child_.stopped()) GTEST_SKIP() << "ptrace is not permitted here";
  }
  // Into a fresh string and into one with earlier contents, which must agree.
  std::optional<std::string> read(uint64_t address) {
    std::string fresh;
    std::optional<std::string> got;
    if (memory_.read_string_into(child_.pid(), address, fresh)) got = fresh;
    std::string into = "previous contents";
    const bool ok = memory_.read_string_into(child_.pid(), address, into);
    EXPECT_EQ(ok, got.has_value());
    if (ok && got) {
      EXPECT_EQ(into, *got);
    }
    return got;
  }
  Strings strings_;  // before the fork
  StoppedChild child_;
  PtraceMemory memory_{GetParam()};
};

TEST_P(ReadTraceeString, OrdinaryAndEdgeStrings) {
  EXPECT_EQ(read(strings_.mid), "/etc/passwd");
  EXPECT_EQ(read(strings_.empty), "");
  EXPECT_EQ(read(strings_.utf8), "/caf\xC3\xA9/\xF0\x9F\x98\x80");
  EXPECT_EQ(read(strings_.across_pages), "/across/pages");
  EXPECT_EQ(read(0), std::nullopt);
}

TEST_P(ReadTraceeString, EndingRightBeforeAnUnmappedPage) {
  EXPECT_EQ(read(strings_.at_page_end), "/tmp/abcde");
}

TEST_P(ReadTraceeString, RunningIntoAnUnmappedPageGivesNothing) {
  EXPECT_EQ(read(strings_.into_hole), std::nullopt);
  EXPECT_EQ(read(reinterpret_cast<uint64_t>(strings_.small.base + kPage)), std::nullopt);
}

TEST_P(ReadTraceeString, At4096BytesAcceptedAt4097Refused) {
  EXPECT_EQ(read(strings_.exact), strings_.exact_text);
  EXPECT_EQ(read(strings_.too_long), std::nullopt);
}

// Names need not be UTF-8: the bytes come back as they are, for resolution to convert.
TEST_P(ReadTraceeString, InvalidUtf8IsReadByteForByte) {
  EXPECT_EQ(read(strings_.not_utf8), std::string("/bad\xC3("));
}

TEST_P(ReadTraceeString, WhatChangesInTheChildIsWhatIsRead) {
  // The parent's copy is different after the fork: the bytes must come from the child.
  std::memcpy(strings_.small.base + 13, "/XXX", 4);
  EXPECT_EQ(read(strings_.mid), "/etc/passwd");
}

INSTANTIATE_TEST_SUITE_P(Methods, ReadTraceeString,
                         testing::Values(PtraceMemory::Method::Auto, PtraceMemory::Method::VmRead,
                                         PtraceMemory::Method::PeekData),
                         [](const auto& info) {
                           switch (info.param) {
                             case PtraceMemory::Method::VmRead:
                               return std::string("VmRead");
                             case PtraceMemory::Method::PeekData:
                               return std::string("PeekData");
                             default:
                               return std::string("Auto");
                           }
                         });

}  // namespace
}  // namespace drel
