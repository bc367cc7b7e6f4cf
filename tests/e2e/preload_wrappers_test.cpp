// The interposition library inside real programs, with a stand-in listener instead of the
// launcher: which events each call sends, and that the program itself never notices.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "preload/guest/wrapped_functions.h"
#include "preload_wrappers_harness.h"
#include "support/case_names.h"
#include "support/process_runner.h"

namespace drel::test {
namespace {

using Kinds = std::vector<std::string>;

std::string real_path(const std::string& p) {
  char buf[PATH_MAX];
  EXPECT_NE(realpath(p.c_str(), buf), nullptr) << p;
  return buf;
}

std::string describe(const TracedRun& run) {
  std::ostringstream s;
  s << "exit " << run.exit_status << ", stderr: " << run.err << "\nevents:\n";
  for (const WireEvent& e : run.events)
    s << "  " << e.kind << " " << (e.from.empty() ? "" : e.from + " -> ") << e.path << " pid "
      << e.pid << " tid " << e.thread_id << "\n";
  return s.str();
}

// (kind, path) of one event; a rename is ("rename" or "exchange", "old -> new").
std::pair<std::string, std::string> kind_and_path(const WireEvent& e) {
  if (e.kind != "rename") return {e.kind, e.path};
  return {e.exchange ? "exchange" : "rename", e.from + " -> " + e.path};
}

class PreloadWrappers : public testing::Test {
 protected:
  void SetUp() override { real_ = real_path(dir_.path()); }

  TracedRun calls(const std::string& scenario, const std::string& arg = "",
                  TraceOptions options = {}) {
    options.cwd = dir_.path();
    std::vector<std::string> argv = {fixture_path("preload_calls"), scenario};
    if (!arg.empty()) argv.push_back(arg);
    TracedRun run = run_traced(argv, options);
    EXPECT_EQ(run.undecodable, 0) << describe(run);
    EXPECT_EQ(run.trailing_bytes, 0u) << describe(run);
    return run;
  }

  // Kinds sent for one path, in order.
  static Kinds kinds_for(const TracedRun& run, const std::string& path) {
    Kinds kinds;
    for (const WireEvent& e : run.events)
      if (e.path == path) kinds.push_back(e.kind);
    return kinds;
  }

  std::string in_dir(const std::string& name) const { return real_ + "/" + name; }

