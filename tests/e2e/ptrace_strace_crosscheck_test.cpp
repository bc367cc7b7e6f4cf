// Both tracers against strace on the same workloads: every regular file strace saw opened is in
// opened_files, every one it saw read is in read_files, every one it saw written in
// written_files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <string_view>
#include <vector>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "common/report.h"
#include "common/report_reader.h"
#include "support/process_runner.h"

namespace drel {
namespace {

constexpr const char* kTree = "/usr/include/linux";

std::string find_in_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/bin:/usr/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

bool is_regular(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

// What an strace log (-f -y) says was opened and read successfully, as the tracer names paths:
// an absolute argument as written, a relative one as the kernel resolved it.
struct StraceView {
  std::set<std::string> opened;
  std::set<std::string> read;
};

// "<text>" of "...<text>" at the end of a result, or "".
std::string annotation(const std::string& rest) {
  const auto open = rest.find('<');
  const auto close = rest.rfind('>');
  if (open == std::string::npos || close == std::string::npos || close < open) return {};
  return rest.substr(open + 1, close - open - 1);
}

// The first quoted string of an argument list.
std::string first_quoted(const std::string& args) {
  const auto open = args.find('"');
  if (open == std::string::npos) return {};
  const auto close = args.find('"', open + 1);
  return close == std::string::npos ? std::string() : args.substr(open + 1, close - open - 1);
}

// One finished call of an strace -f log: "<pid> <name>(<args>) = <result>[<rest>]", an
// unfinished call joined with its resumption.
struct StraceCall {
  long pid = 0;
  std::string name;
  std::string args;
  std::string rest;  // after " = "
  long result = 0;
  std::string line;
};

template <typename Fn>
void for_each_call(const std::string& log, Fn fn) {
  std::map<long, std::string> unfinished;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    StraceCall c;
    fields >> c.pid;
    std::string call;
    std::getline(fields >> std::ws, call);
    if (const auto u = call.find(" <unfinished ...>"); u != std::string::npos) {
      unfinished[c.pid] = call.substr(0, u);
      continue;
    }
    if (call.rfind("<... ", 0) == 0) {
      const auto resumed = call.find("resumed>");
      if (resumed == std::string::npos) continue;
      call = unfinished[c.pid] + call.substr(resumed + 8);
      unfinished.erase(c.pid);
    }
    // strace pads short calls with spaces before " = ".
    const auto paren = call.find('(');
    const auto eq = call.rfind(" = ");
    if (paren == std::string::npos || eq == std::string::npos) continue;
    auto close = eq;
    while (close > paren && call[close - 1] == ' ') --close;
    if (close == paren || call[close - 1] != ')') continue;
    c.name = call.substr(0, paren);
    c.args = call.substr(paren + 1, close - 1 - paren - 1);
    c.rest = call.substr(eq + 3);
    c.result = std::strtol(c.rest.c_str(), nullptr, 10);
    c.line = line;
    fn(c);
  }
}

StraceView parse_strace(const std::string& log) {
  StraceView view;
  std::map<std::pair<long, long>, std::string> fds;  // (pid, fd) -> path
  for_each_call(log, [&](const StraceCall& c) {
    const long pid = c.pid;
    const std::string& name = c.name;
    const std::string& args = c.args;
    const std::string& rest = c.rest;
    const long result = c.result;
    if (result < 0) return;
    if (name == "openat" || name == "open") {
      const std::string arg = first_quoted(args);
      const std::string path = !arg.empty() && arg[0] == '/' ? arg : annotation(rest);
      fds[{pid, result}] = path;
      if (is_regular(path)) view.opened.insert(path);
    } else if (name == "read") {
      const long fd = std::strtol(args.c_str(), nullptr, 10);
      const auto it = fds.find({pid, fd});
      if (it != fds.end() && is_regular(it->second)) view.read.insert(it->second);
    }
  });
  return view;
}

TEST(PtraceStraceCrossCheck, EveryFileStraceSawIsInTheReport) {
  const std::string strace = find_in_path("strace");
  if (strace.empty()) GTEST_SKIP() << "strace is not installed";
  if (!std::filesystem::is_directory(kTree)) GTEST_SKIP() << kTree << " is missing";

  test::TempDir dir;
  const std::string workload =
      std::string("find ") + kTree + " -name '*.h' -exec cat {} + > /dev/null";
  const std::string log = dir / "strace.log";
  const test::RunResult s = test::run_program({strace, "-f", "-y", "-qq", "-s", "0", "-e",
                                               "trace=openat,open,read", "-o", log, "/bin/sh",
                                               "-c", workload});
  if (s.exit_status != 0) GTEST_SKIP() << "strace cannot trace here: " << s.err;

  const std::string out = dir / "report";
  const test::RunResult t =
      test::run_program({test::bin_path("drel-tracer"), out, "/bin/sh", "-c", workload});
  ASSERT_EQ(t.exit_status, 0) << t.err;
  Result<TraceReport> report = read_report_file(out);
  ASSERT_TRUE(report) << report.error().text();

  const StraceView seen = parse_strace(test::read_file(log));
  // The workload reads hundreds of headers; a parse that found none proves nothing.
  ASSERT_GT(seen.read.size(), 100u);
  ASSERT_GE(seen.opened.size(), seen.read.size());

  const std::set<std::string> opened(report->opened_files.begin(), report->opened_files.end());
  const std::set<std::string> read(report->read_files.begin(), report->read_files.end());
  for (const auto& path : seen.opened) EXPECT_TRUE(opened.contains(path)) << "opened " << path;
  for (const auto& path : seen.read) EXPECT_TRUE(read.contains(path)) << "read " << path;
}

// Real workloads, each traced by strace -f -y and by a backend: every file strace saw opened, read
// or written is in the backend's report with the same flag (for the preload backend, what passes
// through the C library's entry points: not the loader's own files nor the C library's). One row
// per workload and backend.
struct CrossCheckCase {
  std::string name;
  std::string backend;                // the program that traces
  std::vector<std::string> programs;  // what the workload needs installed
  std::function<void(const std::string& dir)> prepare;
  std::vector<std::string> command;  // run in the directory
};

void PrintTo(const CrossCheckCase& c, std::ostream* os) { *os << c.name << "_" << c.backend; }

// The calls whose effect on a file strace shows; "?" skips a name this processor lacks.
constexpr const char* kStraceCalls =
    "trace=openat,?open,?creat,openat2,read,pread64,readv,preadv,preadv2,write,pwrite64,writev,"
    "pwritev,pwritev2,mmap,getdents64,?rename,renameat,renameat2,?link,linkat,?unlink,unlinkat,"
    "truncate,ftruncate,?symlink,symlinkat,execve,?mkdir,mkdirat,?rmdir,chdir,fchdir";

// The top-level arguments of a call as strace prints them.
std::vector<std::string> split_args(const std::string& args) {
  std::vector<std::string> out;
  std::string cur;
  int depth = 0;
  bool quoted = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const char ch = args[i];
    if (quoted) {
      cur.push_back(ch);
      if (ch == '\\' && i + 1 < args.size()) {
        cur.push_back(args[++i]);
      } else if (ch == '"') {
        quoted = false;
      }
      continue;
    }
    if (ch == '"') quoted = true;
    if (ch == '[' || ch == '{' || ch == '<' || ch == '(') ++depth;
    if (ch == ']' || ch == '}' || ch == '>' || ch == ')') --depth;
    if (ch == ',' && depth == 0) {
      out.push_back(cur);
      cur.clear();
      if (i + 1 < args.size() && args[i + 1] == ' ') ++i;
      continue;
    }
    cur.push_back(ch);
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

// "<path>" of "3</path>" or "AT_FDCWD</path>", without a " (deleted)" mark; "" if none.
std::string annotated_path(const std::string& arg) {
  std::string path = annotation(arg);
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) {
    path.resize(path.size() - kDeleted.size());
  }
  return path;
}

// The text of a quoted argument, with strace's escapes for the few bytes paths here use.
std::string unquoted(const std::string& arg) {
  if (arg.size() < 2 || arg.front() != '"') return {};
  std::string out;
  for (std::size_t i = 1; i + 1 < arg.size(); ++i) {
    if (arg[i] == '\\' && i + 2 < arg.size()) {
      ++i;
      out.push_back(arg[i] == 'n' ? '\n' : arg[i] == 't' ? '\t' : arg[i]);
    } else {
      out.push_back(arg[i]);
    }
  }
  return out;
}

std::string realpath_or_empty(const std::string& p) {
  char buf[PATH_MAX];
  return ::realpath(p.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

// The names a tracer may give a path: as written when absolute, else joined to its directory,
// without a trailing "/"; canonical, or with a canonical directory when the last name is gone or
// a link.
std::set<std::string> names_for(const std::string& dir, const std::string& name) {
  std::set<std::string> out;
  if (name.empty()) return out;
  std::string joined = name.front() == '/' ? name : dir + "/" + name;
  // Both tracers record "d/" as "d" (busybox's mkdir -p makes "tree/").
  while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
  out.insert(joined);
  if (std::string c = realpath_or_empty(joined); !c.empty()) out.insert(c);
  const auto slash = joined.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    if (std::string c = realpath_or_empty(joined.substr(0, slash)); !c.empty()) {
      out.insert(c + joined.substr(slash));
    }
  }
  return out;
}

enum class Flag { Opened, Read, Written };

struct SeenAccess {
  Flag flag;
  std::set<std::string> names;  // any of them will do
  std::string line;             // for the failure message
};

bool outside_files(const std::string& path) {
  return path.empty() || path.front() != '/' || path.rfind("/proc/", 0) == 0 ||
         path.rfind("/dev/", 0) == 0 || path.rfind("/sys/", 0) == 0;
}

// Every access a strace -f -y log shows, as the flags of a report. touched, when given, gets
// every name the run touched (made and removed directories too), and the names below a renamed
// directory under its new name, as a report that follows renames may carry them.
std::vector<SeenAccess> strace_accesses(const std::string& log, const std::string& start_dir,
                                        std::set<std::string>* touched = nullptr) {
  std::vector<SeenAccess> out;
  std::map<std::pair<long, long>, std::string> fd_names;  // (pid, fd) -> name as opened
  std::set<std::string> truncated;                          // reads through these are not inputs
  std::map<long, std::string> cwd;                          // last AT_FDCWD seen per task
  for_each_call(log, [&](const StraceCall& c) {
    const long pid = c.pid;
    const std::string& name = c.name;
    const std::string& line = c.line;
    const std::string& rest = c.rest;
    const long result = c.result;
    const std::vector<std::string> args = split_args(c.args);
    for (const auto& a : args) {
      if (a.rfind("AT_FDCWD<", 0) == 0) cwd[pid] = annotated_path(a);
    }
    if (result < 0 || args.empty()) return;
    const std::string here = cwd.contains(pid) ? cwd[pid] : start_dir;
    const auto at = [&](std::size_t dirfd, std::size_t path) {
      if (args.size() <= path) return std::set<std::string>();
      const std::string dir = annotated_path(args[dirfd]);
      return names_for(dir.empty() ? here : dir, unquoted(args[path]));
    };
    const auto through_fd = [&](const std::string& arg) {
      std::set<std::string> names;
      const std::string path = annotated_path(arg);
      if (outside_files(path)) return names;
      names.insert(path);
      // The name it was opened under, unless the number has since been given to another file.
      const auto known = fd_names.find({pid, std::strtol(arg.c_str(), nullptr, 10)});
      if (known != fd_names.end() && realpath_or_empty(known->second) == realpath_or_empty(path))
        names.insert(known->second);
      return names;
    };
    const auto touch = [&](const std::set<std::string>& names) {
      if (touched != nullptr) touched->insert(names.begin(), names.end());
    };
    const auto add = [&](Flag flag, std::set<std::string> names) {
      std::erase_if(names, outside_files);
      touch(names);
      if (!names.empty()) out.push_back({flag, std::move(names), line});
    };
    // What was below `from` is now below `to`.
    const auto carry = [&](const std::set<std::string>& from, const std::set<std::string>& to) {
      if (touched == nullptr) return;
      std::set<std::string> moved;
      for (const std::string& f : from) {
        for (auto it = touched->lower_bound(f + "/"); it != touched->end() && it->starts_with(f + "/");
             ++it) {
          for (const std::string& t : to) moved.insert(t + it->substr(f.size()));
        }
      }
      touch(moved);
    };
    if (name == "openat" || name == "open" || name == "creat" || name == "openat2") {
      const bool plain = name == "open" || name == "creat";
      const std::set<std::string> names =
          plain ? names_for(here, unquoted(args[0])) : at(0, 1);
      const std::string opened = annotated_path(rest);
      if (outside_files(opened)) return;
      // The tracer names an absolute argument as written, a relative one canonically.
      const std::string as_named = unquoted(args[plain ? 0 : 1]).front() == '/'
                                       ? unquoted(args[plain ? 0 : 1])
                                       : opened;
      fd_names[{pid, result}] = as_named;  // a listed directory too
      if (!is_regular(opened)) return;
      const std::string flags = name == "creat" ? "O_TRUNC" : plain ? args[1] : args[2];
      add(Flag::Opened, names);
      const bool changes = flags.find("O_TRUNC") != std::string::npos ||
                           (flags.find("O_CREAT") != std::string::npos &&
                            flags.find("O_EXCL") != std::string::npos);
      if (flags.find("O_TRUNC") != std::string::npos) truncated.insert(opened);
      if (changes) add(Flag::Written, names);
    } else if (name == "read" || name == "pread64" || name == "readv" || name == "preadv" ||
               name == "preadv2" || name == "getdents64") {
      std::set<std::string> names = through_fd(args[0]);
      if (names.empty() || truncated.contains(annotated_path(args[0]))) return;
      add(Flag::Read, names);
    } else if (name == "write" || name == "pwrite64" || name == "writev" || name == "pwritev" ||
               name == "pwritev2") {
      if (result > 0) add(Flag::Written, through_fd(args[0]));
    } else if (name == "mmap" && args.size() > 4) {
      std::set<std::string> names = through_fd(args[4]);
      if (names.empty() || !is_regular(annotated_path(args[4]))) return;
      if (args[2].find("PROT_READ") != std::string::npos) add(Flag::Read, names);
      if (args[2].find("PROT_WRITE") != std::string::npos &&
          args[3].find("MAP_SHARED") != std::string::npos) {
        add(Flag::Written, names);
      }
    } else if (name == "rename" || name == "link" || name == "symlink") {
      const std::set<std::string> from = names_for(here, unquoted(args[0]));
      add(Flag::Written, names_for(here, unquoted(args[1])));
      if (name == "rename") add(Flag::Written, from);
      if (name == "rename") carry(from, names_for(here, unquoted(args[1])));
    } else if (name == "renameat" || name == "renameat2" || name == "linkat") {
      add(Flag::Written, at(2, 3));
      if (name != "linkat") add(Flag::Written, at(0, 1));
      if (name != "linkat") carry(at(0, 1), at(2, 3));
    } else if (name == "fchdir" || name == "chdir") {
      // mkdir -p moves down the tree it makes and names each directory from there.
      const std::string named = unquoted(args[0]);
      const std::string dir =
          name == "fchdir" ? annotated_path(args[0])
                           : realpath_or_empty(named.front() == '/' ? named : here + "/" + named);
      if (!dir.empty()) cwd[pid] = dir;
    } else if (name == "unlink" || name == "truncate" || name == "mkdir" || name == "rmdir") {
      // A directory made or removed is a name written, as a file's is.
      add(Flag::Written, names_for(here, unquoted(args[0])));
    } else if (name == "unlinkat" || name == "mkdirat") {
      add(Flag::Written, at(0, 1));
    } else if (name == "symlinkat") {
      add(Flag::Written, at(1, 2));
    } else if (name == "ftruncate") {
      add(Flag::Written, through_fd(args[0]));
    } else if (name == "execve") {
      add(Flag::Read, names_for(here, unquoted(args[0])));
    }
  });
  return out;
}

// gcc's /…/ccXXXXXX.s, git's tmp_obj_XXXXXX and .git/tXXXXXX, GNU sed -i's sedXXXXXX, busybox
// sed -i's <input>XXXXXX (the rows edit a file named "edit") and perl -i's XXXXXXXX: the random
// part made uniform.
std::string without_random_names(const std::string& path) {
  static const std::regex kRandom(R"((/cc|tmp_[a-z]+_|/\.git/t|/sed)[A-Za-z0-9]{6})");
  static const std::regex kInputNamed(R"(/edit[A-Za-z0-9]{6}$)");
  static const std::regex kPerl(R"(/XX[A-Za-z0-9]{6}$)");
  std::string out = std::regex_replace(path, kRandom, "$1XXXXXX");
  out = std::regex_replace(out, kInputNamed, "/editXXXXXX");
  return std::regex_replace(out, kPerl, "/XXXXXXXX");
}

// Files the preload backend cannot see, by design: the dynamic loader's own opens and maps
// (libraries, its cache) and what the C library opens for itself (locale, nsswitch and the
// files it names, time zones, iconv modules).
bool outside_the_library(const std::string& path) {
  static const std::regex kInternal(
      R"(^/etc/ld\.so\.cache$|\.so(\.[0-9.]+)?$|/gconv/|^/usr/(lib|share)/locale/|)"
      R"(^/etc/(nsswitch\.conf|passwd|group|host\.conf|hosts|resolv\.conf|localtime)$|)"
      R"(^/usr/share/zoneinfo/)");
  return std::regex_search(path, kInternal);
}

class StraceCrossCheck : public testing::TestWithParam<CrossCheckCase> {};

TEST_P(StraceCrossCheck, EveryAccessStraceSawIsInTheReport) {
  const CrossCheckCase& c = GetParam();
  const std::string strace = find_in_path("strace");
  if (strace.empty()) GTEST_SKIP() << "strace is not installed";
  for (const auto& program : c.programs) {
    if (find_in_path(program).empty()) GTEST_SKIP() << program << " is not installed";
  }
  // Small systems (the emulated aarch64 machine) have busybox's static coreutils, which never
  // load the library.
  if (c.backend == "drel-tracer-preload" && !test::loads_the_dynamic_loader(find_in_path("cat")))
    GTEST_SKIP() << "cat is statically linked here";
  // The same work twice, from the same starting point: once under strace, once traced.
  test::TempDir strace_dir, traced_dir;
  const std::string s_dir = realpath_or_empty(strace_dir.path());
  const std::string t_dir = realpath_or_empty(traced_dir.path());
  c.prepare(s_dir);
  c.prepare(t_dir);
  // Each run in its own directory, which is also its home and its place for temporary files;
  // git's dates are fixed so that both runs make the same objects.
  const auto options_in = [](const std::string& dir) {
    test::RunOptions options;
    options.env = {{"HOME", dir},
                   {"TMPDIR", dir},
                   {"LC_ALL", "C"},
                   {"GIT_CONFIG_NOSYSTEM", "1"},
                   {"GIT_AUTHOR_DATE", "2026-01-01T00:00:00Z"},
                   {"GIT_COMMITTER_DATE", "2026-01-01T00:00:00Z"}};
    options.cwd = dir;
    return options;
  };
  test::TempDir log_dir;
  const std::string log = log_dir / "strace.log";
  std::vector<std::string> s_argv = {strace, "-f", "-y", "-qq", "-s", "4096", "-e", kStraceCalls,
                                     "-o", log};
  s_argv.insert(s_argv.end(), c.command.begin(), c.command.end());
  const test::RunResult s = test::run_program(s_argv, options_in(s_dir));
  if (s.exit_status != 0 && !test::file_exists(log)) GTEST_SKIP() << "strace cannot trace here: " << s.err;
  ASSERT_EQ(s.exit_status, 0) << s.err;

  const std::string report_path = log_dir / "report";
  std::vector<std::string> t_argv = {test::bin_path(c.backend), report_path};
  t_argv.insert(t_argv.end(), c.command.begin(), c.command.end());
  const bool preload = c.backend == "drel-tracer-preload";
  test::RunOptions t_options = options_in(t_dir);
  if (preload) t_options.env["DREL_PRELOAD_LIB"] = test::bin_path("libdrel_tracer_preload.so");
  const test::RunResult t = test::run_program(t_argv, t_options);
  ASSERT_EQ(t.exit_status, 0) << t.err;
  Result<TraceReport> report = read_report_file(report_path);
  ASSERT_TRUE(report) << report.error().text();

  // The traced run worked in its own directory: strace's names map onto it, and the names
  // mkstemp made differ from run to run.
  const auto comparable = [&](std::string p) {
    if (p.rfind(s_dir, 0) == 0) p.replace(0, s_dir.size(), t_dir);
    return without_random_names(p);
  };
  std::set<std::string> lists[3];
  for (const auto& [list, files] : {std::pair{0, &report->opened_files},
                                    {1, &report->read_files},
                                    {2, &report->written_files}}) {
    for (const auto& f : *files) lists[list].insert(without_random_names(f));
  }
  std::set<std::string> touched;
  const std::vector<SeenAccess> seen = strace_accesses(test::read_file(log), s_dir, &touched);
  ASSERT_GT(seen.size(), 20u) << "a parse that found nothing proves nothing";
  std::size_t in_work_dir = 0;
  for (const SeenAccess& a : seen) {
    if (preload && std::all_of(a.names.begin(), a.names.end(), outside_the_library)) continue;
    bool found = false;
    for (const auto& name : a.names) {
      found = found || lists[static_cast<int>(a.flag)].contains(comparable(name));
      in_work_dir += name.rfind(s_dir, 0) == 0 ? 1 : 0;
    }
    EXPECT_TRUE(found) << (a.flag == Flag::Opened ? "opened " : a.flag == Flag::Read ? "read " : "written ")
                       << *a.names.begin() << "\n  strace: " << a.line;
  }
  EXPECT_GT(in_work_dir, 0u) << "the workload's own files were never seen";
  if (!preload) return;
  // Nothing in the work directory is in the report that the run did not touch under that name
  // (or that a rename of its directory did not bring there).
  std::set<std::string> names;
  for (const std::string& n : touched) names.insert(comparable(n));
  for (const FileRecord& f : report->files) {
    if (f.path.rfind(t_dir + "/", 0) != 0) continue;
    EXPECT_TRUE(names.contains(without_random_names(f.path))) << "never touched: " << f.path;
  }
}

void write_text(const std::string& path, const std::string& text, bool executable = false) {
  test::write_file(path, text);
  if (executable) ::chmod(path.c_str(), 0755);
}

// The backends a workload's rows run under.
const std::vector<std::string> kBoth = {"drel-tracer", "drel-tracer-preload"};

struct Workload {
  std::string name;
  std::vector<std::string> backends;
  std::vector<std::string> programs;
  std::function<void(const std::string& dir)> prepare;
  std::vector<std::string> command;
};

std::vector<CrossCheckCase> cases() {
  const std::vector<Workload> workloads = {
      Workload{"DashScriptWithRedirections",
               kBoth,
               {"dash"},
               [](const std::string& d) {
                 write_text(d + "/in", "one\ntwo\n");
                 write_text(d + "/gone", "x");
                 write_text(d + "/script.sh",
                            "exec 3> log\n"
                            "echo start >&3\n"
                            "cat < in > out\n"
                            "echo more >> out\n"
                            ": > empty\n"
                            "rm -f gone\n"
                            "ln -s out link\n"
                            "mv out renamed\n"
                            "wc -l < renamed > count\n"
                            "for f in *; do echo \"$f\"; done > listing\n");
               },
               {"dash", "script.sh"}},
      Workload{"MakeDrivingGcc",
               kBoth,
               {"make", "gcc"},
               [](const std::string& d) {
                 write_text(d + "/Makefile",
                            "CFLAGS = -O0 -MD\n"
                            "prog: main.o util.o\n"
                            "\t$(CC) -o $@ $^\n"
                            "main.o: gen.h\n"
                            "gen.h: gen.sh\n"
                            "\tsh gen.sh > $@\n"
                            "-include *.d\n");
                 write_text(d + "/gen.sh", "echo '#define ANSWER 42'\n");
                 write_text(d + "/util.h", "int twice(int);\n");
                 write_text(d + "/main.c",
                            "#include \"gen.h\"\n#include \"util.h\"\n"
                            "int main(void) { return twice(ANSWER) - 84; }\n");
                 write_text(d + "/util.c",
                            "#include \"util.h\"\nint twice(int x) { return 2 * x; }\n");
               },
               {"make", "-s"}},
      Workload{"GitInitAddCommitStatus",
               kBoth,
               {"git"},
               [](const std::string& d) {
                 write_text(d + "/a.txt", "alpha\n");
                 write_text(d + "/b.txt", "beta\n");
                 write_text(d + "/run.sh",
                            "git init -q repo && cp a.txt b.txt repo/ && cd repo &&\n"
                            "git add a.txt b.txt &&\n"
                            "git -c user.name=T -c user.email=t@example.org commit -qm one &&\n"
                            "echo gamma >> a.txt && git status --short > ../status\n");
               },
               {"sh", "run.sh"}},
      Workload{"PythonWritesAndRenames",
               kBoth,
               {"python3"},
               [](const std::string& d) {
                 write_text(d + "/in.txt", "data\n");
                 write_text(d + "/work.py",
                            "import os\n"
                            "text = open('in.txt').read()\n"
                            "with open('tmp.txt', 'w') as f:\n"
                            "    f.write(text.upper())\n"
                            "os.rename('tmp.txt', 'out.txt')\n"
                            "open('side.txt', 'x').close()\n"
                            "os.replace('side.txt', 'final.txt')\n"
                            "os.unlink('final.txt')\n"
                            "print(sorted(os.listdir('.')))\n");
               },
               {"python3", "work.py"}},
      Workload{"CoreutilsScript",
               kBoth,
               {"dash", "sed", "sort", "tar"},
               [](const std::string& d) {
                 write_text(d + "/list", "b\na\nc\n");
                 write_text(d + "/script.sh",
                            "sort -o sorted list\n"
                            "cp list edit && sed -i 's/a/A/' edit\n"
                            "mkdir -p tree/sub && echo x > tree/sub/f && cp -r tree copy\n"
                            "tar -cf t.tar copy && mkdir out && tar -xf t.tar -C out\n"
                            "mv sorted moved && ln moved hard && ln -s moved soft\n"
                            "mv tree grove && cat grove/sub/f > seen\n"
                            "rm -r copy hard\n"
                 "ls -R out > tree.txt && find . -name '*.txt' > found\n"
                 "install -m 644 list installed && touch stamp && truncate -s 1 edit\n"
                 "head -c 3 /etc/hostname > host; dd if=list of=dd.out status=none\n"
                 "rmdir out/copy/sub 2>/dev/null; mkdir -p made/deep && rm -rf made\n");
               },
               {"dash", "script.sh"}},
      // busybox names its temporary after its input (on small systems it is the only sed);
      // static, so the library never sees it. Six inputs give the parse enough to check.
      Workload{"BusyboxSedInPlace",
               {"drel-tracer"},
               {"busybox"},
               [](const std::string& d) {
                 for (const char* sub : {"a", "b", "c", "d", "e", "f"}) {
                   std::filesystem::create_directory(d + "/" + sub);
                   write_text(d + "/" + sub + "/edit", "b\na\nc\n");
                 }
               },
               {"busybox", "sed", "-i", "s/a/A/", "a/edit", "b/edit", "c/edit", "d/edit",
                "e/edit", "f/edit"}},
      Workload{"PerlInPlace",
               kBoth,
               {"perl"},
               [](const std::string& d) {
                 write_text(d + "/one.txt", "x1\n");
                 write_text(d + "/two.txt", "x2\n");
               },
               {"perl", "-pi", "-e", "s/x/y/", "one.txt", "two.txt"}},
  };
  std::vector<CrossCheckCase> out;
  for (const Workload& w : workloads) {
    for (const std::string& backend : w.backends)
      out.push_back({w.name, backend, w.programs, w.prepare, w.command});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Workloads, StraceCrossCheck, testing::ValuesIn(cases()),
    [](const testing::TestParamInfo<CrossCheckCase>& info) {
      std::string backend = info.param.backend;
      std::replace(backend.begin(), backend.end(), '-', '_');
      return info.param.name + "_" + backend;
    });

TEST(PtraceStraceCrossCheck, AlreadyTracedTracerCannotTraceItsChild) {
  // Under strace -f the child's PTRACE_TRACEME is refused: it says so and the run fails.
  const std::string strace = find_in_path("strace");
  if (strace.empty()) GTEST_SKIP() << "strace is not installed";
  test::TempDir dir;
  const test::RunResult probe =
      test::run_program({strace, "-qq", "-e", "trace=none", "-o", dir / "probe.log", "/bin/true"});
  if (probe.exit_status != 0) GTEST_SKIP() << "strace cannot trace here: " << probe.err;
  const test::RunResult r =
      test::run_program({strace, "-f", "-qq", "-e", "trace=none", "-o", dir / "strace.log",
                         test::bin_path("drel-tracer"), dir / "report", "/bin/true"});
  EXPECT_EQ(r.err, "ptrace traceme failed: EPERM\nUnexpected initial wait status\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_FALSE(test::file_exists(dir / "report"));
}

}  // namespace
}  // namespace drel
