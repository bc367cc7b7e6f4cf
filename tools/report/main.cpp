// drel-report: reads a trace report and answers what a build engineer asks of it.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command_line.h"
#include "report_source.h"

namespace {

bool write_all(FILE* stream, const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), stream) == text.size() &&
         std::fflush(stream) == 0;
}

// show cuts its lines to the terminal: COLUMNS when set, else the terminal's width, else 100
// (a pipe or a file).
size_t terminal_width() {
  if (const char* columns = std::getenv("COLUMNS")) {
    char* end = nullptr;
    const long n = std::strtol(columns, &end, 10);
    if (end != columns && *end == '\0' && n > 0) return static_cast<size_t>(n);
  }
  winsize ws{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 100;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace drel::report;
  ParseOutcome parsed = parse_command_line(argc, argv);
  if (!parsed.invocation) {
    write_all(stderr, parsed.err);
    if (!write_all(stdout, parsed.out)) return 1;
    return parsed.status;
  }
  const Invocation& inv = *parsed.invocation;
  Options options = inv.options;
  if (!options.wide) options.width = terminal_width();

  std::vector<LoadedReport> reports;
  for (const auto& operand : inv.operands) {
    auto loaded = load_report(operand);
    if (!loaded) {
      write_all(stderr,
                "drel-report: " + operand_name(operand) + ": " + loaded.error().text() + "\n");
      return inv.subcommand->error_status;
    }
    reports.push_back(std::move(loaded).value());
  }
  Output output;
  const int status = inv.subcommand->run(options, reports, output);
  write_all(stderr, output.err);
  if (!write_all(stdout, output.out)) {
    std::fprintf(stderr, "drel-report: writing the output failed: %s\n", std::strerror(errno));
    return inv.subcommand->error_status;
  }
  return status;
}