  TempDir dir_;
  std::string real_;
};

TEST_F(PreloadWrappers, CreatSendsExactlyOneOpenWrite) {
  TracedRun run = calls("creat");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  ASSERT_EQ(run.events.size(), 1u) << describe(run);
  EXPECT_EQ(run.events[0].kind, "open_write");
  EXPECT_EQ(run.events[0].path, in_dir("c.txt"));
  EXPECT_NE(run.events[0].pid, 0u);
  EXPECT_EQ(run.events[0].thread_id, run.events[0].pid);
}

TEST_F(PreloadWrappers, OpensAreClassifiedRelativePathsResolvedAbsoluteKeptAsWritten) {
  write_file(dir_ / "data.txt", "data");
  std::string base = real_.substr(real_.rfind('/') + 1);
  std::string as_written = real_ + "/../" + base + "/data.txt";
  TracedRun run = calls("open", as_written);
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  std::vector<std::pair<std::string, std::string>> got;
  for (const WireEvent& e : run.events) got.push_back(kind_and_path(e));
  std::vector<std::pair<std::string, std::string>> expected = {
      {"open_read", in_dir("data.txt")},                                       // O_RDONLY
      {"open_read", in_dir("data.txt")},  {"open_write", in_dir("data.txt")},  // O_RDWR
      {"open_write", as_written},                                              // O_APPEND
      {"open_write", in_dir("data.txt")},                                      // O_TRUNC
      {"open_read", real_},  // a directory opened for listing is not written
  };
  EXPECT_EQ(got, expected) << describe(run);
}

TEST_F(PreloadWrappers, OpenatJoinsTheDirectoryDescriptorsPath) {
  TracedRun run = calls("openat");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  std::vector<std::pair<std::string, std::string>> got;
  for (const WireEvent& e : run.events) got.push_back(kind_and_path(e));
  std::vector<std::pair<std::string, std::string>> expected = {
      {"open_read", "/"},
      {"open_read", "//tmp"},
      {"open_read", real_},
      {"open_write", in_dir("new.txt")},
      {"open_read", in_dir("new.txt")},
  };
  EXPECT_EQ(got, expected) << describe(run);
}

TEST_F(PreloadWrappers, NameChangesReportEveryChangedNameAbsolute) {
  TracedRun run = calls("names");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  std::vector<std::pair<std::string, std::string>> got;
  for (const WireEvent& e : run.events) got.push_back(kind_and_path(e));
  std::vector<std::pair<std::string, std::string>> expected = {
      {"open_write", in_dir("a")}, {"write", in_dir("a")},  // creating a
      {"rename", in_dir("a") + " -> " + in_dir("b")},       // rename a b: both names
      {"write", in_dir("c")},                                // link b c: the new name
      {"write", in_dir("c")},                                // unlink c
      {"write", in_dir("b")},                                // truncate b
      {"open_read", real_},                                  // the directory descriptor
      {"rename", in_dir("b") + " -> " + in_dir("d")},       // renameat under it
      {"write", in_dir("e")},                                // linkat to AT_FDCWD
      {"write", in_dir("e")},                                // unlinkat
      {"write", in_dir("sub")},                              // mkdir
      {"write", in_dir("sub")},                              // unlinkat AT_REMOVEDIR
  };
  EXPECT_EQ(got, expected) << describe(run);
}

TEST_F(PreloadWrappers, MmapReportsByProtectionAndSharing) {
  TracedRun run = calls("mmap");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  // Each file is first written by the fixture, then opened and mapped.
  EXPECT_EQ(kinds_for(run, in_dir("m_private")),
            (Kinds{"open_write", "write", "open_read", "open_write", "read"}));
  EXPECT_EQ(kinds_for(run, in_dir("m_shared")),
            (Kinds{"open_write", "write", "open_read", "open_write", "read", "write"}));
  EXPECT_EQ(kinds_for(run, in_dir("m_readonly")),
            (Kinds{"open_write", "write", "open_read", "read"}));
  EXPECT_EQ(run.events.size(), 15u) << "the anonymous mapping sent something\n" << describe(run);
}

TEST_F(PreloadWrappers, VectorAndPositionedTransfersReportOncePerCall) {
  TracedRun run = calls("vectors");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  // Each call on a freshly opened descriptor (a repeat on one would send nothing).
  Kinds expected = {"open_write", "write"};  // creating it
  for (const char* kind : {"read", "read", "read",      // readv, pread, pread64
                           "write", "write", "write"})  // writev, pwrite, pwrite64
    expected.insert(expected.end(), {"open_read", "open_write", kind});
  EXPECT_EQ(kinds_for(run, in_dir("v.txt")), expected);
  EXPECT_EQ(run.events.size(), expected.size()) << describe(run);
}

TEST_F(PreloadWrappers, SendfileReadsItsInputThenWritesItsOutput) {
  TracedRun run = calls("sendfile");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  ASSERT_GE(run.events.size(), 2u);
  const WireEvent& last_but_one = run.events[run.events.size() - 2];
  const WireEvent& last = run.events.back();
  EXPECT_EQ(last_but_one.kind, "read");
  EXPECT_EQ(last_but_one.path, in_dir("in.txt"));
  EXPECT_EQ(last.kind, "write");
  EXPECT_EQ(last.path, in_dir("out.txt"));
  EXPECT_EQ(kinds_for(run, in_dir("out.txt")), (Kinds{"open_write", "write"}));
}

TEST_F(PreloadWrappers, StreamsSendTheirOpenAndOneEventPerSuccessfulTransfer) {
  TracedRun run = calls("stdio");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(kinds_for(run, in_dir("s_in.txt")),
            (Kinds{"open_write", "write", "open_read", "read"}));
  EXPECT_EQ(kinds_for(run, in_dir("s_out.txt")), (Kinds{"open_write", "write"}));
}

// Every process tells what it runs, once, when the library loads; the path is read into a
// short buffer first, so a program under a long path is run from a copy there too.
class PreloadExecutableRead : public PreloadWrappers,
                              public testing::WithParamInterface<size_t> {};

TEST_P(PreloadExecutableRead, EachProcessReportsItsExecutableAsRead) {
  std::string program = fixture_path("preload_calls");
  if (GetParam() != 0) {
    std::string dir = dir_.path() + "/";
    while (dir.size() < GetParam()) dir += std::string(60, 'd') + "/";
    std::filesystem::create_directories(dir);
    program = dir + "preload_calls";
    std::filesystem::copy_file(fixture_path("preload_calls"), program);
  }
  TraceOptions options;
  options.cwd = dir_.path();
  TracedRun run = run_traced({program, "creat"}, options);
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  ASSERT_EQ(run.executables.size(), 1u) << describe(run);
  // Started by its absolute name: that name, with no look at /proc.
  EXPECT_EQ(run.executables[0].kind, "executed");
  EXPECT_EQ(run.executables[0].path, program);
  EXPECT_EQ(run.executables[0].pid, run.events.at(0).pid);
}

INSTANTIATE_TEST_SUITE_P(PathLengths, PreloadExecutableRead, testing::Values(0, 300),
                         [](const testing::TestParamInfo<size_t>& info) {
                           return info.param == 0 ? std::string("AsBuilt")
                                                  : "Over" + std::to_string(info.param);
                         });

// Every process describes itself before its first event: parent, exec or fork, command. Each
// distinct description is shown as "P<n> exec|fork <parent> <command>", processes numbered in
// order of appearance, the parent as such a number or "outside", the program as its base name.
struct DescriptionCase {
  std::string name;
  std::string scenario;
  std::string arg;
  std::vector<std::string> expected;
};

void PrintTo(const DescriptionCase& c, std::ostream* os) { *os << c.name; }

class PreloadProcessDescriptions : public PreloadWrappers,
                                   public testing::WithParamInterface<DescriptionCase> {};

TEST_P(PreloadProcessDescriptions, GoOutBeforeTheFirstEventOfEachProcess) {
  const DescriptionCase& c = GetParam();
  TracedRun run = calls(c.scenario, c.arg);
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  std::vector<uint32_t> pids;
  auto number = [&](uint32_t pid) {
    auto it = std::find(pids.begin(), pids.end(), pid);
    if (it != pids.end()) return "P" + std::to_string(it - pids.begin());
    return std::string("outside");
  };
  std::vector<std::string> got;
  for (const WireProcess& p : run.processes) {
    if (std::find(pids.begin(), pids.end(), p.pid) == pids.end()) pids.push_back(p.pid);
    ASSERT_TRUE(p.has_areas) << p.pid;
    std::string text = number(p.pid) + (p.exec ? " exec " : " fork ") + number(p.parent_pid);
    for (size_t i = 0; i < p.command.size(); ++i)
      text += " " + (i == 0 ? p.command[0].substr(p.command[0].rfind('/') + 1) : p.command[i]);
    if (std::find(got.begin(), got.end(), text) == got.end()) got.push_back(text);
    EXPECT_FALSE(p.env.empty()) << text;
  }
  EXPECT_EQ(got, c.expected) << describe(run);
  std::vector<WireEvent> all = run.executables;
  all.insert(all.end(), run.events.begin(), run.events.end());
  for (const WireEvent& e : all) {
    bool before = std::any_of(run.processes.begin(), run.processes.end(), [&](const auto& p) {
      return p.pid == e.pid && p.connection == e.connection && p.frame_index < e.frame_index;
    });
    EXPECT_TRUE(before) << e.kind << " " << e.path << " of " << e.pid;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PreloadProcessDescriptions,
    testing::Values(
        DescriptionCase{"ExecutedImage", "exec", "execve",
                        {"P0 exec outside preload_calls exec execve",
                         "P0 exec outside preload_calls env_report"}},
        DescriptionCase{"ForkedCopy", "fork_inherited", "",
                        {"P0 exec outside preload_calls fork_inherited",
                         "P1 fork P0 preload_calls fork_inherited"}},
        DescriptionCase{"VforkChildWithEachEvent", "vfork", "",
                        {"P0 exec outside preload_calls vfork", "P1 fork P0 preload_calls vfork"}}),
    ByName());

// A program started with an environment of its own ("A=1" only) is traced all the same: it
// gets the library first in LD_PRELOAD and the launcher's variables, and nothing else changes.
class PreloadExecForms : public PreloadWrappers, public testing::WithParamInterface<std::string> {
};

TEST_P(PreloadExecForms, KeepTheStartedProgramTraced) {
  TracedRun run = calls("exec", GetParam());
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  std::vector<std::string> env;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) env.push_back(line);
  std::sort(env.begin(), env.end());
  // Preloaded by hand (no DREL_PRELOAD_LIB here): the library's file is put back as it was.
  ASSERT_EQ(env.size(), 3u) << run.out;
  EXPECT_EQ(env[0], "A=1");
  EXPECT_EQ(env[1].rfind("DREL_PRELOAD_TRACE_SOCK=/", 0), 0u) << env[1];
  EXPECT_EQ(env[2], "LD_PRELOAD=" + preload_library_path());
  EXPECT_EQ(kinds_for(run, in_dir("c.txt")), (Kinds{"open_write"})) << describe(run);
}

INSTANTIATE_TEST_SUITE_P(Forms, PreloadExecForms,
                         testing::Values("execve", "execv", "execvp", "execvpe", "execl",
                                         "execlp", "execle", "fexecve", "posix_spawn",
                                         "posix_spawnp"),
                         ByText());

// One row per wrapper family: the scenario's events, in order. "@" stands for the scratch
// directory; $1.. for the words the scenario printed (names the C library chose).
struct FamilyCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> events;
};

void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.name; }

