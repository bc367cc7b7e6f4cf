// drel-tracer-preload: trace a command, or run the preflight or its probe.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "preflight/preflight_probe.h"
#include "preload/launcher/preload_preflight.h"
#include "preload/launcher/trace_run.h"

namespace {

constexpr const char* kTracingUsage = "usage: drel-tracer-preload <output-file> <command> [args...]";
constexpr const char* kPreflightLine =
    "       drel-tracer-preload --preflight [--json] [--command <cmd>]";
constexpr const char* kPreflightUsage =
    "usage: drel-tracer-preload --preflight [--json] [--command <cmd>]";
constexpr const char* kProbeUsage = "usage: drel-tracer-preload --preflight-probe <path>";

[[noreturn]] void usage(std::initializer_list<const char*> lines) {
  for (const char* line : lines) std::fprintf(stderr, "%s\n", line);
  std::exit(2);
}

[[noreturn]] void fail(const char* prefix, const drel::Error& error) {
  std::fprintf(stderr, "%s%s\n", prefix, error.text().c_str());
  if (!error.note().empty()) std::fprintf(stderr, "%s%s\n", prefix, error.note().c_str());
  std::exit(1);
}

[[noreturn]] void preflight(const std::vector<std::string>& args) {
  bool json = false;
  std::optional<std::string> command;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "--json") {
      json = true;
    } else if (args[i] == "--command" && i + 1 < args.size()) {
      command = args[++i];
    } else {
      usage({kPreflightUsage});
    }
  }
  std::exit(drel::launcher::run_preload_preflight(json, command) ? 0 : 1);
}

[[noreturn]] void probe(const std::vector<std::string>& args) {
  if (args.size() < 3) usage({kProbeUsage});
  drel::Result<void> r = drel::run_preflight_probe(args[2], drel::kPreloadProbePayload);
  if (!r) fail("drel-tracer-preload probe: ", r.error());
  std::exit(0);
}

[[noreturn]] void trace(const std::vector<std::string>& args) {
  if (args.size() < 3) usage({kTracingUsage, kPreflightLine});
  // Arguments travel as the bytes they are; only the report shows them as UTF-8.
  const std::vector<std::string> command(args.begin() + 2, args.end());
  // The process ends right after the run: its memory is left to the kernel, reachable from a
  // static so that a leak checker counts it as kept.
  static auto* const memory = new drel::launcher::RunMemory();
  drel::Result<int> r = drel::launcher::run_preload_trace(args[1], command, *memory);
  if (!r) fail("drel-tracer-preload: ", r.error());
  std::exit(*r);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  if (args.size() < 2) usage({kTracingUsage, kPreflightLine});
  const std::string_view mode = args[1];
  if (mode == "--preflight-probe") probe(args);
  if (mode == "--preflight") preflight(args);
  trace(args);
}
