// drel-report on reports that both tracers made of the same small make build: every subcommand,
// the filters, standard input, and a depfile that a real make run includes.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/path_search.h"
#include "common/report_reader.h"
#include "support/case_names.h"
#include "support/process_runner.h"

namespace drel {
namespace {

using test::bin_path;
using test::run_program;
using test::RunResult;

struct Backend {
  const char* name;  // as tests are named and as tracer_mode says
  const char* program;
  // What the backend records when make lists the build directory: drel-tracer sees the
  // getdents64 and records the directory as read.
  const char* listed_dir;
};

void PrintTo(const Backend& b, std::ostream* os) {
  *os << b.name;
}

constexpr Backend kBackends[] = {{"ptrace", "drel-tracer", "@D\n"},
                                 {"preload", "drel-tracer-preload", ""}};

// The inputs cat reads; their names hold what make and shells must escape.
const std::vector<std::string> kInputs = {"c:.txt",   "d$.txt", "h#.txt",
                                          "in 1.txt", "p%.txt", "plain.txt"};

// Reads the inputs into out.txt, reads that back into copy.txt, writes gone.txt (which the
// test removes afterwards: written, but no output any more).
constexpr const char* kMakefile =
    "out.txt:\n"
    "\tcat plain.txt 'in 1.txt' 'h#.txt' 'd$$.txt' 'c:.txt' 'p%.txt' > out.txt\n"
    "\tcat out.txt > copy.txt\n"
    "\techo gone > gone.txt\n"
    "-include out.d\n";

// The same step reading less and writing extra.txt, for diff.
constexpr const char* kVariantMakefile =
    "out.txt:\n"
    "\tcat plain.txt 'in 1.txt' > out.txt\n"
    "\techo extra > extra.txt\n";

// The traced build is a make run; a machine without make (the emulated aarch64 guest) skips.
bool make_installed() {
  const char* path = std::getenv("PATH");
  for (const auto& candidate : path_search_candidates("make", path ? path : "/usr/bin:/bin"))
    if (::access(candidate.c_str(), X_OK) == 0) return true;
  return false;
}

class NeedsMake : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!make_installed()) GTEST_SKIP() << "make is not installed";
  }
};

bool has(const std::vector<uint32_t>& ids, uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

void set_mtime(const std::string& path, time_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

constexpr time_t kOld = 946684800;  // 2000-01-01

// One traced build per backend, made once per test process and shared by its tests; the
// variant is traced only for the tests that name it.
struct Build {
  test::TempDir dir;
  std::string report = dir / "build.msgpack";
  std::string variant = dir / "variant.msgpack";
  std::string trace_error;  // empty when the traces worked
};

void trace_variant(const Backend& backend, Build& b) {
  if (test::file_exists(b.variant)) return;
  test::RunOptions here;
  here.cwd = b.dir.path();
  auto variant = run_program(
      {bin_path(backend.program), b.variant, "make", "-s", "-B", "-f", "variant.mk"}, here);
  if (variant.exit_status != 0) b.trace_error += variant.err;
}

Build& build_of(const Backend& backend) {
  static std::map<std::string, std::unique_ptr<Build>> builds;
  auto& b = builds[backend.name];
  if (b) return *b;
  b = std::make_unique<Build>();
  const std::string d = b->dir.path();
  for (const auto& in : kInputs) test::write_file(d + "/" + in, in + "\n");
  test::write_file(d + "/Makefile", kMakefile);
  test::write_file(d + "/variant.mk", kVariantMakefile);
  test::RunOptions here;
  here.cwd = d;
  auto traced = run_program({bin_path(backend.program), b->report, "make", "-s"}, here);
  if (traced.exit_status != 0) b->trace_error = traced.err;
  std::remove((d + "/gone.txt").c_str());
  return *b;
}

class TracedBuild : public NeedsMake, public ::testing::WithParamInterface<Backend> {
 protected:
  Build& build() {
    Build& b = build_of(GetParam());
    EXPECT_EQ(b.trace_error, "");
    return b;
  }
  std::string dir() { return build().dir.path(); }
};

// "@D" is the build's directory, "@R" its report, "@V" the variant's; "-" reads @R from
// standard input.
std::string expand(std::string s, const Build& b) {
  for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
           {"@D", b.dir.path()}, {"@R", b.report}, {"@V", b.variant}}) {
    for (size_t at = s.find(key); at != std::string::npos; at = s.find(key, at + value.size()))
      s.replace(at, key.size(), value);
  }
  return s;
}