class PreloadWrapperFamilies : public PreloadWrappers,
                               public testing::WithParamInterface<FamilyCase> {
 protected:
  std::string expand(const std::string& text, const std::vector<std::string>& words) const {
    // A rename's two names: "old -> new".
    if (size_t arrow = text.find(" -> "); arrow != std::string::npos)
      return expand(text.substr(0, arrow), words) + " -> " + expand(text.substr(arrow + 4), words);
    if (text.rfind("$", 0) == 0) return in_dir(words.at(std::stoul(text.substr(1)) - 1));
    if (text.rfind("@", 0) == 0) return real_ + text.substr(1);
    return text;
  }
};

TEST_P(PreloadWrapperFamilies, SendExactlyTheseEvents) {
  const FamilyCase& c = GetParam();
  TracedRun run = calls(c.name);
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  std::vector<std::string> words;
  std::istringstream printed(run.out);
  for (std::string w; printed >> w;) words.push_back(w);
  std::vector<std::pair<std::string, std::string>> expected, got;
  for (const auto& [kind, path] : c.events) expected.emplace_back(kind, expand(path, words));
  for (const WireEvent& e : run.events) got.push_back(kind_and_path(e));
  EXPECT_EQ(got, expected) << describe(run);
}

using Ev = std::pair<std::string, std::string>;
std::vector<Ev> created(std::initializer_list<const char*> names) {
  std::vector<Ev> out;
  for (const char* n : names) {
    out.emplace_back("open_write", std::string("@/") + n);
    out.emplace_back("write", std::string("@/") + n);
  }
  return out;
}
std::vector<Ev> operator+(std::vector<Ev> a, const std::vector<Ev>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PreloadWrapperFamilies,
    testing::Values(
        FamilyCase{"streams",
                   created({"r.txt"}) + std::vector<Ev>{
                       {"open_read", "@/r.txt"},                             // "r"
                       {"open_write", "@/w.txt"},                            // fopen64 "w"
                       {"open_write", "@/a.txt"},                            // "ae"
                       {"open_write", "@/rp.txt"},                           // "w+x" truncates
                       {"open_read", "@/r.txt"}, {"open_write", "@/r.txt"},  // "r+m"
                       {"open_read", "@/r.txt"},                             // "rce"
                       {"open_read", "@/w.txt"},                             // freopen "r"
                       {"open_write", "@/w.txt"},  // freopen64 of its own file, "a"
                   }},
        FamilyCase{"fortified",
                   created({"f1", "f2", "f3", "f4", "f5", "f6", "f7"}) + std::vector<Ev>{
                       {"open_read", "@/f1"}, {"read", "@/f1"},  // __open_2, __read_chk
                       {"open_write", "@/f2"},                   // __open64_2
                       {"open_read", "@/f3"}, {"read", "@/f3"},  // __openat_2, __pread_chk
                       {"open_read", "@"},
                       {"open_read", "@/f4"}, {"read", "@/f4"},  // __openat64_2, __pread64_chk
                       {"open_read", "@/f5"}, {"read", "@/f5"},  // __fread_chk
                       {"open_read", "@/f6"}, {"read", "@/f6"},  // __fread_unlocked_chk
                   }},
        FamilyCase{"sixty_four",
                   created({"p1", "p2", "p3", "p4", "w1", "w2", "w3", "w4", "m", "src"}) +
                       std::vector<Ev>{
                           {"open_read", "@/p1"}, {"read", "@/p1"},     // preadv
                           {"open_read", "@/p2"}, {"read", "@/p2"},     // preadv64
                           {"open_read", "@/p3"}, {"read", "@/p3"},     // preadv2
                           {"open_read", "@/p4"}, {"read", "@/p4"},     // preadv64v2
                           {"open_write", "@/w1"}, {"write", "@/w1"},   // pwritev
                           {"open_write", "@/w2"}, {"write", "@/w2"},   // pwritev64
                           {"open_write", "@/w3"}, {"write", "@/w3"},   // pwritev2
                           {"open_write", "@/w4"}, {"write", "@/w4"},   // pwritev64v2,
                                                                        // then ftruncate64
                           {"open_read", "@/m"}, {"read", "@/m"},       // mmap64
                           {"open_write", "@/c64"}, {"write", "@/c64"}, // creat64, truncate64
                           {"open_read", "@/src"}, {"open_write", "@/copy"},
                           {"read", "@/src"}, {"write", "@/copy"},      // copy_file_range
                           {"open_write", "@/sent"}, {"write", "@/sent"},  // sendfile64 (its
                                                                           // input sent before)
                           {"open_read", "@/src"}, {"read", "@/src"},   // fread_unlocked
                           {"open_write", "@/copy"}, {"write", "@/copy"},  // fwrite_unlocked
                       }},
        FamilyCase{"temporaries",
                   {{"open_read", "$1"}, {"open_write", "$1"},  // mkstemp
                    {"open_read", "$2"}, {"open_write", "$2"},  // mkostemp
                    {"open_read", "$3"}, {"open_write", "$3"},  // mkstemps
                    {"open_read", "$4"}, {"open_write", "$4"},  // mkostemps64
                    {"open_read", "$5"}, {"open_write", "$5"}}},  // mkstemp64; tmpfile: none
        FamilyCase{"directories",
                   {{"write", "@/listed"}, {"write", "@/by_fd"},      // made
                    {"open_read", "@/listed"},                         // opendir
                    {"open_read", "@/by_fd"}, {"read", "@/by_fd"}}},  // fdopendir
        FamilyCase{"renames",
                   std::vector<Ev>{{"write", "@/sub"}} + created({"sub/a"}) + std::vector<Ev>{
                       {"rename", "@/sub/a -> @/b"},               // rename: both names
                       {"open_read", "@"},
                       {"rename", "@/b -> @/sub/c"},               // renameat2
                       {"open_write", "@/x"}, {"write", "@/x"},
                       {"exchange", "@/x -> @/sub/c"},             // RENAME_EXCHANGE
                       {"rename", "@/x -> @/y"},                   // RENAME_NOREPLACE; two
                                                                   // that failed: nothing
                       {"rename", "@/y -> @/x"},
                       {"write", "@/ln"},                          // symlink
                       {"write", "@/sub/ln2"},                     // symlinkat
                       {"write", "@/ln"},                          // unlink of the link itself
                       {"open_read", "@/sub/c"}, {"open_write", "@/sub/c"},
                       {"write", "@/sub/c"},                       // unlink
                       {"write", "@/sub/c"},  // a write after the unlink: no " (deleted)"
                   }},
        FamilyCase{"made_and_removed",
                   {{"write", "@/d"},                          // mkdir
                    {"open_read", "@"}, {"write", "@/d/e"},   // mkdirat; a failed mkdir
                    {"write", "@/d/e"},                        // rmdir
                    {"write", "@/d"},                          // remove of a directory
                    {"open_write", "@/f"}, {"write", "@/f"},
                    {"write", "@/f"}}}),                       // remove of a file
    ByName());

