#include "preload/launcher/command_compatibility.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::optional<std::string> judge(const std::string& path, int depth) {
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
    return judge(std::string(p, len), depth + 1);
  }
  if (n < EI_NIDENT || std::memcmp(head, ELFMAG, SELFMAG) != 0) return kNotProgram;
  // The loader ignores LD_PRELOAD for programs that change their ids.
  if ((st.st_mode & (S_ISUID | S_ISGID)) != 0) return std::string("set-user-ID");
  const bool dynamic = head[EI_CLASS] == ELFCLASS64 ? has_interpreter<Elf64_Ehdr, Elf64_Phdr>(fd.get())
                                                    : has_interpreter<Elf32_Ehdr, Elf32_Phdr>(fd.get());
  if (!dynamic) return std::string("statically linked");
  return std::nullopt;
}

}  // namespace

std::optional<std::string> command_incompatibility(const std::string& path) {
  return judge(path, 0);
}

}  // namespace drel::launcher