struct Case {
  const char* name;
  std::vector<std::string> args;  // after "drel-report"
  int status;
  std::string out_prefix;             // standard output starts with this ("" checks nothing)
  std::vector<std::string> contains;  // and holds each of these
  bool exact = false;                 // out_prefix is the whole output
  bool in_build_dir = false;          // run in @D (relative --under)
  // When the output lists inputs under @D: make lists @D itself, which the preload backend
  // reports as read (a listed directory) and drel-tracer does not record; the separator
  // that follows @D at the head of the preload output.
  std::string listed_dir = "";
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

const std::string kInputLines =
    "@D/c:.txt\n@D/d$.txt\n@D/h#.txt\n@D/in 1.txt\n@D/p%.txt\n@D/plain.txt\n";

std::string nul_ended(std::initializer_list<const char*> paths) {
  std::string out;
  for (const char* p : paths) out += std::string(p) + '\0';
  return out;
}

// %LISTED% is the backend's line for the listed build directory (%LISTED0%: NUL-ended).
const Case kCases[] = {
    {"inputs_under",
     {"inputs", "--under", "@D", "--exclude", "@D/Makefile", "@R"},
     0,
     "%LISTED%" + kInputLines,
     {},
     true,
     false,
     "\n"},
    {"inputs_relative_dirs",
     {"inputs", "--under", ".", "--exclude", "./Makefile", "@R"},
     0,
     "%LISTED%" + kInputLines,
     {},
     true,
     true,
     "\n"},
    {"inputs_filters_compose",
     {"inputs", "--no-system", "--under", "@D/", "--exclude", "@D/Makefile", "--exclude",
      "@D/in 1.txt", "--exclude=@D/plain.txt", "@R"},
     0,
     "%LISTED%@D/c:.txt\n@D/d$.txt\n@D/h#.txt\n@D/p%.txt\n",
     {},
     true,
     false,
     "\n"},
    {"inputs_null",
     {"inputs", "-0", "--under", "@D", "--exclude", "@D/Makefile", "@R"},
     0,
     "%LISTED0%" + nul_ended({"@D/c:.txt", "@D/d$.txt", "@D/h#.txt", "@D/in 1.txt", "@D/p%.txt",
                              "@D/plain.txt"}),
     {},
     true,
     false,
     std::string(1, '\0')},
    {"inputs_from_stdin",
     {"inputs", "--under", "@D", "--exclude", "@D/Makefile", "-"},
     0,
     "%LISTED%" + kInputLines,
     {},
     true,
     false,
     "\n"},
    {"inputs_no_system_keeps_the_build", {"inputs", "--no-system", "@R"}, 0, "", {kInputLines}},
    {"outputs_exist_now",
     {"outputs", "--under", "@D", "@R"},
     0,
     "@D/copy.txt\n@D/out.txt\n",
     {},
     true},
    {"outputs_all_written",
     {"outputs", "--all", "--under", "@D", "@R"},
     0,
     "@D/copy.txt\n@D/gone.txt\n@D/out.txt\n",
     {},
     true},
    {"outputs_null_excluding",
     {"outputs", "--null", "--under", "@D", "--exclude", "@D/copy.txt", "@R"},
     0,
     nul_ended({"@D/out.txt"}),
     {},
     true},
    {"outputs_no_system_under_nothing_else",
     {"outputs", "--no-system", "-"},
     0,
     "",
     {"@D/copy.txt\n@D/out.txt\n"}},
    {"deps_rule_and_empty_rules",
     {"deps", "--target", "out.txt", "--target", "all:x", "--under", "@D", "--exclude",
      "@D/Makefile", "@R"},
     0,
     "out.txt all\\:x: \\\n @D/c\\:.txt \\\n @D/d$$.txt \\\n @D/h\\#.txt \\\n @D/in\\ 1.txt \\\n"
     " @D/p%.txt \\\n @D/plain.txt\n\n@D/c\\:.txt:\n@D/d$$.txt:\n@D/h\\#.txt:\n@D/in\\ "
     "1.txt:\n@D/plain.txt:\n",
     {},
     true},
    {"deps_nothing_left",
     {"deps", "--target", "out.txt", "--under", "@D/none", "@R"},
     0,
     "out.txt:\n",
     {},
     true},
    {"diff_same_report", {"diff", "@R", "-"}, 0, "", {}, true},
    {"diff_variant",
     {"diff", "--under", "@D", "--exclude", "@D/Makefile", "--exclude", "@D/variant.mk", "@R",
      "@V"},
     1,
     "< @R (%MODE%)\n> @V (%MODE%)\nfiles:\n< r- @D/c:.txt\n< -w @D/copy.txt\n< r- @D/d$.txt\n"
     "> -w @D/extra.txt\n< -w @D/gone.txt\n< r- @D/h#.txt\n< rw @D/out.txt\n> -w @D/out.txt\n< r- "
     "@D/p%.txt\n"
     "processes:\n",
     {"\n< make -s\n", "\n> make -s -B -f variant.mk\n"}},
    {"diff_only_processes",
     {"diff", "--under", "@D/plain.txt", "@R", "@V"},
     1,
     "< @R (%MODE%)\n> @V (%MODE%)\nprocesses:\n",
     {"\n< make -s\n"}},
    {"tree_processes", {"tree", "@R"}, 0, "", {" make -s\n"}},
    {"show_summary",
     {"show", "--exclude", "@D/plain.txt", "--wide", "@R"},
     0,
     "tracer mode:    %MODE%\n",
     {"\nprocesses (pid and command):\n  ", " make -s\n",
      "\nfiles (r read, w written, - not; by: threads, as program[pid] where known):\n",
      "\n  r- @D/in 1.txt  (read by ", "\n  -w @D/gone.txt  (written by ",
      " files (1 more left out by the filters), "}},
};

class ReportSubcommand : public NeedsMake,
                         public ::testing::WithParamInterface<std::tuple<Backend, Case>> {};

TEST_P(ReportSubcommand, Output) {
  const auto& [backend, c] = GetParam();
  Build& b = build_of(backend);
  ASSERT_EQ(b.trace_error, "");
  std::vector<std::string> argv{bin_path("drel-report")};
  test::RunOptions options;
  options.env["COLUMNS"] = std::nullopt;
  if (c.in_build_dir) options.cwd = b.dir.path();
  for (const auto& a : c.args) {
    if (a == "@V") trace_variant(backend, b);
    ASSERT_EQ(b.trace_error, "");
    argv.push_back(expand(a, b));
    if (a == "-") options.stdin_data = test::read_file(b.report);
  }
  const auto expand_mode = [&](std::string s) {
    std::string listed0 = backend.listed_dir;
    if (!listed0.empty()) listed0.back() = '\0';
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"%MODE%", backend.name},
                                     {"%LISTED%", backend.listed_dir},
                                     {"%LISTED0%", listed0}}) {
      for (size_t at = s.find(key); at != std::string::npos; at = s.find(key, at + value.size()))
        s.replace(at, key.size(), value);
    }
    return expand(std::move(s), b);
  };
  const RunResult r = run_program(argv, options);
  EXPECT_EQ(r.exit_status, c.status) << r.err;
  EXPECT_EQ(r.err, "");
  std::string prefix = expand_mode(c.out_prefix);
  if (!c.listed_dir.empty() && std::string(backend.name) == "preload")
    prefix = b.dir.path() + c.listed_dir + prefix;
  if (c.exact) {
    EXPECT_EQ(r.out, prefix);
  } else {
    EXPECT_EQ(r.out.substr(0, prefix.size()), prefix) << r.out;
  }
  for (const auto& piece : c.contains) EXPECT_THAT(r.out, ::testing::HasSubstr(expand_mode(piece)));
}

