#include "preload/launcher/command_compatibility.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/unique_fd.h"

namespace drel::launcher {
namespace {

constexpr int kMaxInterpreters = 4;  // the kernel follows "#!" this deep too
constexpr char kNotProgram[] = "not an ELF executable or script";

bool read_at(int fd, off_t offset, void* out, size_t n) {
  return ::pread(fd, out, n, offset) == static_cast<ssize_t>(n);
}

// Whether the ELF file names a program interpreter (the dynamic loader, which reads
// LD_PRELOAD); a program without one, static-pie included, never loads the library.
template <typename Ehdr, typename Phdr>
bool has_interpreter(int fd) {
  Ehdr header;
  if (!read_at(fd, 0, &header, sizeof header)) return false;
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    Phdr ph;
    if (!read_at(fd, static_cast<off_t>(header.e_phoff + i * sizeof(Phdr)), &ph, sizeof ph))
      return false;
    if (ph.p_type == PT_INTERP) return true;
  }
  return false;
}

// What a loader checks before it maps a library into a program: the ELF class and machine.
struct ElfKind {
  unsigned char elf_class = ELFCLASSNONE;
  uint16_t machine = EM_NONE;
  bool operator==(const ElfKind&) const = default;
};

// e_machine sits at the same offset in both classes.
std::optional<ElfKind> kind_of(const unsigned char* head, ssize_t n) {
  if (n < static_cast<ssize_t>(sizeof(Elf32_Ehdr)) || std::memcmp(head, ELFMAG, SELFMAG) != 0)
    return std::nullopt;
  ElfKind kind;
  kind.elf_class = head[EI_CLASS];
  std::memcpy(&kind.machine, head + offsetof(Elf32_Ehdr, e_machine), sizeof kind.machine);
  return kind;
}

std::optional<ElfKind> kind_of_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  unsigned char head[sizeof(Elf32_Ehdr)] = {};
  if (!fd) return std::nullopt;
  return kind_of(head, ::pread(fd.get(), head, sizeof head, 0));
}

std::optional<std::string> judge(const std::string& path, const std::vector<ElfKind>& served,
                                 int depth) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kNotProgram;
  char head[256] = {};
  const ssize_t n = ::pread(fd.get(), head, sizeof head - 1, 0);
  if (n >= 2 && head[0] == '#' && head[1] == '!') {
    if (depth >= kMaxInterpreters) return kNotProgram;
    const char* p = head + 2;
    while (*p == ' ' || *p == '\t') ++p;
    const size_t len = std::strcspn(p, " \t\n");
    if (len == 0) return kNotProgram;
    return judge(std::string(p, len), served, depth + 1);
  }
  if (n < EI_NIDENT || std::memcmp(head, ELFMAG, SELFMAG) != 0) return kNotProgram;
  // The loader ignores LD_PRELOAD for programs that change their ids.
  if ((st.st_mode & (S_ISUID | S_ISGID)) != 0) return std::string("set-user-ID");
  const bool dynamic = head[EI_CLASS] == ELFCLASS64 ? has_interpreter<Elf64_Ehdr, Elf64_Phdr>(fd.get())
                                                    : has_interpreter<Elf32_Ehdr, Elf32_Phdr>(fd.get());
  if (!dynamic) return std::string("statically linked");
  // The loader refuses a library of another class or machine and runs the program untraced.
  const std::optional<ElfKind> kind = kind_of(reinterpret_cast<const unsigned char*>(head), n);
  if (kind && !served.empty() && std::find(served.begin(), served.end(), *kind) == served.end()) {
    if (kind->elf_class == ELFCLASS32 && kind->machine == EM_386)
      return std::string("32-bit program and no 32-bit build of the library");
    return std::string("program for another processor or ABI than the library");
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> command_incompatibility(const std::string& path,
                                                   const std::vector<std::string>& libraries) {
  std::vector<ElfKind> served;
  for (const std::string& library : libraries) {
    if (std::optional<ElfKind> kind = kind_of_file(library)) served.push_back(*kind);
  }
  return judge(path, served, 0);
}

}  // namespace drel::launcher
