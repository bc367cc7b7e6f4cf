// drel-tracer: trace a command under ptrace, or run the preflight or its probe.
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "preflight/preflight_probe.h"
#include "ptrace_preflight.h"
#include "trace_run.h"

namespace {

constexpr const char* kFullUsage =
    "Usage: drel-tracer <output-file> <command> [args...]\n"
    "       drel-tracer --preflight [--json] [--command <cmd>]\n"
    "  Traces <command> and writes syscall data to <output-file>\n";
constexpr const char* kPreflightUsage =
    "usage: drel-tracer --preflight [--json] [--command <cmd>]\n";
constexpr const char* kProbeUsage = "usage: drel-tracer --preflight-probe <path>\n";

[[noreturn]] void usage_exit(const char* text, int status) {
  std::cerr << text << std::flush;
  std::exit(status);
}

[[noreturn]] void preflight(const std::vector<std::string>& args) {
  bool json = false;
  std::optional<std::string> command;
  for (std::size_t i = 2; i < args.size();) {
    if (args[i] == "--json") {
      json = true;
      i += 1;
    } else if (args[i] == "--command" && i + 1 < args.size()) {
      command = args[i + 1];
      i += 2;
    } else {
      usage_exit(kPreflightUsage, 2);
    }
  }
  std::exit(drel::run_ptrace_preflight(json, command) ? 0 : 1);
}

[[noreturn]] void probe(const std::vector<std::string>& args) {
  if (args.size() < 3) usage_exit(kProbeUsage, 2);
  const drel::Result<void> r = drel::run_preflight_probe(args[2], drel::kPtraceProbePayload);
  if (!r) {
    std::cerr << "drel-tracer probe: " << r.error().text() << '\n' << std::flush;
    std::exit(1);
  }
  std::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  // Arguments are kept as bytes: the command runs exactly as given.
  const std::vector<std::string> args(argv, argv + argc);
  if (args.size() < 2) usage_exit(kFullUsage, 1);
  if (args[1] == "--preflight") preflight(args);
  if (args[1] == "--preflight-probe") probe(args);
  if (args.size() == 2) usage_exit(kFullUsage, 1);

  const std::vector<std::string> command(args.begin() + 2, args.end());
  const int status = drel::run_trace(command, args[1]);
  std::cout << std::flush;
  std::exit(status);
}
