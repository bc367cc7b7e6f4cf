#include "preload/launcher/command_compatibility.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "support/process_runner.h"

namespace drel::launcher {
namespace {

// The headers of a dynamically linked ELF program (or library) of the given class and machine:
// all that is read of it.
template <typename Ehdr, typename Phdr>
std::string elf_headers(unsigned char elf_class, uint16_t machine) {
  Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = elf_class;
  header.e_ident[EI_DATA] = ELFDATA2LSB;
  header.e_ident[EI_VERSION] = EV_CURRENT;
  header.e_type = ET_DYN;
  header.e_machine = machine;
  header.e_phoff = sizeof header;
  header.e_phentsize = sizeof(Phdr);
  header.e_phnum = 1;
  Phdr interp{};
  interp.p_type = PT_INTERP;
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) +
         std::string(reinterpret_cast<const char*>(&interp), sizeof interp);
}

std::string elf_file(const std::string& path, unsigned char elf_class, uint16_t machine) {
  test::write_file(path, elf_class == ELFCLASS32 ? elf_headers<Elf32_Ehdr, Elf32_Phdr>(elf_class, machine)
                                                 : elf_headers<Elf64_Ehdr, Elf64_Phdr>(elf_class, machine));
  ::chmod(path.c_str(), 0755);
  return path;
}

// The library files the loaders may load: the native build (this test program has its class
// and machine), with or without a 32-bit i386 one.
std::vector<std::string> native_only(const std::string&) { return {"/proc/self/exe"}; }
std::vector<std::string> native_and_i386(const std::string& dir) {
  return {"/proc/self/exe", elf_file(dir + "/lib32.so", ELFCLASS32, EM_386)};
}

struct CompatibilityCase {
  std::string name;
  // Makes the command in dir and returns its path; empty when the machine lacks what it needs.
  std::string (*make)(const std::string& dir);
  std::optional<std::string> why;
  std::vector<std::string> (*libraries)(const std::string& dir) = native_only;
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
  EXPECT_EQ(command_incompatibility(path, GetParam().libraries(dir.path())), GetParam().why);
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
                          "not an ELF executable or script"},
        CompatibilityCase{"ThirtyTwoBitProgramWithoutItsBuild",
                          [](const std::string& d) { return elf_file(d + "/p", ELFCLASS32, EM_386); },
                          "32-bit program and no 32-bit build of the library"},
        CompatibilityCase{"ThirtyTwoBitProgramWithItsBuild",
                          [](const std::string& d) { return elf_file(d + "/p", ELFCLASS32, EM_386); },
                          std::nullopt, native_and_i386},
        CompatibilityCase{"X32ProgramBesideBothBuilds",
                          [](const std::string& d) { return elf_file(d + "/p", ELFCLASS32, EM_X86_64); },
                          "program for another processor or ABI than the library", native_and_i386},
        CompatibilityCase{"UnreadableLibraryJudgesNoClass",
                          [](const std::string& d) { return elf_file(d + "/p", ELFCLASS32, EM_386); },
                          std::nullopt,
                          [](const std::string& d) { return std::vector<std::string>{d + "/absent.so"}; }}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace drel::launcher
