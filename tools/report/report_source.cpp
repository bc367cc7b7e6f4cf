#include "report_source.h"

#include <unistd.h>

#include "common/file_system.h"
#include "common/report_reader.h"

namespace drel::report {

std::string operand_name(const std::string& operand) {
  return operand == "-" ? "standard input" : operand;
}

Result<LoadedReport> load_report(const std::string& operand) {
  Result<std::string> bytes = operand == "-" ? read_to_end(STDIN_FILENO) : read_whole_file(operand);
  if (!bytes) return std::move(bytes).error();
  auto report =
      decode_report(std::span(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()));
  if (!report) return std::move(report).error().context("not a valid trace report");
  return LoadedReport{operand_name(operand), std::vector<uint8_t>(bytes->begin(), bytes->end()),
                      std::move(report).value()};
}

}  // namespace drel::report