TEST_F(PreloadWrappers, FtruncateIsAWrite) {
  TracedRun run = calls("ftruncate");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(kinds_for(run, in_dir("t.txt")), (Kinds{"open_read", "open_write", "write"}));
}

TEST_F(PreloadWrappers, FailedCallsSendNothingAndKeepTheirErrno) {
  TracedRun run = calls("failures");
  EXPECT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_TRUE(run.events.empty()) << describe(run);
  EXPECT_EQ(run.connections, 1) << "only the one that told which program runs";
}

TEST_F(PreloadWrappers, EndOfFileAndPipeReadsSendNothing) {
  TracedRun run = calls("quiet_reads");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(kinds_for(run, in_dir("empty.txt")), (Kinds{"open_write", "open_read"}));
  EXPECT_EQ(kinds_for(run, "/dev/zero"), (Kinds{"open_read", "read"}));
  EXPECT_EQ(run.events.size(), 4u) << describe(run);
}

TEST_F(PreloadWrappers, SuccessfulCallsLeaveErrnoAlone) {
  TracedRun run = calls("errno");
  EXPECT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(kinds_for(run, in_dir("e.txt")), (Kinds{"open_write", "write", "open_read"}));
}

TEST_F(PreloadWrappers, ProgramThatClearsItsEnvironmentIsStillTraced) {
  TracedRun run = calls("clearenv");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(kinds_for(run, in_dir("after_clearenv.txt")), (Kinds{"open_write", "write"}));
}

TEST_F(PreloadWrappers, WritesFromASignalHandlerDoNotDeadlock) {
  TracedRun run = calls("signal_write");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  int handled = std::atoi(run.out.c_str());
  ASSERT_GT(handled, 0);
  Kinds handler = kinds_for(run, in_dir("handler.txt"));
  ASSERT_FALSE(handler.empty());
  EXPECT_EQ(handler.front(), "open_write");
  // A handler that runs while the main flow is reporting stays quiet; the others report.
  EXPECT_LE(handler.size() - 1, static_cast<size_t>(handled));
  EXPECT_GE(kinds_for(run, in_dir("main.txt")).size(), 2u);
}

// The parent's threads on connections of their own, or all on the process's shared one (a
// descriptor limit of 12; the main thread keeps the connection it made before): either way a child, forked while they send, reports on a connection
// of its own and never waits for a lock its parent's threads held.
struct ForkThreadsCase {
  std::string name;
  std::string how;
  size_t parent_connections;
};

void PrintTo(const ForkThreadsCase& c, std::ostream* os) { *os << c.name; }

class PreloadForkThreads : public PreloadWrappers,
                           public testing::WithParamInterface<ForkThreadsCase> {};

TEST_P(PreloadForkThreads, ChildrenReportOnTheirOwnConnection) {
  TracedRun run = calls("fork_threads", GetParam().how);
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  std::set<uint32_t> children;
  std::istringstream out(run.out);
  for (uint32_t pid; out >> pid;) children.insert(pid);
  ASSERT_EQ(children.size(), 5u) << run.out;

  std::map<int, std::set<uint32_t>> pids_by_connection;
  std::set<uint32_t> reporting_children;
  for (const WireEvent& e : run.events) {
    pids_by_connection[e.connection].insert(e.pid);
    if (e.path == in_dir("child.txt")) {
      EXPECT_EQ(children.count(e.pid), 1u) << e.pid;
      reporting_children.insert(e.pid);
    }
  }
  EXPECT_EQ(reporting_children, children);
  size_t parent_connections = 0;
  for (const auto& [connection, pids] : pids_by_connection) {
    EXPECT_EQ(pids.size(), 1u) << "connection " << connection << " carried several processes";
    parent_connections += !children.contains(*pids.begin());
  }
  EXPECT_EQ(parent_connections, GetParam().parent_connections);
}

INSTANTIATE_TEST_SUITE_P(Rows, PreloadForkThreads,
                         testing::Values(ForkThreadsCase{"OwnConnections", "", 4},
                                         ForkThreadsCase{"SharedConnection", "shared", 2}),
                         ByName());

TEST_F(PreloadWrappers, VforkChildReportsAsItselfOnItsOwnConnection) {
  TracedRun run = calls("vfork");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  auto child = static_cast<uint32_t>(std::atoi(run.out.c_str()));
  ASSERT_GT(child, 0u);
  std::map<int, std::set<uint32_t>> pids_by_connection;
  std::set<uint32_t> child_file_pids, parent_file_pids;
  for (const WireEvent& e : run.events) {
    pids_by_connection[e.connection].insert(e.pid);
    if (e.path == in_dir("vchild.txt")) child_file_pids.insert(e.pid);
    if (e.path == in_dir("vparent.txt")) parent_file_pids.insert(e.pid);
  }
  EXPECT_EQ(kinds_for(run, in_dir("vchild.txt")), (Kinds{"open_write", "write"}));
  // The child's write on the parent's descriptor is its own; the parent's last write goes out
  // again, as the child, sharing the parent's memory, replaced what the parent had sent.
  std::vector<std::pair<std::string, bool>> parent_file;  // kind, sent by the child
  for (const WireEvent& e : run.events)
    if (e.path == in_dir("vparent.txt")) parent_file.emplace_back(e.kind, e.pid == child);
  // Connections are read one after another, so only the events themselves are compared.
  std::vector<std::pair<std::string, bool>> expected = {
      {"open_write", false}, {"write", false}, {"write", false}, {"write", true}};
  std::sort(parent_file.begin(), parent_file.end());
  EXPECT_EQ(parent_file, expected) << describe(run);
  // The child's connection stays the child's: the parent has as many descriptors after the
  // child as before it.
  int pid = 0, before = -1, after = -2;
  ASSERT_EQ(std::sscanf(run.out.c_str(), "%d %d %d", &pid, &before, &after), 3) << run.out;
  EXPECT_EQ(before, after);
  EXPECT_EQ(child_file_pids, std::set<uint32_t>{child});
  parent_file_pids.erase(child);
  ASSERT_EQ(parent_file_pids.size(), 1u);
  for (const auto& [connection, pids] : pids_by_connection)
    EXPECT_EQ(pids.size(), 1u) << "connection " << connection << " carried several processes";
}

