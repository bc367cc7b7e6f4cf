#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "preload/launcher/library_lookup.h"
#include "preload/launcher/trace_run.h"
#include "support/process_runner.h"

namespace drel::launcher {
namespace {

struct LookupCase {
  std::string name;
  std::vector<std::string> files;     // created beside the executable
  std::optional<std::string> found;   // expected file name, if any
};

void PrintTo(const LookupCase& c, std::ostream* os) { *os << c.name; }

class LibraryLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(LibraryLookup, BesideTheExecutable) {
  test::TempDir dir;
  for (const std::string& f : GetParam().files) test::write_file(dir / f, "");
  const auto found = find_preload_library(std::nullopt, dir / "drel-tracer-preload");
  if (GetParam().found) {
    EXPECT_EQ(found, dir / *GetParam().found);
  } else {
    EXPECT_EQ(found, std::nullopt);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, LibraryLookup,
    ::testing::Values(
        LookupCase{"ExactNameFirst",
                   {"libdrel_tracer_preload-1.so", "libdrel-tracer-preload.so",
                    "libdrel_tracer_preload.so"},
                   "libdrel_tracer_preload.so"},
        LookupCase{"DashedExactName",
                   {"libdrel_tracer_preload-1.so", "libdrel-tracer-preload.so"},
                   "libdrel-tracer-preload.so"},
        LookupCase{"ListingFindsVersioned", {"libdrel_tracer_preload-1.so"},
                   "libdrel_tracer_preload-1.so"},
        LookupCase{"ListingFindsDashedStem", {"libdrel-tracer-preload-1a2b.so"},
                   "libdrel-tracer-preload-1a2b.so"},
        LookupCase{"WrongSuffix", {"libdrel_tracer_preload-1.so.1", "libdrel_tracer_preload.a"},
                   std::nullopt},
        LookupCase{"OtherStem", {"libdrel_tracer_preloaX-1.so", "xlibdrel_tracer_preload.so"},
                   std::nullopt},
        LookupCase{"Nothing", {}, std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST(LibraryLookupOverride, ExistingOverrideWins) {
  test::TempDir dir;
  test::write_file(dir / "libdrel_tracer_preload.so", "");
  test::write_file(dir / "custom.so", "");
  EXPECT_EQ(find_preload_library(dir / "custom.so", dir / "prog"), dir / "custom.so");
}

TEST(LibraryLookupOverride, OverrideNamingNothingIsIgnored) {
  test::TempDir dir;
  test::write_file(dir / "libdrel_tracer_preload-1.so", "");
  EXPECT_EQ(find_preload_library(dir / "missing.so", dir / "prog"),
            dir / "libdrel_tracer_preload-1.so");
  EXPECT_EQ(find_preload_library(std::string(""), dir / "prog"),
            dir / "libdrel_tracer_preload-1.so");
}

TEST(LibraryLookupOverride, OverrideThatIsNotUtf8IsIgnored) {
  test::TempDir dir;
  const std::string odd = dir / "lib\xff.so";
  test::write_file(odd, "");
  EXPECT_EQ(find_preload_library(odd, dir / "prog"), std::nullopt);
}

TEST(LibraryLookupOverride, NoExecutableMeansNoLibrary) {
  EXPECT_EQ(find_preload_library(std::nullopt, std::nullopt), std::nullopt);
  EXPECT_EQ(find_preload_library(std::nullopt, std::string("prog")), std::nullopt);
}

// ---- the name LD_PRELOAD gets: "$LIB" where both classes' builds sit beside the library ----

struct EntryCase {
  std::string name;
  std::vector<std::string> files;  // under the library's directory, directories made
  std::string library;             // file name under the directory (or "$LIB/..." as given)
  std::string native_dir, i386_dir;
  std::string entry;               // expected, under the directory
  std::vector<std::string> loaded;  // expected files the loaders may load, under the directory
};

void PrintTo(const EntryCase& c, std::ostream* os) { *os << c.name; }

class PreloadEntry : public ::testing::TestWithParam<EntryCase> {};

TEST_P(PreloadEntry, NamesEachClassWhereBothAreBuilt) {
  const EntryCase& c = GetParam();
  test::TempDir dir;
  for (const std::string& f : c.files) {
    std::filesystem::create_directories(std::filesystem::path(dir / f).parent_path());
    test::write_file(dir / f, "");
  }
  EXPECT_EQ(preload_entry(dir / c.library, c.native_dir, c.i386_dir), dir / c.entry);
  std::vector<std::string> loaded;
  for (const std::string& f : c.loaded) loaded.push_back(dir / f);
  EXPECT_EQ(preloaded_files(dir / c.library, c.native_dir, c.i386_dir), loaded);
}

const std::string kLib = "libdrel_tracer_preload.so";
const std::string kNative = "lib/x86_64-linux-gnu";

INSTANTIATE_TEST_SUITE_P(
    Classes, PreloadEntry,
    ::testing::Values(
        EntryCase{"BothClassesBuilt", {kLib, kNative + "/" + kLib, "lib32/" + kLib}, kLib,
                  kNative, "lib32", "$LIB/" + kLib, {kNative + "/" + kLib, "lib32/" + kLib}},
        EntryCase{"NoTwinBeside", {kLib, kNative + "/" + kLib}, kLib, kNative, "lib32", kLib,
                  {kLib}},
        EntryCase{"NoNativeLinkBeside", {kLib, "lib32/" + kLib}, kLib, kNative, "lib32", kLib,
                  {kLib}},
        EntryCase{"BuildWithoutTwin", {kLib, kNative + "/" + kLib, "lib32/" + kLib}, kLib, "",
                  "", kLib, {kLib}},
        EntryCase{"OtherFileNameNeedsItsOwnPair",
                  {"custom.so", kNative + "/" + kLib, "lib32/" + kLib}, "custom.so", kNative,
                  "lib32", "custom.so", {"custom.so"}},
        EntryCase{"AlreadyNamedThroughLib", {}, "$LIB/" + kLib, kNative, "lib32",
                  "$LIB/" + kLib, {kNative + "/" + kLib, "lib32/" + kLib}}),
    [](const auto& info) { return info.param.name; });

struct EnvCase {
  std::string name;
  std::vector<const char*> env;
  std::string expected_preload;
  std::string expected_asan = "verify_asan_link_order=0";
};

void PrintTo(const EnvCase& c, std::ostream* os) { *os << c.name; }

class ChildEnvironment : public ::testing::TestWithParam<EnvCase> {};

TEST_P(ChildEnvironment, LibraryComesFirst) {
  std::vector<const char*> env = GetParam().env;
  env.push_back(nullptr);
  const std::vector<std::string> out = child_environment(env.data(), "/lib/p.so", "/lib/p.so", "/tmp/s.sock");
  std::vector<std::string> preload, lib, sock, asan;
  size_t others = 0;
  for (const std::string& e : out) {
    if (e.starts_with("LD_PRELOAD=")) preload.push_back(e);
    else if (e.starts_with("DREL_PRELOAD_LIB=")) lib.push_back(e);
    else if (e.starts_with("DREL_PRELOAD_TRACE_SOCK=")) sock.push_back(e);
    else if (e.starts_with("ASAN_OPTIONS=")) asan.push_back(e);
    else ++others;
  }
  EXPECT_EQ(preload, std::vector<std::string>{"LD_PRELOAD=" + GetParam().expected_preload});
  EXPECT_EQ(lib, std::vector<std::string>{"DREL_PRELOAD_LIB=/lib/p.so"});
  EXPECT_EQ(sock, std::vector<std::string>{"DREL_PRELOAD_TRACE_SOCK=/tmp/s.sock"});
  EXPECT_EQ(asan, std::vector<std::string>{"ASAN_OPTIONS=" + GetParam().expected_asan});
  EXPECT_EQ(others, 1u);  // HOME, passed through untouched
}

INSTANTIATE_TEST_SUITE_P(
    Preload, ChildEnvironment,
    ::testing::Values(
        EnvCase{"Unset", {"HOME=/h"}, "/lib/p.so"},
        EnvCase{"Empty", {"LD_PRELOAD=", "HOME=/h"}, "/lib/p.so"},
        EnvCase{"NotUtf8", {"LD_PRELOAD=/x\xff.so", "HOME=/h"}, "/lib/p.so"},
        EnvCase{"Chained", {"LD_PRELOAD=/opt/x.so", "HOME=/h"}, "/lib/p.so:/opt/x.so"},
        EnvCase{"OldTraceVariablesReplaced",
                {"DREL_PRELOAD_TRACE_SOCK=/old", "HOME=/h", "DREL_PRELOAD_LIB=/old.so",
                 "LD_PRELOAD=/a.so:/b.so"},
                "/lib/p.so:/a.so:/b.so"},
        EnvCase{"AsanOptionsKeptBehindTheLinkOrderCheck",
                {"ASAN_OPTIONS=detect_leaks=0", "HOME=/h"}, "/lib/p.so",
                "verify_asan_link_order=0:detect_leaks=0"},
        EnvCase{"AsanLinkOrderTheUserSetWins",
                {"ASAN_OPTIONS=verify_asan_link_order=1", "HOME=/h"}, "/lib/p.so",
                "verify_asan_link_order=1"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace drel::launcher