INSTANTIATE_TEST_SUITE_P(BothBackends, ReportSubcommand,
                         ::testing::Combine(::testing::ValuesIn(kBackends),
                                            ::testing::ValuesIn(kCases)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::get<1>(info.param).name;
                         });

INSTANTIATE_TEST_SUITE_P(BothBackends, TracedBuild, ::testing::ValuesIn(kBackends), test::ByName());

TEST_P(TracedBuild, JsonIsTheReport) {
  const auto r = run_program({bin_path("drel-report"), "json", build().report});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const auto j = nlohmann::ordered_json::parse(r.out);
  EXPECT_EQ(j["tracer_mode"], GetParam().name);
  EXPECT_EQ(j["version"], 1);
  EXPECT_THAT(j["written_files"].dump(), ::testing::HasSubstr(dir() + "/copy.txt"));
}

// Every process once, the root first; with --files each file under the process whose pid
// touched it, indented by four more.
TEST_P(TracedBuild, TreeShowsEachProcessWithItsFiles) {
  const Build& b = build();
  const auto r =
      run_program({bin_path("drel-report"), "tree", "--files", "--under", dir(), b.report});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  auto report = read_report_file(b.report);
  ASSERT_TRUE(report.ok()) << report.error().text();
  const auto threads_of = [&](const std::string& path, bool written) {
    for (const auto& f : report->files)
      if (f.path == path)
        return (written ? f.written_threads : f.read_threads).value_or(std::vector<uint32_t>{});
    return std::vector<uint32_t>{};
  };
  std::istringstream lines(r.out);
  std::string line;
  size_t process_indent = 0, files_seen = 0, processes_seen = 0;
  uint32_t pid = 0;
  while (std::getline(lines, line)) {
    const size_t indent = line.find_first_not_of(' ');
    if (line.empty() || line.starts_with("files no recorded process")) break;
    if (std::isdigit(static_cast<unsigned char>(line[indent]))) {
      process_indent = indent;
      pid = static_cast<uint32_t>(std::stoul(line.substr(indent)));
      if (processes_seen++ == 0) {
        EXPECT_THAT(line, ::testing::MatchesRegex("[0-9]+ make -s"));
      }
      continue;
    }
    ++files_seen;
    EXPECT_EQ(indent, process_indent + 4) << line;
    const std::string marks = line.substr(indent, 2);
    const std::string path = line.substr(indent + 3);
    EXPECT_EQ(marks[0] == 'r', has(threads_of(path, false), pid)) << line;
    EXPECT_EQ(marks[1] == 'w', has(threads_of(path, true), pid)) << line;
  }
  EXPECT_GE(files_seen, kInputs.size()) << r.out;
  EXPECT_EQ(processes_seen, report->processes.size()) << r.out;
  EXPECT_THAT(r.out, ::testing::HasSubstr(" r- " + dir() + "/plain.txt\n"));
}