TEST_F(PreloadWrappers, MapsMadeAtTheSameMomentInOtherThreadsAreAllReported) {
  TracedRun run = calls("threads_mmap");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  std::set<std::string> mapped;
  for (const WireEvent& e : run.events)
    if (e.kind == "read" && e.path.find("/map-") != std::string::npos) mapped.insert(e.path);
  EXPECT_EQ(mapped.size(), 160u) << describe(run);
}

TEST_F(PreloadWrappers, EightThreadsReadingOneFileGiveEightThreadIds) {
  TracedRun run = calls("threads");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  std::set<uint32_t> threads;
  std::set<int> connections;
  for (const WireEvent& e : run.events) {
    if (e.path == in_dir("shared.txt") && e.kind == "read") {
      threads.insert(e.thread_id);
      connections.insert(e.connection);
      EXPECT_NE(e.thread_id, e.pid);
    }
  }
  EXPECT_EQ(threads.size(), 8u) << describe(run);
  EXPECT_EQ(connections.size(), 8u);
}

TEST_F(PreloadWrappers, ThreadWithTheSmallestStackReportsSafely) {
  TracedRun run = calls("small_stack");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(kinds_for(run, in_dir("small_stack.txt")), (Kinds{"open_write", "write"}));
}

// Harm cases: the traced program behaves as untraced, and its files are reported.
TEST_F(PreloadWrappers, NoFrameReachesASocketTheProgramPutOnAConnection) {
  TracedRun run = calls("socket_over_connection");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  int taken = -1;
  long stray = -1;
  ASSERT_EQ(std::sscanf(run.out.c_str(), "%d %ld", &taken, &stray), 2) << run.out;
  ASSERT_GE(taken, 1) << "no connection was open";
  EXPECT_EQ(stray, 0) << "frames went into the program's socket";
  EXPECT_EQ(kinds_for(run, in_dir("second.txt")), (Kinds{"open_write", "write"}));
  EXPECT_EQ(kinds_for(run, in_dir("third.txt")), (Kinds{"open_write", "write"}));
}

// Entered through prctl, or through the seccomp system call by syscall().
class PreloadStrictSeccomp : public PreloadWrappers,
                             public testing::WithParamInterface<std::string> {};

TEST_P(PreloadStrictSeccomp, SilencesTheThread) {
  TracedRun run = calls("strict_seccomp", GetParam());
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(run.out, "done\n");
  EXPECT_EQ(read_file(dir_ / "strict.txt"), "s");
  EXPECT_EQ(kinds_for(run, in_dir("strict.txt")), (Kinds{"open_write"}));
}

INSTANTIATE_TEST_SUITE_P(Ways, PreloadStrictSeccomp, testing::Values("prctl", "syscall"),
                         ByText());

TEST_F(PreloadWrappers, ReportingFitsTheSmallestThreadStackAndAnAlternateSignalStack) {
  TracedRun run = calls("small_stacks");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(kinds_for(run, in_dir("x.txt")), (Kinds{"open_write", "write"}));
  EXPECT_EQ(kinds_for(run, in_dir("rel_alt.txt")), (Kinds{"open_write", "write"}));
  EXPECT_EQ(kinds_for(run, in_dir("at_alt.txt")), (Kinds{"open_write", "write"}));
}

TEST_F(PreloadWrappers, EndedThreadsGiveTheirConnectionsBack) {
  TracedRun run = calls("thread_churn");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  // Only the main thread's connection (from its open) is still there at the end, and no
  // ended thread left its block of path buffers mapped.
  EXPECT_EQ(run.out, "1 0\n");
  std::set<uint32_t> writers;
  for (const WireEvent& e : run.events)
    if (e.kind == "write") writers.insert(e.thread_id);
  EXPECT_EQ(writers.size(), 51u);
}

// Its only socket is the connection it made for its own report.
TEST_F(PreloadWrappers, ForkChildKeepsNoCopyOfItsParentsThreadConnections) {
  TracedRun run = calls("fork_copies");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(run.out, "1\n");
}

TEST_F(PreloadWrappers, VforkChildrenThatExecLeaveNoPagesInTheirParent) {
  TracedRun run = calls("vfork_exec");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(run.out, "0\n");
}

TEST_F(PreloadWrappers, ProgramThatTakesOverOurDescriptorsKeepsItsDataAndWeReconnect) {
  TracedRun run = calls("steal_socket");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  int taken = std::atoi(run.out.c_str());
  ASSERT_GE(taken, 1) << "no connection was open";
  std::string expected;
  for (int i = 0; i < taken; ++i) expected += "mine\n";
  EXPECT_EQ(read_file(dir_ / "victim.txt"), expected);
  EXPECT_EQ(kinds_for(run, in_dir("second.txt")), (Kinds{"open_write", "write"}));
  EXPECT_EQ(kinds_for(run, in_dir("third.txt")), (Kinds{"open_write", "write"}));
  EXPECT_GE(run.connections, 3);
}

TEST_F(PreloadWrappers, ShellRedirectionsOntoSmallNumbersLoseNoData) {
  TraceOptions options;
  options.cwd = dir_.path();
  TracedRun run = run_traced(
      {"/bin/sh", "-c",
       "exec 3>three.txt; echo one >&3; exec 4>four.txt; echo two >&4; exec 3>&-; "
       "echo three >>four.txt; exec 5>five.txt 6>six.txt 7>seven.txt; echo five >&5; "
       "echo six >&6; echo seven >&7; cat three.txt four.txt"},
      options);
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(run.out, "one\ntwo\nthree\n");
  EXPECT_EQ(read_file(dir_ / "three.txt"), "one\n");
  EXPECT_EQ(read_file(dir_ / "four.txt"), "two\nthree\n");
  EXPECT_EQ(read_file(dir_ / "five.txt"), "five\n");
  EXPECT_EQ(read_file(dir_ / "six.txt"), "six\n");
  EXPECT_EQ(read_file(dir_ / "seven.txt"), "seven\n");
  EXPECT_EQ(run.undecodable, 0);
  // A statically linked shell (busybox on small systems) never loads the library.
  if (read_file("/bin/sh").find("/ld-linux") == std::string::npos) return;
  Kinds three = kinds_for(run, in_dir("three.txt"));
  ASSERT_FALSE(three.empty()) << describe(run);
  EXPECT_EQ(three.front(), "open_write");
}

