// drel-report: shows a trace report as a readable summary or as JSON.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/report_reader.h"
#include "report_view.h"

namespace {

constexpr const char* kUsage = "usage: drel-report show|json FILE";

int fail(const std::string& file, const drel::Error& error) {
  std::fprintf(stderr, "drel-report: %s: %s\n", file.c_str(), error.text().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "show") != 0 && std::strcmp(argv[1], "json") != 0)) {
    std::fprintf(stderr, "%s\n", kUsage);
    return 2;
  }
  const std::string mode = argv[1];
  const std::string file = argv[2];
  auto bytes = drel::read_report_bytes(file);
  if (!bytes) return fail(file, bytes.error());
  std::string out;
  if (mode == "show") {
    auto report = drel::decode_report(*bytes);
    if (!report) return fail(file, std::move(report).error().context("not a valid trace report"));
    out = drel::render_text(*report);
  } else {
    auto json = drel::render_json(*bytes);
    if (!json) return fail(file, std::move(json).error().context("not a valid trace report"));
    out = *json + "\n";
  }
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "drel-report: writing the output failed: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}
