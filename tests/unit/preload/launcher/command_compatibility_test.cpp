#include "preload/launcher/command_compatibility.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "support/process_runner.h"

namespace drel::launcher {
namespace {

struct CompatibilityCase {
  std::string name;
  // Makes the command in dir and returns its path; empty when the machine lacks what it needs.
  std::string (*make)(const std::string& dir);
  std::optional<std::string> why;
};

void PrintTo(const CompatibilityCase& c, std::ostream* os) { *os << c.name; }

std::string script(const std::string& dir, const std::string& name, const std::string& text) {
  const std::string path = dir + "/" + name;
  test::write_file(path, text);
  ::chmod(path.c_str(), 0755);
  return path;
}

std::string copy_of(const std::string& dir, const std::string& from, mode_t mode) {
  if (::access(from.c_str(), R_OK) != 0) return "";
  const std::string path = dir + "/copy";
  test::write_file(path, test::read_file(from));
  ::chmod(path.c_str(), mode);
  return path;
}

class CommandCompatibility : public testing::TestWithParam<CompatibilityCase> {};

TEST_P(CommandCompatibility, TellsWhyTheLibraryCannotSeeIn) {
  test::TempDir dir;
  const std::string path = GetParam().make(dir.path());
  if (path.empty()) GTEST_SKIP() << "the program this case copies is not installed";
  EXPECT_EQ(command_incompatibility(path), GetParam().why);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandCompatibility,
    testing::Values(
        CompatibilityCase{"DynamicProgram", [](const std::string&) { return std::string("/bin/sh"); },
                          std::nullopt},
        CompatibilityCase{"ScriptOfADynamicShell",
                          [](const std::string& d) { return script(d, "s", "#! /bin/sh -e\necho\n"); },
                          std::nullopt},
        CompatibilityCase{"StaticProgram",
                          [](const std::string& d) { return copy_of(d, "/sbin/ldconfig", 0755); },
                          "statically linked"},
        CompatibilityCase{"ScriptOfAStaticInterpreter",
                          [](const std::string& d) {
                            const std::string interpreter = copy_of(d, "/sbin/ldconfig", 0755);
                            if (interpreter.empty()) return interpreter;
                            return script(d, "s", "#!" + interpreter + "\n");
                          },
                          "statically linked"},
        CompatibilityCase{"SetUserIdProgram",
                          [](const std::string& d) { return copy_of(d, "/bin/sh", 04755); },
                          "set-user-ID"},
        CompatibilityCase{"TextWithoutInterpreterLine",
                          [](const std::string& d) { return script(d, "t", "echo hi\n"); },
                          "not an ELF executable or script"},
        CompatibilityCase{"Directory", [](const std::string& d) { return d; },
                          "not an ELF executable or script"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace drel::launcher
