#include "preload/guest/exec_target.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "preload/guest/path_text.h"
#include "preload/guest/raw_syscall.h"

namespace drel::guest {
namespace {

#if defined(__x86_64__)
constexpr uint16_t kOwnMachine = EM_X86_64;
#elif defined(__i386__)
constexpr uint16_t kOwnMachine = EM_386;
#elif defined(__aarch64__)
constexpr uint16_t kOwnMachine = EM_AARCH64;
#else
#error "unsupported architecture"
#endif
constexpr unsigned char kOwnClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;

// The kernel reads this much of a file to tell its format, and a "#!" line must end in it.
constexpr size_t kHeadBytes = 256;
// It follows at most this many interpreters of interpreters.
constexpr int kMaxInterpreters = 4;

// This process's PT_INTERP, with its NUL; empty: unknown.
constinit char g_own_loader[64] = {};
constinit size_t g_own_loader_size = 0;

long pread_at(int fd, void* buf, size_t n, size_t offset) {
#if defined(__i386__)
  return raw_syscall(SYS_pread64, fd, reinterpret_cast<long>(buf), static_cast<long>(n),
                     static_cast<long>(offset), 0);
#else
  return raw_syscall(SYS_pread64, fd, reinterpret_cast<long>(buf), static_cast<long>(n),
                     static_cast<long>(offset));
#endif
}

bool is_space_or_tab(char c) { return c == ' ' || c == '\t'; }

enum class Verdict { Own, Other, Interpreter };

// What the file open on fd is. Interpreter: a "#!" line, whose interpreter's path is left
// NUL-terminated at the start of buf.
Verdict judge(int fd, char (&buf)[kHeadBytes]) {
  const long n = pread_at(fd, buf, sizeof buf, 0);
  if (n >= 2 && buf[0] == '#' && buf[1] == '!') {
    const char* end = buf + 2;
    while (end < buf + n && *end != '\n') ++end;
    if (end == buf + n) return Verdict::Other;  // the line goes on past what the kernel reads
    const char* name = buf + 2;
    while (name < end && is_space_or_tab(*name)) ++name;
    const char* name_end = name;
    while (name_end < end && !is_space_or_tab(*name_end) && *name_end != '\0') ++name_end;
    if (name_end == name) return Verdict::Other;
    const size_t len = static_cast<size_t>(name_end - name);
    memmove(buf, name, len);
    buf[len] = '\0';
    return Verdict::Interpreter;
  }
  using Ehdr = ElfW(Ehdr);
  using Phdr = ElfW(Phdr);
  if (n < static_cast<long>(sizeof(Ehdr)) || memcmp(buf, ELFMAG, SELFMAG) != 0)
    return Verdict::Other;
  Ehdr eh;
  memcpy(&eh, buf, sizeof eh);
  if (eh.e_ident[EI_CLASS] != kOwnClass || eh.e_machine != kOwnMachine ||
      eh.e_phentsize != sizeof(Phdr) || eh.e_phnum > 64)
    return Verdict::Other;
  for (size_t i = 0; i < eh.e_phnum; ++i) {
    Phdr ph;
    const size_t at = eh.e_phoff + i * sizeof ph;
    if (at + sizeof ph <= static_cast<size_t>(n)) {
      memcpy(&ph, buf + at, sizeof ph);
    } else if (pread_at(fd, &ph, sizeof ph, at) != static_cast<long>(sizeof ph)) {
      return Verdict::Other;
    }
    if (ph.p_type != PT_INTERP) continue;
    if (g_own_loader_size == 0 || ph.p_filesz != g_own_loader_size) return Verdict::Other;
    if (pread_at(fd, buf, g_own_loader_size, ph.p_offset) != static_cast<long>(g_own_loader_size))
      return Verdict::Other;
    return memcmp(buf, g_own_loader, g_own_loader_size) == 0 ? Verdict::Own : Verdict::Other;
  }
  // Statically linked: no loader reads LD_PRELOAD, but what the program starts in turn gets
  // it as it stands, past any wrapper; so it keeps the form every loader can read.
  return Verdict::Other;
}

int open_for_reading(const char* path) {
  return static_cast<int>(
      raw_syscall(SYS_openat, AT_FDCWD, reinterpret_cast<long>(path), O_RDONLY | O_CLOEXEC));
}

// Follows fd's file (owned, closed here) through its interpreters.
bool follow(int fd, char (&buf)[kHeadBytes]) {
  for (int depth = 0; fd >= 0; ++depth) {
    const Verdict v = judge(fd, buf);
    close_own(fd);
    if (v != Verdict::Interpreter) return v == Verdict::Own;
    if (depth == kMaxInterpreters) return false;
    fd = open_for_reading(buf);
  }
  return false;
}

bool is_executable(const char* path) {
  return raw_syscall(SYS_faccessat, AT_FDCWD, reinterpret_cast<long>(path), X_OK) == 0;
}

}  // namespace

void note_own_loader() noexcept {
  using Phdr = ElfW(Phdr);
  const auto* phdr = reinterpret_cast<const Phdr*>(getauxval(AT_PHDR));
  const size_t count = getauxval(AT_PHNUM);
  if (phdr == nullptr) return;
  uintptr_t bias = 0;
  bool have_bias = false;
  const Phdr* interp = nullptr;
  for (size_t i = 0; i < count; ++i) {
    if (phdr[i].p_type == PT_PHDR) {
      bias = reinterpret_cast<uintptr_t>(phdr) - phdr[i].p_vaddr;
      have_bias = true;
    } else if (phdr[i].p_type == PT_INTERP) {
      interp = &phdr[i];
    }
  }
  if (!have_bias || interp == nullptr || interp->p_filesz > sizeof g_own_loader) return;
  const char* text = reinterpret_cast<const char*>(bias + interp->p_vaddr);
  if (interp->p_filesz == 0 || text[interp->p_filesz - 1] != '\0') return;
  memcpy(g_own_loader, text, interp->p_filesz);
  g_own_loader_size = interp->p_filesz;
}

bool runs_under_own_loader(const char* file, bool search, const char* path_var) noexcept {
  if (file == nullptr || file[0] == '\0' || g_own_loader_size == 0) return false;
  char buf[kHeadBytes];
  if (!search || strchr(file, '/') != nullptr) return follow(open_for_reading(file), buf);
  // As the C library searches: the first directory holding an executable file of that name.
  const size_t file_len = c_length(file);
  const char* dirs = path_var != nullptr ? path_var : "/bin:/usr/bin";
  for (const char* d = dirs;;) {
    const char* colon = strchr(d, ':');
    const size_t dir_len = colon != nullptr ? static_cast<size_t>(colon - d) : c_length(d);
    // The file in a directory too long to name here might be the one the search takes.
    if (dir_len + 1 + file_len >= sizeof buf) return false;
    size_t o = 0;
    if (dir_len > 0) {
      memcpy(buf, d, dir_len);
      o = dir_len;
      buf[o++] = '/';
    }
    memcpy(buf + o, file, file_len + 1);
    if (is_executable(buf)) return follow(open_for_reading(buf), buf);
    if (colon == nullptr) return false;
    d = colon + 1;
  }
}

bool fd_runs_under_own_loader(int fd) noexcept {
  if (g_own_loader_size == 0) return false;
  char buf[kHeadBytes];
  const int own = static_cast<int>(raw_syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, 0));
  return follow(own, buf);
}

}  // namespace drel::guest