// Every line of show fits the width, and a cut line ends in the indicator.
TEST_P(TracedBuild, ShowCutsLongLinesToTheColumns) {
  test::RunOptions narrow;
  narrow.env["COLUMNS"] = "40";
  const auto r = run_program({bin_path("drel-report"), "show", build().report}, narrow);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  size_t cut = 0, start = 0;
  for (size_t end = r.out.find('\n'); end != std::string::npos;
       start = end + 1, end = r.out.find('\n', start)) {
    const std::string line = r.out.substr(start, end - start);
    size_t chars = 0;
    for (unsigned char c : line) chars += (c & 0xc0) != 0x80;
    EXPECT_LE(chars, 40u) << line;
    cut += line.ends_with("…");
  }
  EXPECT_GT(cut, 0u) << r.out;
}

// The depfile of the traced build, included by the Makefile: make rebuilds out.txt exactly
// when one of the inputs the trace saw is newer, or gone.
struct MakeCase {
  const char* name;
  const char* newer;     // the input made newer than out.txt, or nullptr
  bool removed = false;  // that input is moved away instead
  int make_q_status;     // make -q: 0 up to date, 1 must rebuild
};

void PrintTo(const MakeCase& c, std::ostream* os) {
  *os << c.name;
}

const MakeCase kMakeCases[] = {
    {"up_to_date", nullptr, false, 0},     {"plain_newer", "plain.txt", false, 1},
    {"space_newer", "in 1.txt", false, 1}, {"hash_newer", "h#.txt", false, 1},
    {"dollar_newer", "d$.txt", false, 1},  {"colon_newer", "c:.txt", false, 1},
    {"percent_newer", "p%.txt", false, 1}, {"input_removed", "plain.txt", true, 1},
};

class DepfileInMake : public NeedsMake,
                      public ::testing::WithParamInterface<std::tuple<Backend, MakeCase>> {};

TEST_P(DepfileInMake, MakeSeesTheInputs) {
  const auto& [backend, c] = GetParam();
  Build& b = build_of(backend);
  ASSERT_EQ(b.trace_error, "");
  const std::string d = b.dir.path();
  const auto deps =
      run_program({bin_path("drel-report"), "deps", "--target", "out.txt", "--under", d, b.report});
  ASSERT_EQ(deps.exit_status, 0) << deps.err;
  test::write_file(d + "/out.d", deps.out);
  for (const auto& f : kInputs) set_mtime(d + "/" + f, kOld);
  set_mtime(d + "/Makefile", kOld);
  set_mtime(d + "/out.d", kOld);
  set_mtime(d + "/out.txt", kOld + 100);
  const std::string changed = c.newer ? d + "/" + c.newer : "";
  if (c.newer && !c.removed) set_mtime(changed, kOld + 200);
  if (c.removed) {
    ASSERT_EQ(std::rename(changed.c_str(), (changed + ".away").c_str()), 0);
  }
  test::RunOptions here;
  here.cwd = d;
  const auto make = run_program({"make", "-q", "out.txt"}, here);
  if (c.removed) std::rename((changed + ".away").c_str(), changed.c_str());
  EXPECT_EQ(make.exit_status, c.make_q_status) << make.err << "\n" << deps.out;
  EXPECT_EQ(make.err, "") << deps.out;
}

INSTANTIATE_TEST_SUITE_P(BothBackends, DepfileInMake,
                         ::testing::Combine(::testing::ValuesIn(kBackends),
                                            ::testing::ValuesIn(kMakeCases)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::get<1>(info.param).name;
                         });

}  // namespace
}  // namespace drel
