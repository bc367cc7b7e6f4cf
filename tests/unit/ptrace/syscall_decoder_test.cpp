// Every row of the entry and exit tables, on synthetic calls.
#include <gtest/gtest.h>
#include <linux/close_range.h>
#include <sys/mman.h>

#include <algorithm>
#include <functional>
#include <tuple>

#include "decoder_harness.h"

namespace drel::test {
namespace {

constexpr pid_t T = 4242;  // only absolute paths here, so no /proc lookups
constexpr uint32_t U = 4242;
using K = SyscallKind;

struct Row {
  std::string name;
  std::function<void(Harness&)> act;
  std::vector<Seen> want;
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
  return os << r.name;
}

class DecoderRows : public testing::TestWithParam<Row> {};

TEST_P(DecoderRows, ReportedFilesMatch) {
  Harness h;
  GetParam().act(h);
  EXPECT_EQ(h.files(), GetParam().want);
}

std::vector<Row> read_rows() {
  std::vector<Row> rows;
  for (const auto& name_kind : {std::pair{"read", K::Read},
                                {"readv", K::Readv},
                                {"pread64", K::Pread64},
                                {"preadv", K::Preadv},
                                {"preadv2", K::Preadv2}}) {
    const std::string name = name_kind.first;
    const K kind = name_kind.second;
    // A read is decided at entry: a failing one still counts.
    rows.push_back({name + "_failing_still_counts",
                    [kind](Harness& h) {
                      h.open(T, "/data/in", 3);
                      EXPECT_FALSE(h.call(T, kind, {3, 0x1000, 10}, -EIO));
                    },
                    {{"/data/in", true, false, {U}, {}}}});
    rows.push_back({name + "_unknown_fd",
                    [kind](Harness& h) {
                      h.open(T, "/data/in", 3);
                      h.call(T, kind, {4, 0x1000, 10}, 10);
                    },
                    {{"/data/in", false, false, {}, {}}}});
  }
  return rows;
}

std::vector<Row> write_rows() {
  std::vector<Row> rows;
  for (const auto& name_kind : {std::pair{"write", K::Write},
                                {"writev", K::Writev},
                                {"pwrite64", K::Pwrite64},
                                {"pwritev", K::Pwritev},
                                {"pwritev2", K::Pwritev2}}) {
    const std::string name = name_kind.first;
    const K kind = name_kind.second;
    rows.push_back({name + "_positive_result",
                    [kind](Harness& h) {
                      h.open(T, "/data/out", 3, O_WRONLY | O_CREAT);
                      EXPECT_TRUE(h.call(T, kind, {3, 0x1000, 10}, 10));
                    },
                    {{"/data/out", false, true, {}, {U}}}});
    rows.push_back({name + "_zero_result",
                    [kind](Harness& h) {
                      h.open(T, "/data/out", 3, O_WRONLY);
                      h.call(T, kind, {3, 0x1000, 0}, 0);
                    },
                    {{"/data/out", false, false, {}, {}}}});
    rows.push_back({name + "_error_result",
                    [kind](Harness& h) {
                      h.open(T, "/data/out", 3, O_WRONLY);
                      h.call(T, kind, {3, 0x1000, 10}, -ENOSPC);
                    },
                    {{"/data/out", false, false, {}, {}}}});
    rows.push_back({name + "_unknown_fd_needs_no_exit",
                    [kind](Harness& h) {
                      EXPECT_FALSE(h.call(T, kind, {1, 0x1000, 10}, 10));
                    },
                    {}});
    rows.push_back({name + "_repeat_by_same_task_needs_no_exit",
                    [kind](Harness& h) {
                      h.open(T, "/data/out", 3, O_WRONLY);
                      EXPECT_TRUE(h.call(T, kind, {3, 0x1000, 10}, 10));
                      EXPECT_FALSE(h.call(T, kind, {3, 0x1000, 10}, 10));
                      // Another descriptor on the same path is the same path.
                      h.open(T, "/data/out", 4, O_WRONLY);
                      EXPECT_FALSE(h.call(T, kind, {4, 0x1000, 10}, 10));
                    },
                    {{"/data/out", false, true, {}, {U}}}});
    rows.push_back({name + "_repeat_by_other_task_needs_its_exit",
                    [kind](Harness& h) {
                      constexpr pid_t C = 5001;
                      h.open(T, "/data/out", 3, O_WRONLY);
                      EXPECT_TRUE(h.call(T, kind, {3, 0x1000, 10}, 10));
                      h.decoder.on_new_task(T, C);
                      EXPECT_TRUE(h.call(C, kind, {3, 0x1000, 10}, 10));
                    },
                    {{"/data/out", false, true, {}, {U, 5001}}}});
    rows.push_back({name + "_other_path_by_same_task_needs_its_exit",
                    [kind](Harness& h) {
                      h.open(T, "/data/a", 3, O_WRONLY);
                      h.open(T, "/data/b", 4, O_WRONLY);
                      EXPECT_TRUE(h.call(T, kind, {3, 0x1000, 10}, 10));
                      EXPECT_TRUE(h.call(T, kind, {4, 0x1000, 10}, 10));
                    },
                    {{"/data/a", false, true, {}, {U}}, {"/data/b", false, true, {}, {U}}}});
    for (const int64_t failed : {int64_t{0}, int64_t{-EAGAIN}}) {
      rows.push_back({name + "_after_failed_first_" + (failed == 0 ? "zero" : "error") +
                          "_records_the_next",
                      [kind, failed](Harness& h) {
                        h.open(T, "/data/out", 3, O_WRONLY);
                        EXPECT_TRUE(h.call(T, kind, {3, 0x1000, 10}, failed));
                        EXPECT_EQ(h.files(), (std::vector<Seen>{{"/data/out", false, false, {}, {}}}));
                        EXPECT_TRUE(h.call(T, kind, {3, 0x1000, 10}, 10));
                      },
                      {{"/data/out", false, true, {}, {U}}}});
    }
    rows.push_back({name + "_unreported_path_needs_no_exit",
                    [kind](Harness& h) {
                      h.open(T, "", 3, O_WRONLY);
                      EXPECT_FALSE(h.call(T, kind, {3, 0x1000, 10}, 10));
                    },
                    {}});
  }
  return rows;
}

std::vector<Row> mmap_rows() {
  struct M {
    const char* name;
    uint64_t prot, flags;
    int64_t fd;
    bool read, written;
  };
  std::vector<Row> rows;
  for (M m : {M{"read_private", PROT_READ, MAP_PRIVATE, 3, true, false},
              M{"read_write_private", PROT_READ | PROT_WRITE, MAP_PRIVATE, 3, true, false},
              M{"read_write_shared", PROT_READ | PROT_WRITE, MAP_SHARED, 3, true, true},
              M{"write_shared", PROT_WRITE, MAP_SHARED, 3, false, true},
              M{"exec_only", PROT_EXEC, MAP_PRIVATE, 3, false, false},
              M{"anonymous", PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, false, false},
              // The kernel ignores the descriptor of an anonymous map, open or not.
              M{"anonymous_with_open_fd", PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, 3,
                false, false},
              M{"unknown_fd", PROT_READ, MAP_SHARED, 8, false, false}}) {
    std::vector<uint32_t> r, w;
    if (m.read) r = {U};
    if (m.written) w = {U};
    rows.push_back({std::string("mmap_") + m.name,
                    [m](Harness& h) {
                      h.open(T, "/lib/libx.so", 3, O_RDWR);
                      EXPECT_FALSE(h.call(T, K::Mmap, {0, 4096, m.prot, m.flags, reg(m.fd), 0}, 0));
                    },
                    {{"/lib/libx.so", m.read, m.written, r, w}}});
  }
  return rows;
}

std::vector<Row> open_close_dup_rows() {
  return {
      {"openat_failure_records_nothing", [](Harness& h) { h.open(T, "/missing", -ENOENT); }, {}},
      // The name is read at the exit, once the open has succeeded.
      {"openat_unreadable_path_records_nothing",
       [](Harness& h) {
         h.call(T, K::Openat, {reg(AT_FDCWD), 0xdead0000, O_RDONLY}, 3);
         h.call(T, K::Read, {3}, 1);
       },
       {}},
      {"openat_directory_is_listed_untouched",
       [](Harness& h) { h.open(T, "/etc", 3, O_RDONLY | O_DIRECTORY); },
       {{"/etc", false, false, {}, {}}}},
      {"openat_absolute_path_kept_verbatim",
       [](Harness& h) { h.open(T, "/a/../b/./c", 3); },
       {{"/a/../b/./c", false, false, {}, {}}}},
      {"openat_with_trunc_hides_reads",
       [](Harness& h) {
         h.open(T, "/t", 3, O_RDWR | O_TRUNC);
         h.call(T, K::Read, {3}, 4);
         h.call(T, K::Write, {3}, 4);
       },
       {{"/t", false, true, {}, {U}}}},
      {"openat_over_an_open_number_replaces_it",
       [](Harness& h) {
         h.open(T, "/first", 3);
         h.call(T, K::Read, {3}, 1);
         h.open(T, "/second", 3);
         h.call(T, K::Read, {3}, 1);
       },
       {{"/first", true, false, {U}, {}}, {"/second", true, false, {U}, {}}}},
      {"close_then_reopen_of_same_number",
       [](Harness& h) {
         h.open(T, "/first", 3, O_WRONLY);
         EXPECT_FALSE(h.call(T, K::Close, {3}, 0));
         h.call(T, K::Write, {3}, 5);  // a closed number: nothing to record
         h.open(T, "/second", 3, O_WRONLY);
         EXPECT_TRUE(h.call(T, K::Write, {3}, 5));
       },
       {{"/first", false, false, {}, {}}, {"/second", false, true, {}, {U}}}},
      {"close_of_unknown_fd_stages_nothing",
       [](Harness& h) {
         EXPECT_FALSE(h.call(T, K::Close, {9}, -EBADF));
         EXPECT_FALSE(h.decoder.has_staged_call(T));
         h.open(T, "/c", 3);
         EXPECT_FALSE(h.call(T, K::Close, {9}, -EBADF));
         h.call(T, K::Read, {3}, 1);
       },
       {{"/c", true, false, {U}, {}}}},
      {"dup3_success_copies_path",
       [](Harness& h) {
         h.open(T, "/d", 3, O_WRONLY);
         EXPECT_TRUE(h.call(T, K::Dup3, {3, 1, 0}, 1));
         h.call(T, K::Write, {1}, 5);
       },
       {{"/d", false, true, {}, {U}}}},
      {"dup3_failure_changes_nothing",
       [](Harness& h) {
         h.open(T, "/d", 3, O_WRONLY);
         h.call(T, K::Dup3, {3, 1, 0}, -EBADF);
         h.call(T, K::Write, {1}, 5);
       },
       {{"/d", false, false, {}, {}}}},
      {"dup3_onto_open_descriptor_replaces_it",
       [](Harness& h) {
         h.open(T, "/a", 3);
         h.open(T, "/b", 4);
         h.call(T, K::Dup3, {3, 4, 0}, 4);
         h.call(T, K::Read, {4}, 1);
       },
       {{"/a", true, false, {U}, {}}, {"/b", false, false, {}, {}}}},
      {"dup3_of_unknown_fd_clears_target",
       [](Harness& h) {
         h.open(T, "/b", 4);
         h.call(T, K::Dup3, {9, 4, 0}, 4);
         h.call(T, K::Read, {4}, 1);
       },
       {{"/b", false, false, {}, {}}}},
      {"dup_does_not_carry_trunc",
       [](Harness& h) {
         h.open(T, "/t", 3, O_RDWR | O_TRUNC);  // the truncating open is a write
         h.call(T, K::Dup3, {3, 5, 0}, 5);
         h.call(T, K::Read, {3}, 1);
         h.call(T, K::Read, {5}, 1);
       },
       {{"/t", true, true, {U}, {U}}}},
      {"descriptor_is_low_32_bits_of_register",
       [](Harness& h) {
         h.open(T, "/low", 3);
         h.call(T, K::Read, {0xFFFF'FFFF'0000'0003}, 1);
       },
       {{"/low", true, false, {U}, {}}}},
  };
}

std::vector<Row> close_rows() {
  // The kernel releases the descriptor whatever close returns, so the result never matters.
  std::vector<Row> rows;
  for (const auto& name_result : {std::pair{"success", int64_t{0}},
                                  {"eintr", int64_t{-EINTR}},
                                  {"eio", int64_t{-EIO}},
                                  {"ebadf", int64_t{-EBADF}}}) {
    const int64_t result = name_result.second;
    rows.push_back({std::string("close_") + name_result.first + "_forgets_descriptor_at_entry",
                    [result](Harness& h) {
                      h.open(T, "/c", 3);
                      EXPECT_FALSE(h.call(T, K::Close, {3}, result));
                      h.call(T, K::Read, {3}, 1);
                    },
                    {{"/c", false, false, {}, {}}}});
  }
  // close_range(4, 8) with /a open on 5 and /b on 9, in a table T shares with C: a success
  // closes 5 unless it only marks it close-on-exec; with CLOSE_RANGE_UNSHARE only T's copy.
  constexpr pid_t C = 5000;
  struct Range {
    const char* name;
    uint64_t flags;
    int64_t result;
  };
  for (const Range r : {Range{"closes_the_range", 0, 0},
                        Range{"failed_closes_nothing", 0, -EINVAL},
                        Range{"cloexec_only_marks", CLOSE_RANGE_CLOEXEC, 0},
                        Range{"unshare_closes_in_the_callers_copy", CLOSE_RANGE_UNSHARE, 0}}) {
    const bool closed = r.result == 0 && (r.flags & CLOSE_RANGE_CLOEXEC) == 0;
    const bool closed_for_c = closed && (r.flags & CLOSE_RANGE_UNSHARE) == 0;
    std::vector<uint32_t> readers;
    if (!closed) readers.push_back(U);
    if (!closed_for_c) readers.push_back(C);
    rows.push_back({std::string("close_range_") + r.name,
                    [r](Harness& h) {
                      h.open(T, "/a", 5);
                      h.open(T, "/b", 9);
                      h.decoder.on_new_task(T, C, true);
                      EXPECT_TRUE(h.call(T, K::CloseRange, {4, 8, r.flags}, r.result));
                      h.call(T, K::Read, {5}, 1);
                      h.call(T, K::Read, {9}, 1);
                      h.call(C, K::Read, {5}, 1);
                    },
                    {{"/a", !readers.empty(), false, readers, {}},
                     {"/b", true, false, {U}, {}}}});
  }
  return rows;
}

std::vector<Row> rename_rows() {
  std::vector<Row> rows;
  for (const auto& name_kind :
       {std::pair{"renameat", K::Renameat}, {"renameat2", K::Renameat2}, {"linkat", K::Linkat}}) {
    const std::string name = name_kind.first;
    const K kind = name_kind.second;
    // A rename changes both names; a link only adds the new one.
    const bool both = kind != K::Linkat;
    std::vector<Seen> want{{"/dst/b", false, true, {}, {U}}};
    if (both) want.push_back({"/src/a", false, true, {}, {U}});
    rows.push_back({name + (both ? "_records_both_names" : "_records_only_destination"),
                    [kind](Harness& h) {
                      const uint64_t from = h.memory.place("/src/a");
                      const uint64_t to = h.memory.place("/dst/b");
                      EXPECT_TRUE(h.call(T, kind, {reg(AT_FDCWD), from, reg(AT_FDCWD), to, 0}, 0));
                    },
                    want});
    rows.push_back({name + "_failure_records_nothing",
                    [kind](Harness& h) {
                      const uint64_t from = h.memory.place("/src/a");
                      const uint64_t to = h.memory.place("/dst/b");
                      h.call(T, kind, {reg(AT_FDCWD), from, reg(AT_FDCWD), to, 0}, -EXDEV);
                    },
                    {}});
  }
  return rows;
}

std::vector<Row> transfer_rows() {
  // sendfile(out, in, ...), splice(in, off_in, out, ...), copy_file_range(in, off_in, out, ...)
  struct X {
    const char* name;
    K kind;
    bool out_first;
  };
  std::vector<Row> rows;
  for (X x : {X{"sendfile", K::Sendfile, true}, X{"splice", K::Splice, false},
              X{"copy_file_range", K::CopyFileRange, false}}) {
    const auto args = [x](uint64_t in, uint64_t out) {
      return x.out_first ? std::vector<uint64_t>{out, in, 0, 100}
                         : std::vector<uint64_t>{in, 0, out, 0, 100};
    };
    // Returns whether the exit stop was asked for; runs the exit only then, as the loop does.
    const auto run = [x, args](Harness& h, uint64_t in, uint64_t out, int64_t r,
                               pid_t task = T) {
      const auto a = args(in, out);
      TracedCall c;
      c.kind = x.kind;
      for (std::size_t i = 0; i < a.size(); ++i) c.args[i] = a[i];
      const bool wanted = h.decoder.decode_entry(task, c);
      if (wanted) h.decoder.decode_exit(task, r);
      return wanted;
    };
    rows.push_back({std::string(x.name) + "_moves_bytes",
                    [run](Harness& h) {
                      h.open(T, "/in", 3);
                      h.open(T, "/out", 4, O_WRONLY | O_TRUNC);
                      EXPECT_TRUE(run(h, 3, 4, 100));
                    },
                    {{"/in", true, false, {U}, {}}, {"/out", false, true, {}, {U}}}});
    rows.push_back({std::string(x.name) + "_repeat_needs_no_exit",
                    [run](Harness& h) {
                      h.open(T, "/in", 3);
                      h.open(T, "/out", 4, O_WRONLY);
                      EXPECT_TRUE(run(h, 3, 4, 100));
                      EXPECT_FALSE(run(h, 3, 4, 100));
                      EXPECT_FALSE(run(h, 3, 1, 100));  // into an untracked pipe
                    },
                    {{"/in", true, false, {U}, {}}, {"/out", false, true, {}, {U}}}});
    rows.push_back({std::string(x.name) + "_new_output_needs_its_exit",
                    [run](Harness& h) {
                      h.open(T, "/in", 3);
                      h.open(T, "/out", 4, O_WRONLY);
                      h.open(T, "/other", 5, O_WRONLY);
                      EXPECT_TRUE(run(h, 3, 4, 100));
                      EXPECT_TRUE(run(h, 3, 5, 100));
                    },
                    {{"/in", true, false, {U}, {}},
                     {"/other", false, true, {}, {U}},
                     {"/out", false, true, {}, {U}}}});
    rows.push_back({std::string(x.name) + "_new_input_needs_its_exit",
                    [run](Harness& h) {
                      h.open(T, "/in", 3);
                      h.open(T, "/more", 5);
                      h.open(T, "/out", 4, O_WRONLY);
                      EXPECT_TRUE(run(h, 3, 4, 100));
                      EXPECT_TRUE(run(h, 5, 4, 100));
                    },
                    {{"/in", true, false, {U}, {}},
                     {"/more", true, false, {U}, {}},
                     {"/out", false, true, {}, {U}}}});
    rows.push_back({std::string(x.name) + "_other_task_needs_its_exit",
                    [run](Harness& h) {
                      constexpr pid_t C = 5002;
                      h.open(T, "/in", 3);
                      h.open(T, "/out", 4, O_WRONLY);
                      EXPECT_TRUE(run(h, 3, 4, 100));
                      h.decoder.on_new_task(T, C);
                      EXPECT_TRUE(run(h, 3, 4, 100, C));
                    },
                    {{"/in", true, false, {U, 5002}, {}}, {"/out", false, true, {}, {U, 5002}}}});
    rows.push_back({std::string(x.name) + "_from_truncated_input_needs_no_read_exit",
                    [run](Harness& h) {
                      h.open(T, "/in", 3, O_RDWR | O_TRUNC);  // reads through it never count
                      h.open(T, "/out", 4, O_WRONLY);
                      EXPECT_TRUE(run(h, 3, 4, 100));
                      EXPECT_FALSE(run(h, 3, 4, 100));
                    },
                    {{"/in", false, true, {}, {U}}, {"/out", false, true, {}, {U}}}});
    rows.push_back({std::string(x.name) + "_between_untracked_needs_no_exit",
                    [run](Harness& h) { EXPECT_FALSE(run(h, 0, 1, 100)); },
                    {}});
    rows.push_back({std::string(x.name) + "_zero_result",
                    [run](Harness& h) {
                      h.open(T, "/in", 3);
                      h.open(T, "/out", 4, O_WRONLY);
                      EXPECT_TRUE(run(h, 3, 4, 0));
                    },
                    {{"/in", false, false, {}, {}}, {"/out", false, false, {}, {}}}});
    rows.push_back({std::string(x.name) + "_into_a_pipe",
                    [run](Harness& h) {
                      h.open(T, "/in", 3);
                      EXPECT_TRUE(run(h, 3, 1, 100));
                    },
                    {{"/in", true, false, {U}, {}}}});
  }
  return rows;
}

// Calls that change a name or a file's size without data, and the descriptor moves beyond dup3.
std::vector<Row> change_rows() {
  const uint64_t fdcwd = reg(AT_FDCWD);
  std::vector<Row> rows = {
      {"dup_moves_the_path",
       [](Harness& h) {
         h.open(T, "/d", 3);
         EXPECT_TRUE(h.call(T, K::Dup, {3}, 7));
         h.call(T, K::Read, {7}, 1);
       },
       {{"/d", true, false, {U}, {}}}},
      {"fcntl_dupfd_cloexec_moves_the_path",
       [](Harness& h) {
         h.open(T, "/script", 3);
         EXPECT_TRUE(h.call(T, K::Fcntl, {3, F_DUPFD_CLOEXEC, 10}, 10));
         h.call(T, K::Close, {3}, 0);
         h.call(T, K::Read, {10}, 1);
       },
       {{"/script", true, false, {U}, {}}}},
      {"fcntl_dupfd_moves_the_path",
       [](Harness& h) {
         h.open(T, "/f", 3, O_WRONLY);
         EXPECT_TRUE(h.call(T, K::Fcntl, {3, F_DUPFD, 0}, 4));
         h.call(T, K::Write, {4}, 1);
       },
       {{"/f", false, true, {}, {U}}}},
      {"fcntl_other_commands_need_no_exit",
       [](Harness& h) {
         h.open(T, "/f", 3);
         EXPECT_FALSE(h.call(T, K::Fcntl, {3, F_GETFL, 0}, O_RDONLY));
         h.call(T, K::Read, {2}, 1);  // result 2 was never a new descriptor
       },
       {{"/f", false, false, {}, {}}}},
      {"unlinkat_writes_the_name",
       [fdcwd](Harness& h) {
         EXPECT_TRUE(h.call(T, K::Unlinkat, {fdcwd, h.memory.place("/gone"), 0}, 0));
         h.call(T, K::Unlinkat, {fdcwd, h.memory.place("/missing"), 0}, -ENOENT);
       },
       {{"/gone", false, true, {}, {U}}}},
      {"unlinkat_of_a_directory_writes_its_name",
       [fdcwd](Harness& h) {
         EXPECT_TRUE(h.call(T, K::Unlinkat, {fdcwd, h.memory.place("/dir"), AT_REMOVEDIR}, 0));
       },
       {{"/dir", false, true, {}, {U}}}},
      {"mkdirat_writes_the_name_it_made_without_a_trailing_slash",
       [fdcwd](Harness& h) {
         EXPECT_TRUE(h.call(T, K::Mkdirat, {fdcwd, h.memory.place("/made//"), 0755}, 0));
         h.call(T, K::Mkdirat, {fdcwd, h.memory.place("/there"), 0755}, -EEXIST);
       },
       {{"/made", false, true, {}, {U}}}},
      {"symlinkat_writes_the_link_not_the_target",
       [fdcwd](Harness& h) {
         EXPECT_TRUE(
             h.call(T, K::Symlinkat, {h.memory.place("/target"), fdcwd, h.memory.place("/ln")}, 0));
       },
       {{"/ln", false, true, {}, {U}}}},
      {"truncate_writes_the_path",
       [](Harness& h) {
         EXPECT_TRUE(h.call(T, K::Truncate, {h.memory.place("/t"), 0}, 0));
         h.call(T, K::Truncate, {h.memory.place("/ro"), 0}, -EACCES);
       },
       {{"/t", false, true, {}, {U}}}},
      {"ftruncate_writes_through_the_descriptor",
       [](Harness& h) {
         h.open(T, "/t", 3, O_RDWR);
         EXPECT_TRUE(h.call(T, K::Ftruncate, {3, 0}, 0));
         EXPECT_FALSE(h.call(T, K::Ftruncate, {3, 0}, 0));  // already recorded for this task
       },
       {{"/t", false, true, {}, {U}}}},
      {"getdents64_reads_the_directory",
       [](Harness& h) {
         h.open(T, "/dir", 3, O_RDONLY | O_DIRECTORY);
         EXPECT_FALSE(h.call(T, K::Getdents64, {3, 0x1000, 4096}, 0));
       },
       {{"/dir", true, false, {U}, {}}}},
      // A file that never had a name is not reported, nor what goes through its descriptor; the
      // name a linkat gives it is written.
      {"open_tmpfile_is_nobodys_linked_name_is_written",
       [fdcwd](Harness& h) {
         h.open(T, "/dir", 3, O_RDWR | O_TMPFILE);
         h.call(T, K::Write, {3}, 1);
         h.call(T, K::Read, {3}, 1);
         EXPECT_TRUE(h.call(T, K::Linkat,
                            {3, h.memory.place(""), fdcwd, h.memory.place("/named"), AT_EMPTY_PATH},
                            0));
         h.call(T, K::Read, {3}, 1);
         h.open(T, "/dir", 4, O_WRONLY | O_TMPFILE);
         h.call(T, K::Linkat,
                {fdcwd, h.memory.place("/proc/self/fd/4"), fdcwd, h.memory.place("/other"),
                 AT_SYMLINK_FOLLOW},
                0);
         h.call(T, K::Write, {4}, 1);
       },
       {{"/named", false, true, {}, {U}}, {"/other", false, true, {}, {U}}}},
      {"openat2_takes_its_flags_from_open_how",
       [fdcwd](Harness& h) {
         h.call(T, K::Openat2,
                {fdcwd, h.memory.place("/o2"), h.memory.place_word(O_WRONLY | O_TRUNC), 24}, 3);
         h.call(T, K::Read, {3}, 1);  // through a truncating descriptor: not a read
         h.call(T, K::Openat2, {fdcwd, h.memory.place("/r2"), h.memory.place_word(O_RDONLY), 24},
                4);
         h.call(T, K::Read, {4}, 1);
       },
       {{"/o2", false, true, {}, {U}}, {"/r2", true, false, {U}, {}}}},
  };
  // Opens that create or empty a file write it even when no data follows; plain ones do not.
  for (const auto& [name, flags, written] :
       {std::tuple{"trunc", O_WRONLY | O_TRUNC, true},
        {"creat_excl", O_WRONLY | O_CREAT | O_EXCL, true},
        {"creat_without_excl", O_WRONLY | O_CREAT, false},
        {"directory", O_RDONLY | O_DIRECTORY, false}}) {
    const uint64_t f = static_cast<uint64_t>(flags);
    std::vector<Seen> want{{"/o", false, written, {}, written ? std::vector<uint32_t>{U}
                                                              : std::vector<uint32_t>{}}};
    rows.push_back({std::string("open_") + name, [f](Harness& h) {
                      h.open(T, "/o", 3, f);
                      h.open(T, "/o", -ENOENT, f);  // a failed open changes nothing
                    },
                    want});
  }
  return rows;
}

const auto name_of = [](const testing::TestParamInfo<Row>& info) { return info.param.name; };
INSTANTIATE_TEST_SUITE_P(Reads, DecoderRows, testing::ValuesIn(read_rows()), name_of);
INSTANTIATE_TEST_SUITE_P(Writes, DecoderRows, testing::ValuesIn(write_rows()), name_of);
INSTANTIATE_TEST_SUITE_P(Mmap, DecoderRows, testing::ValuesIn(mmap_rows()), name_of);
INSTANTIATE_TEST_SUITE_P(Descriptors, DecoderRows, testing::ValuesIn(open_close_dup_rows()),
                         name_of);
INSTANTIATE_TEST_SUITE_P(Close, DecoderRows, testing::ValuesIn(close_rows()), name_of);
INSTANTIATE_TEST_SUITE_P(Renames, DecoderRows, testing::ValuesIn(rename_rows()), name_of);
INSTANTIATE_TEST_SUITE_P(Transfers, DecoderRows, testing::ValuesIn(transfer_rows()), name_of);
INSTANTIATE_TEST_SUITE_P(Changes, DecoderRows, testing::ValuesIn(change_rows()), name_of);

TEST(DecoderTasks, ChildGetsCopiesNotSharedDescriptors) {
  Harness h;
  constexpr pid_t C = 5000;
  h.open(T, "/shared", 3);
  h.open(T, "/trunc", 4, O_RDWR | O_TRUNC);
  h.decoder.on_new_task(T, C);
  h.open(T, "/later", 5);       // opened after the child was created
  h.call(C, K::Read, {5}, 1);   // not in the child's table
  h.call(C, K::Read, {4}, 1);   // inherited copies do not keep O_TRUNC
  h.call(C, K::Close, {3}, 0);  // closes the child's copy only
  h.call(T, K::Read, {3}, 1);
  h.call(C, K::Read, {3}, 1);
  EXPECT_EQ(h.files(), (std::vector<Seen>{{"/later", false, false, {}, {}},
                                          {"/shared", true, false, {U}, {}},
                                          {"/trunc", true, true, {5000}, {U}}}));
}

TEST(DecoderTasks, TasksSharingTheKernelsTableShareOneUntilExec) {
  Harness h;
  constexpr pid_t C = 5000;
  h.open(T, "/before", 3);
  h.decoder.on_new_task(T, C, true);
  h.open(T, "/later", 5);      // opened after the thread was created
  h.call(C, K::Read, {5}, 1);  // the same table: the thread reads it
  h.decoder.on_exec(C, {});    // exec unshares: what T opens now is not C's
  h.open(T, "/after-exec", 6);
  h.call(C, K::Read, {6}, 1);
  h.call(C, K::Read, {3}, 1);  // but the copy keeps what was there
  EXPECT_EQ(h.files(), (std::vector<Seen>{{"/after-exec", false, false, {}, {}},
                                          {"/before", true, false, {5000}, {}},
                                          {"/later", true, false, {5000}, {}}}));
  EXPECT_EQ(h.decoder.descriptor_count(), 5u);
}

TEST(DecoderTasks, ExecutedFilesAreReadByTheTask) {
  Harness h;
  const std::vector<std::string> executed = {"/usr/bin/dash", "/src/script.sh"};
  h.decoder.on_exec(T, executed);
  EXPECT_EQ(h.files(), (std::vector<Seen>{{"/src/script.sh", true, false, {U}, {}},
                                          {"/usr/bin/dash", true, false, {U}, {}}}));
}

TEST(DecoderTasks, ExecClosesWhatTheKernelClosed) {
  Harness h;
  h.open(T, "/gone", 3);
  h.open(T, "/kept", 4);
  h.open(T, "/closed-before", 5);
  h.call(T, K::Close, {5}, 0);
  std::vector<int> asked;
  h.decoder.on_exec(T, {}, [&asked](int fd) {
    asked.push_back(fd);
    return fd == 4;
  });
  std::sort(asked.begin(), asked.end());
  EXPECT_EQ(asked, (std::vector<int>{3, 4}));  // only about the open ones
  for (const uint64_t fd : {3, 4, 5}) h.call(T, K::Read, {fd}, 1);
  EXPECT_EQ(h.files(), (std::vector<Seen>{{"/closed-before", false, false, {}, {}},
                                          {"/gone", false, false, {}, {}},
                                          {"/kept", true, false, {U}, {}}}));
}

TEST(DecoderTasks, NegativeIdsInheritNothing) {
  Harness h;
  h.open(T, "/f", 3);
  h.decoder.on_new_task(T, -1);
  h.decoder.on_new_task(-1, 77);
  h.call(77, K::Read, {3}, 1);
  EXPECT_EQ(h.files(), (std::vector<Seen>{{"/f", false, false, {}, {}}}));
}

TEST(DecoderTasks, ExitCompletesOnlyTheCallingTasksStagedCall) {
  Harness h;
  constexpr pid_t A = 10, B = 11;
  TracedCall open_a;
  open_a.kind = K::Openat;
  open_a.args[0] = reg(AT_FDCWD);
  open_a.args[1] = h.memory.place("/from-a");
  TracedCall open_b = open_a;
  open_b.args[1] = h.memory.place("/from-b");
  ASSERT_TRUE(h.decoder.decode_entry(A, open_a));
  ASSERT_TRUE(h.decoder.decode_entry(B, open_b));
  h.decoder.decode_exit(B, 7);
  h.decoder.decode_exit(A, -ENOENT);
  h.call(B, K::Read, {7}, 1);
  EXPECT_EQ(h.files(), (std::vector<Seen>{{"/from-b", true, false, {11}, {}}}));
}

TEST(DecoderTasks, StaleStagedCallDoesNotCompleteALaterOne) {
  // The exit stop of the first open was lost (registers unreadable). The second open's path
  // cannot be read; its exit must not attach the first open's path to the new descriptor.
  Harness h;
  TracedCall first;
  first.kind = K::Openat;
  first.args[0] = reg(AT_FDCWD);
  first.args[1] = h.memory.place("/stale");
  ASSERT_TRUE(h.decoder.decode_entry(T, first));
  h.call(T, K::Openat, {reg(AT_FDCWD), 0xbad000, O_RDONLY}, 3);
  h.call(T, K::Read, {3}, 1);
  EXPECT_EQ(h.files(), std::vector<Seen>{});
}

TEST(DecoderTasks, TaskGoneDropsStagedCalls) {
  Harness h;
  TracedCall rename;
  rename.kind = K::Renameat;
  rename.args[0] = rename.args[2] = reg(AT_FDCWD);
  rename.args[3] = h.memory.place("/dest");
  ASSERT_TRUE(h.decoder.decode_entry(T, rename));
  h.decoder.task_gone(T);
  h.decoder.decode_exit(T, 0);
  EXPECT_EQ(h.files(), std::vector<Seen>{});
  EXPECT_EQ(h.decoder.task_count(), 0u);
}

TEST(DecoderTasks, EndedTasksAccessesStayInTheReport) {
  Harness h;
  h.open(T, "/kept", 3, O_WRONLY);
  h.call(T, K::Write, {3}, 9);
  h.decoder.task_gone(T);
  EXPECT_EQ(h.files(), (std::vector<Seen>{{"/kept", false, true, {}, {U}}}));
  EXPECT_EQ(h.decoder.descriptor_count(), 0u);
}

TEST(DecoderTasks, LegacyKindsAtExitCompleteTheirAtForm) {
  Harness h;
  h.open(T, "/x", 3);
  TracedCall dup;
  dup.kind = K::Dup3;
  dup.args[0] = 3;
  dup.args[1] = 1;
  ASSERT_TRUE(h.decoder.decode_entry(T, dup));
  h.decoder.decode_exit(T, 1);
  h.call(T, K::Read, {1}, 1);
  EXPECT_EQ(h.files(), (std::vector<Seen>{{"/x", true, false, {U}, {}}}));
}

TEST(DecoderPaths, EmptyPathIsNeverReported) {
  Harness h;
  h.open(T, "", 3);
  h.call(T, K::Read, {3}, 1);
  h.call(T, K::Write, {3}, 1);
  EXPECT_EQ(h.files(), std::vector<Seen>{});
}

TEST(DecoderPaths, ListsMirrorTheFiles) {
  Harness h;
  h.open(T, "/z-read", 3);
  h.call(T, K::Read, {3}, 1);
  h.open(T, "/a-opened", 4);
  const uint64_t to = h.memory.place("/m-renamed");
  h.call(T, K::Renameat, {reg(AT_FDCWD), 0, reg(AT_FDCWD), to}, 0);
  const auto agg = h.decoder.aggregate_files();
  EXPECT_EQ(agg.paths.opened_files,
            (std::vector<std::string>{"/a-opened", "/m-renamed", "/z-read"}));
  EXPECT_EQ(agg.paths.read_files, std::vector<std::string>{"/z-read"});
  EXPECT_EQ(agg.paths.written_files, std::vector<std::string>{"/m-renamed"});
}

}  // namespace
}  // namespace drel::test
