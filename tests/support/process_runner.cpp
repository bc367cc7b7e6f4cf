#include "process_runner.h"

#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace drel::test {
namespace {

std::vector<std::string> child_environment(const RunOptions& options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq == std::string::npos) continue;
    env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : options.env) {
    if (value)
      env[name] = *value;
    else
      env.erase(name);
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : env) out.push_back(name + "=" + value);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (auto& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

}  // namespace

RunResult run_program(const std::vector<std::string>& argv_in, const RunOptions& options) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  std::vector<std::string> argv = argv_in;
  std::vector<std::string> envs = child_environment(options);
  auto argp = pointers(argv);
  auto envp = pointers(envs);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    // Only 0-2, whatever the test runner inherited.
    close_range(3, ~0U, 0);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execvpe(argp[0], argp.data(), envp.data());
    dprintf(2, "run_program: exec %s: %s\n", argp[0], strerror(errno));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // Feed stdin and read both outputs together, so neither pipe can fill and stall the child.
  size_t fed = 0;
  if (options.stdin_data.empty()) {
    close(in[1]);
    in[1] = -1;
  }
  RunResult result;
  pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
  int open_outputs = 2;
  while (open_outputs > 0 || fds[2].fd >= 0) {
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
        char buf[65536];
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
          (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open_outputs;
        }
      }
    }
    if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(fds[2].fd, options.stdin_data.data() + fed, options.stdin_data.size() - fed);
      if (n > 0) fed += static_cast<size_t>(n);
      if (n < 0 || fed == options.stdin_data.size()) {
        close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string bin_dir() {
  if (const char* d = getenv("DREL_BIN_DIR"); d && *d) return d;
  return DREL_BUILD_BIN_DIR;
}

std::string bin_path(const std::string& name) { return bin_dir() + "/" + name; }

std::string fixture_path(const std::string& name) {
  if (const char* d = getenv("DREL_FIXTURE_DIR"); d && *d) return std::string(d) + "/" + name;
  return std::string(DREL_BUILD_FIXTURE_DIR) + "/" + name;
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/drel-test-XXXXXX";
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  // Canonical, so tests can compare against paths the tracers resolve.
  path_ = std::filesystem::canonical(templ).string();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool loads_the_dynamic_loader(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Elf64_Ehdr header{};
  if (!in.read(reinterpret_cast<char*>(&header), sizeof header)) return false;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64)
    return false;
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr program_header{};
    in.seekg(static_cast<std::streamoff>(header.e_phoff + i * sizeof program_header));
    if (!in.read(reinterpret_cast<char*>(&program_header), sizeof program_header)) return false;
    if (program_header.p_type == PT_INTERP) return true;
  }
  return false;
}

}  // namespace drel::test