struct GoneCase {
  const char* name;
  Listener listener;
  bool missing_socket;
};

void PrintTo(const GoneCase& c, std::ostream* os) { *os << c.name; }

class PreloadWrappersLauncherGone : public PreloadWrappers,
                                    public testing::WithParamInterface<GoneCase> {};

TEST_P(PreloadWrappersLauncherGone, ProgramRunsOnWithoutSigpipe) {
  TraceOptions options;
  options.listener = GetParam().listener;
  if (GetParam().missing_socket) options.socket_env = dir_ / "nobody-listens.sock";
  TracedRun run = calls("many_writes", "", options);
  EXPECT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(read_file(dir_ / "many.txt"), std::string(200, 'w'));
  EXPECT_TRUE(run.events.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PreloadWrappersLauncherGone,
    testing::Values(GoneCase{"hangs_up", Listener::HangUp, false},
                    GoneCase{"no_socket_file", Listener::Collect, true}),
    [](const testing::TestParamInfo<GoneCase>& info) { return std::string(info.param.name); });

// The launcher stops reading the thread's connection: the next frame fails with EPIPE and
// goes out whole on a new connection. Every frame arrives exactly once on one of the two.
TEST_F(PreloadWrappers, BrokenConnectionIsReplacedOnce) {
  TraceOptions options;
  options.listener = Listener::StopReadingFirst;
  TracedRun run = calls("many_writes", "", options);
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(run.connections, 2);
  Kinds kinds = kinds_for(run, in_dir("many.txt"));
  Kinds expected;  // reopened for each write, so that each write sends a frame
  for (int i = 0; i < 200; ++i) expected.insert(expected.end(), {"open_write", "write"});
  EXPECT_EQ(kinds, expected);
  EXPECT_EQ(kinds.size(), run.events.size()) << describe(run);
  EXPECT_EQ(read_file(dir_ / "many.txt"), std::string(200, 'w'));
}

// ---- repeated transfers ----
// A thread sends Read or Write once per file and descriptor; repeats cannot change the report.

struct RepeatCase {
  const char* name;
  const char* scenario;
  // (kind, path) of every event in order; "@x" stands for x in the scratch directory, "@" for
  // the directory itself.
  std::vector<std::pair<std::string, std::string>> events;
};

void PrintTo(const RepeatCase& c, std::ostream* os) { *os << c.name; }

class PreloadWrappersRepeats : public PreloadWrappers,
                               public testing::WithParamInterface<RepeatCase> {};

TEST_P(PreloadWrappersRepeats, SendWhatTheReportCanUseOnly) {
  const RepeatCase& c = GetParam();
  TracedRun run = calls(c.scenario, real_ + "/link.txt");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  std::vector<std::pair<std::string, std::string>> expected;
  auto expand = [&](const std::string& path) {
    if (path.empty() || path[0] != '@') return path;
    return path == "@" ? real_ : in_dir(path.substr(1));
  };
  for (const auto& [kind, path] : c.events) {
    size_t arrow = path.find(" -> ");
    if (arrow == std::string::npos)
      expected.emplace_back(kind, expand(path));
    else
      expected.emplace_back(kind, expand(path.substr(0, arrow)) + " -> " +
                                      expand(path.substr(arrow + 4)));
  }
  std::vector<std::pair<std::string, std::string>> got;
  for (const WireEvent& e : run.events) got.push_back(kind_and_path(e));
  EXPECT_EQ(got, expected) << describe(run);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PreloadWrappersRepeats,
    testing::Values(
        RepeatCase{"thousand_reads_one_frame", "repeat_reads",
                   {{"open_write", "@r.txt"}, {"write", "@r.txt"},  // creating it
                    {"open_read", "@r.txt"}, {"read", "@r.txt"}}},
        // Read and Write are kept apart; a shared mapping after both adds nothing.
        RepeatCase{"read_and_write_each_once", "read_then_write",
                   {{"open_write", "@rw.txt"}, {"write", "@rw.txt"},
                    {"open_read", "@rw.txt"}, {"open_write", "@rw.txt"},
                    {"read", "@rw.txt"}, {"write", "@rw.txt"}}},
        RepeatCase{"reused_number_reports_the_new_file", "reopen_number",
                   {{"open_write", "@one.txt"}, {"write", "@one.txt"},
                    {"open_write", "@two.txt"}, {"write", "@two.txt"},
                    {"open_read", "@one.txt"}, {"read", "@one.txt"},
                    {"open_read", "@two.txt"}, {"read", "@two.txt"}}},
        // Same inode, same number: only the open tells the two apart.
        RepeatCase{"reused_number_same_inode_other_name", "reopen_hardlink",
                   {{"open_write", "@first_name"}, {"write", "@first_name"},
                    {"write", "@second_name"},
                    {"open_read", "@first_name"}, {"read", "@first_name"},
                    {"open_read", "@second_name"}, {"read", "@second_name"}}},
        RepeatCase{"streams_reopened_on_the_same_number", "stream_hardlink",
                   {{"open_write", "@s_first"}, {"write", "@s_first"},
                    {"write", "@s_second"},
                    {"open_read", "@s_first"}, {"read", "@s_first"},
                    {"open_read", "@s_second"}, {"read", "@s_second"}}},
        RepeatCase{"number_freed_and_filled_past_the_open_wrappers", "reuse_after_close",
                   {{"open_write", "@a.txt"}, {"write", "@a.txt"},
                    {"open_write", "@b.txt"}, {"write", "@b.txt"},
                    {"open_write", "@c.txt"}, {"write", "@c.txt"},
                    {"open_read", "@a.txt"}, {"open_read", "@b.txt"},
                    {"open_read", "@c.txt"}, {"read", "@c.txt"},
                    {"read", "@a.txt"},  // after close
                    {"read", "@b.txt"},  // after close_range
                    {"read", "@a.txt"},  // after dup2
                    {"open_read", "@c.txt"}, {"read", "@c.txt"},
                    {"read", "@b.txt"},    // after fclose
                    {"read", "@a.txt"}}},  // after syscall(SYS_close)
        RepeatCase{"rename_in_this_process_then_read", "rename_then_read",
                   {{"open_write", "@old_name"}, {"write", "@old_name"},
                    {"open_read", "@old_name"}, {"read", "@old_name"},
                    {"rename", "@old_name -> @new_name"}, {"read", "@new_name"}}},
        // Transfers name the file the kernel opened, never the link the open went through.
        RepeatCase{"opened_through_a_link_read_as_its_target", "symlink_reads",
                   {{"open_write", "@target.txt"}, {"write", "@target.txt"},
                    {"write", "@link.txt"},  // the symlink made
                    {"open_read", "@link.txt"}, {"read", "@target.txt"},
                    {"open_read", "@"},
                    {"open_read", "@link.txt"}, {"read", "@target.txt"},
                    // Opened by name under a directory descriptor: the open stands for the
                    // thread's first read, which sends nothing.
                    {"open_read", "@target.txt"}}}),
    [](const testing::TestParamInfo<RepeatCase>& info) { return std::string(info.param.name); });

TEST_F(PreloadWrappers, EachThreadSendsItsOwnReadOnce) {
  TracedRun run = calls("two_threads");
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  std::vector<uint32_t> reading_threads;
  uint32_t pid = 0;
  for (const WireEvent& e : run.events) {
    if (e.path != in_dir("two_threads.txt") || e.kind != "read") continue;
    reading_threads.push_back(e.thread_id);
    pid = e.pid;
  }
  ASSERT_EQ(reading_threads.size(), 2u) << describe(run);
  EXPECT_EQ(reading_threads[0], pid) << "the main thread reads first";
  EXPECT_NE(reading_threads[1], pid);
}

// However the child was made: with or without the at-fork handlers, or on its parent's memory.
struct InheritingChildCase {
  const char* name;
  const char* how;          // the fixture's way of making the child
  bool parent_sends_again;  // the child shared the parent's memory and replaced its table
};

void PrintTo(const InheritingChildCase& c, std::ostream* os) { *os << c.name; }

using KindsByChild = std::vector<std::pair<std::string, bool>>;  // kind, sent by the child

class PreloadInheritingChild : public PreloadWrappers,
                               public testing::WithParamInterface<InheritingChildCase> {
 protected:
  // Runs scenario with the child made the row's way; its events on inherited.txt, sorted:
  // connections are read one after another, so only the events themselves are compared.
  KindsByChild inherited_events(const char* scenario) {
    run_ = calls(scenario, GetParam().how);
    const auto child = static_cast<uint32_t>(std::atoi(run_.out.c_str()));
    KindsByChild got;
    for (const WireEvent& e : run_.events)
      if (e.path == in_dir("inherited.txt")) got.emplace_back(e.kind, e.pid == child);
    std::sort(got.begin(), got.end());
    return got;
  }
  TracedRun run_;
};

TEST_P(PreloadInheritingChild, ForkedChildSendsItsOwnReadOfAnInheritedDescriptor) {
  const KindsByChild got = inherited_events("fork_inherited");
  ASSERT_EQ(run_.exit_status, 0) << describe(run_);
  ASSERT_GT(std::atoi(run_.out.c_str()), 0);
  KindsByChild expected = {
      {"open_write", false}, {"write", false},  // creating it
      {"open_read", false},  {"read", false},   // the parent, before the child
      {"read", true}};                          // the child, once; the parent's repeat: nothing
  if (GetParam().parent_sends_again) expected.emplace_back("read", false);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(got, expected) << describe(run_);
}

// The parent's first look at its pid comes after its child's, which must not leave its own
// pid for the parent: each sends its own read.
TEST_P(PreloadInheritingChild, ChildLooksAtItsPidBeforeItsParent) {
  const KindsByChild got = inherited_events("fork_before_first_read");
  ASSERT_EQ(run_.exit_status, 0) << describe(run_);
  ASSERT_GT(std::atoi(run_.out.c_str()), 0);
  EXPECT_EQ(got, (KindsByChild{{"read", false}, {"read", true}})) << describe(run_);
}

INSTANTIATE_TEST_SUITE_P(Ways, PreloadInheritingChild,
                         testing::Values(InheritingChildCase{"Fork", "fork", false},
                                         InheritingChildCase{"ForkWithoutHandlers", "_Fork", false},
                                         InheritingChildCase{"RawCloneSystemCall", "raw", false},
                                         InheritingChildCase{"VforkOnTheParentsMemory",
                                                             "vfork", true},
                                         InheritingChildCase{"CloneOnTheParentsMemory",
                                                             "clone_vm", true}),
                         ByName());

struct SocketVariableCase {
  const char* name;
  bool unset;
  std::string value;  // empty: our listener's path
  std::string sockets_seen;  // "<sockets> <below 100>" as the fixture prints it
};

void PrintTo(const SocketVariableCase& c, std::ostream* os) { *os << c.name; }

class PreloadWrappersSocketVariable : public PreloadWrappers,
                                      public testing::WithParamInterface<SocketVariableCase> {};

// Without a usable DREL_PRELOAD_TRACE_SOCK no socket is ever created; with one, the single
// connection sits at a high descriptor number.
TEST_P(PreloadWrappersSocketVariable, DecidesWhetherAConnectionIsMade) {
  const SocketVariableCase& c = GetParam();
  TraceOptions options;
  options.unset_socket = c.unset;
  if (!c.value.empty()) options.socket_env = c.value;
  TracedRun run = calls("count_sockets", "", options);
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(run.out, c.sockets_seen);
  EXPECT_EQ(read_file(dir_ / "x.txt"), "x");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PreloadWrappersSocketVariable,
    testing::Values(SocketVariableCase{"set", false, "", "1 0\n"},
                    SocketVariableCase{"unset", true, "", "0 0\n"},
                    SocketVariableCase{"not_utf8", false, "/tmp/\xff\xfe.sock", "0 0\n"},
                    SocketVariableCase{"too_long", false, "/tmp/" + std::string(110, 's'),
                                       "0 0\n"}),
    [](const testing::TestParamInfo<SocketVariableCase>& info) {
      return std::string(info.param.name);
    });

// The one list of wrapped functions the library is built from.
const std::set<std::string> kWrapped = {
#define DREL_WRAPPED_NAME(name, fallback) #name,
    DREL_WRAPPED_FUNCTIONS(DREL_WRAPPED_NAME)
#undef DREL_WRAPPED_NAME
};

// Every listed function is defined by the library itself, and nothing else is exported: a row
// without a wrapper, or a wrapper the list (and so the dynamic list) misses, fails here.
TEST(PreloadLibrary, ExportsTheListedWrappersAndNothingElse) {
  ASSERT_GE(kWrapped.size(), 29u);
  void* lib = dlopen(preload_library_path().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const std::string& name : kWrapped) {
    void* ours = dlsym(lib, name.c_str());
    EXPECT_NE(ours, nullptr) << name;
    EXPECT_NE(ours, dlsym(RTLD_DEFAULT, name.c_str())) << name << " is the C library's own";
  }
  dlclose(lib);

  if (access("/usr/bin/nm", X_OK) != 0) return;  // the full list needs nm
  RunResult r = run_program({"nm", "-D", "--defined-only", preload_library_path()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  std::set<std::string> exported;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string address, type, name;
    if (words >> address >> type >> name) exported.insert(name);
  }
  EXPECT_EQ(exported, kWrapped);
}

// Each build of the library: the native one, and its i386 twin where this build has one.
struct LibraryBuild {
  std::string name;
  std::string path;  // under the build's bin/, empty when not built
};

void PrintTo(const LibraryBuild& b, std::ostream* os) { *os << b.name; }

// One program header as readelf -lW lists it.
struct Segment {
  unsigned long filesz;
  unsigned long memsz;
  std::string flags;  // "R", "RW", "R E"
  std::string line;
};

class PreloadLibraryBuild : public ::testing::TestWithParam<LibraryBuild> {
 protected:
  std::string library() { return bin_path(GetParam().path); }
  // The library's program headers of the given type; listing receives readelf's output.
  std::vector<Segment> segments(const std::string& type, std::string& listing) {
    std::vector<Segment> out;
    RunResult r = run_program({"readelf", "-lW", library()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    listing = r.out;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      std::string name, offset, vaddr, paddr, filesz, memsz;
      if (!(words >> name >> offset >> vaddr >> paddr >> filesz >> memsz) || name != type)
        continue;
      std::vector<std::string> rest;
      for (std::string w; words >> w;) rest.push_back(w);
      std::string flags;
      for (size_t i = 0; i + 1 < rest.size(); ++i) flags += (flags.empty() ? "" : " ") + rest[i];
      out.push_back({std::stoul(filesz, nullptr, 16), std::stoul(memsz, nullptr, 16), flags, line});
    }
    return out;
  }
  void SetUp() override {
    if (GetParam().path.empty()) GTEST_SKIP() << "no " << GetParam().name << " build here";
  }
};

INSTANTIATE_TEST_SUITE_P(
    Builds, PreloadLibraryBuild,
    ::testing::Values(LibraryBuild{"Native", "libdrel_tracer_preload.so"},
                      LibraryBuild{"I386", std::string(DREL_I386_LIB_DIR).empty()
                                               ? std::string()
                                               : std::string(DREL_I386_LIB_DIR) +
                                                     "/libdrel_tracer_preload.so"}),
    [](const auto& info) { return info.param.name; });

// What the library may take from its host: no allocator, no C++ runtime, no locks beyond the
// one-time thread keys, and neither the C library's socket calls nor its close: cancellation
// points, which could end a thread half-way through a frame.
TEST_P(PreloadLibraryBuild, UndefinedSymbolsStayWithinTheAllowList) {
  if (access("/usr/bin/nm", X_OK) != 0) GTEST_SKIP() << "nm is not installed";
  const std::set<std::string> allowed = {
      "_ITM_deregisterTMCloneTable", "_ITM_registerTMCloneTable", "__cxa_finalize", "__environ",
      "__errno_location", "__gmon_start__", "__register_atfork", "clock_gettime", "dirfd",
      "dladdr", "dladdr1", "dlsym", "environ", "fileno", "fstat", "getauxval", "getcwd",
      "getpid", "getppid", "getrlimit", "memcmp", "memcpy", "memmove", "pthread_key_create",
      "pthread_setspecific", "readlink", "strchr", "strcmp", "strcspn", "strlen", "strncmp",
      "strrchr", "syscall"};
  RunResult r = run_program({"nm", "-D", "--undefined-only", library()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  std::istringstream lines(r.out);
  int seen = 0;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string type, name;
    if (!(words >> type >> name)) continue;
    name = name.substr(0, name.find('@'));
    ++seen;
    EXPECT_TRUE(allowed.contains(name)) << name << " is not on the allow-list";
  }
  EXPECT_GT(seen, 0) << r.out;
}

// glibc takes every thread's static TLS out of the thread's own stack: the library keeps only
// small per-thread values there, its buffers and tables are in a block of their own.
TEST_P(PreloadLibraryBuild, StaticThreadLocalStorageStaysSmall) {
  if (access("/usr/bin/readelf", X_OK) != 0) GTEST_SKIP() << "readelf is not installed";
  std::string listing;
  std::vector<Segment> tls = segments("TLS", listing);
  ASSERT_EQ(tls.size(), 1u) << listing;
  EXPECT_LE(tls[0].memsz, 256u) << tls[0].line;
}

// Every process maps the library's writable segment: what the file holds of it is copied page
// by page as the process touches it, so the library's tables start out zero (in bss) instead.
TEST_P(PreloadLibraryBuild, WritableSegmentHoldsLittleOfTheFile) {
  if (access("/usr/bin/readelf", X_OK) != 0) GTEST_SKIP() << "readelf is not installed";
  std::string listing;
  int writable = 0;
  for (const Segment& load : segments("LOAD", listing)) {
    if (load.flags.find('W') == std::string::npos) continue;
    ++writable;
    EXPECT_LE(load.filesz, 4096u) << load.line;
  }
  EXPECT_EQ(writable, 1) << listing;
}

TEST_P(PreloadLibraryBuild, NeedsOnlyTheCLibraryAndTheLoader) {
  if (access("/usr/bin/ldd", X_OK) != 0 && access("/bin/ldd", X_OK) != 0)
    GTEST_SKIP() << "ldd is not installed";
  RunResult r = run_program({"ldd", library()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  std::istringstream lines(r.out);
  int libc = 0;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string name;
    words >> name;
    if (name.empty()) continue;
    // The vDSO is linux-gate on i386.
    bool allowed = name.rfind("linux-vdso", 0) == 0 || name.rfind("linux-gate", 0) == 0 ||
                   name.rfind("libc.so", 0) == 0 ||
                   name.find("ld-linux") != std::string::npos;
    EXPECT_TRUE(allowed) << line;
    if (name.rfind("libc.so", 0) == 0) ++libc;
  }
  EXPECT_EQ(libc, 1) << r.out;
}

}  // namespace
}  // namespace drel::test
