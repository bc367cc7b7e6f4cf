#include "decoding_observer.h"

#include <elf.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <sched.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string_view>

#include "arch/registers.h"
#include "common/proc_info.h"
#include "common/utf8.h"
#include "path_resolution.h"

namespace drel {
namespace {

std::string proc_path(pid_t task, const char* what) {
  return "/proc/" + std::to_string(task) + "/" + what;
}

std::optional<std::string> read_link_text(const std::string& link) {
  std::array<char, PATH_MAX + 1> buf;
  const ssize_t n = ::readlink(link.c_str(), buf.data(), buf.size());
  if (n < 0 || static_cast<std::size_t>(n) >= buf.size()) return std::nullopt;
  return std::string(buf.data(), static_cast<std::size_t>(n));
}

// The first bytes of a file, at most `n`; empty when it cannot be read. Never waits for a FIFO's
// writer nor takes a terminal.
std::string file_head(const std::string& path, std::size_t n) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return {};
  std::string head(n, '\0');
  const ssize_t got = ::read(fd, head.data(), n);
  ::close(fd);
  head.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return head;
}

// The interpreter a "#!" line names, or "" when the text is not such a line.
std::string_view interpreter_of(std::string_view head) {
  if (head.substr(0, 2) != "#!") return {};
  head.remove_prefix(2);
  const auto start = head.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  head.remove_prefix(start);
  return head.substr(0, head.find_first_of(" \t\n"));
}

// CLONE_UNTRACED keeps a child from being traced, and the filter would then fail its calls with
// ENOSYS: the flag is cleared before the call runs. clone has its flags in the first argument,
// clone3 in the first field of the structure it points to.
void clear_clone_untraced(pid_t task, SyscallKind kind, const uint64_t args[6]) {
  if (kind == SyscallKind::Clone) {
    if ((args[0] & CLONE_UNTRACED) != 0) set_syscall_argument(task, 0, args[0] & ~uint64_t{CLONE_UNTRACED});
    return;
  }
  errno = 0;
  auto* at = reinterpret_cast<void*>(args[0]);
  const long flags = ::ptrace(PTRACE_PEEKDATA, task, at, nullptr);
  if (errno != 0 || (static_cast<unsigned long>(flags) & CLONE_UNTRACED) == 0) return;
  ::ptrace(PTRACE_POKEDATA, task, at,
           reinterpret_cast<void*>(static_cast<unsigned long>(flags) & ~CLONE_UNTRACED));
}

// Whether the task has the descriptor open: its /proc link is there. One the tracer may not
// look at counts as open.
bool descriptor_open(pid_t task, int fd) {
  const std::string link = proc_path(task, "fd/") + std::to_string(fd);
  struct stat st;
  return ::lstat(link.c_str(), &st) == 0 || errno != ENOENT;
}

}  // namespace

bool DecodingObserver::on_seccomp_stop(pid_t task) {
  const std::optional<SyscallRegs> regs = read_syscall_regs(task);
  if (!regs) return false;
  const std::optional<TracedCall> call = normalize_call(regs->nr, regs->args);
  if (!call) {
    // Not a call of our filter: the program's own filter asked for a tracer it does not have.
    fail_syscall_with_enosys(task);
    return false;
  }
  switch (call_family(call->kind)) {
    case CallFamily::Clone:
      clear_clone_untraced(task, call->kind, regs->args);
      return false;
    case CallFamily::Unseen:
      if (!warned_io_uring_) {
        warned_io_uring_ = true;
        std::cerr << "Warning: process " << task
                  << " set up io_uring; the file accesses it makes through it are not recorded\n";
      }
      return false;
    default:
      return decoder_.decode_entry(task, *call);
  }
}

void DecodingObserver::on_syscall_exit(pid_t task) {
  if (const std::optional<int64_t> result = read_syscall_result(task)) {
    decoder_.decode_exit(task, *result);
  }
}

void DecodingObserver::on_new_task(pid_t parent, pid_t child) {
  // The kernel says whether the two share one descriptor table (CLONE_FILES).
  const bool shared = ::syscall(SYS_kcmp, parent, child, KCMP_FILES, 0, 0) == 0;
  decoder_.on_new_task(parent, child, shared);
}

const DecodingObserver::ExecSeen& DecodingObserver::read_exec(pid_t task) {
  exec_.is_32_bit.reset();
  if (const std::optional<ExecStack> stack = read_exec_stack(task)) {
    exec_.is_32_bit = stack->word_bytes == 4;
    if (exec_reader_.read(task, stack->pointer, stack->word_bytes, exec_.strings)) {
      exec_.has_cmdline = true;
      return exec_;
    }
  }
  exec_.has_cmdline = read_proc_text_into(proc_path(task, "cmdline"), exec_.strings.cmdline);
  if (!read_proc_text_into(proc_path(task, "environ"), exec_.strings.environ_text)) {
    exec_.strings.environ_text.clear();
  }
  return exec_;
}

std::vector<std::string> DecodingObserver::executed_files(pid_t task, const ExecSeen& exec) {
  std::vector<std::string> out;
  const std::string exe_link = proc_path(task, "exe");
  const std::optional<std::string> exe = read_link_text(exe_link);
  if (!exe) return out;
  out.push_back(lossy_utf8(*exe));
  // The registers told the class unless they could not be read; the program's head tells it too.
  bool is_32_bit = false;
  if (exec.is_32_bit) {
    is_32_bit = *exec.is_32_bit;
  } else {
    const std::string head = file_head(exe_link, EI_CLASS + 1);
    is_32_bit = head.size() > EI_CLASS && head.compare(0, SELFMAG, ELFMAG) == 0 &&
                head[EI_CLASS] == ELFCLASS32;
  }
  if (is_32_bit && !warned_32_bit_) {
    warned_32_bit_ = true;
    std::cerr << "Warning: process " << task << " runs the 32-bit program " << out.back()
              << "; its file accesses are not recorded\n";
  }
  // For a script the kernel starts the interpreter with the script's name after the
  // interpreter's own (and its one optional argument).
  if (!exec.has_cmdline) return out;
  std::vector<std::string_view> args;
  for (std::string_view rest(exec.strings.cmdline); !rest.empty() && args.size() < 3;) {
    const auto nul = rest.find('\0');
    args.push_back(rest.substr(0, nul));
    rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
  }
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i].empty()) continue;
    // Opened as the task names it (through its working directory); only a file that starts
    // with the right #! line is worth resolving.
    const std::string as_named = args[i].front() == '/'
                                     ? std::string(args[i])
                                     : proc_path(task, "cwd/") + std::string(args[i]);
    // The kernel runs only regular files as scripts; opening anything else (a FIFO, a device)
    // could block the tracer or have effects of its own.
    struct stat st;
    if (::stat(as_named.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (interpreter_of(file_head(as_named, PATH_MAX)) != args[0]) continue;
    WorkingDirectory cwd;
    std::string script;
    resolve_path_at_into(cwd, task, args[i], AT_FDCWD, nullptr, script);
    out.push_back(std::move(script));
    break;
  }
  return out;
}

void DecodingObserver::record_exec(pid_t task, const ExecSeen& exec) {
  decoder_.on_exec(task, executed_files(task, exec),
                   [task](int fd) { return descriptor_open(task, fd); });
}

void DecodingObserver::on_exec(pid_t task) {
  record_exec(task, read_exec(task));
}

void DecodingObserver::on_task_gone(pid_t task) {
  decoder_.task_gone(task);
}

}  // namespace drel
