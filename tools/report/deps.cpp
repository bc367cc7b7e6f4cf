#include "deps.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "command_line.h"
#include "inputs.h"
#include "path_filter.h"
#include "text_line.h"

namespace drel::report {
namespace {

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string absolute(const std::string& name) {
  std::error_code ec;
  std::filesystem::path p(name);
  if (p.is_relative()) p = std::filesystem::current_path(ec) / p;
  return p.lexically_normal().string();
}

}  // namespace

std::optional<std::string> make_escape(std::string_view name, MakeRole role) {
  std::string out;
  for (char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f || c == '\\') return std::nullopt;
    if (c == '%' && role == MakeRole::kTarget) return std::nullopt;
    switch (c) {
      case '$':
        out += "$$";
        break;
      case ' ':
      case '#':
      case ':':
      case '*':
      case '?':
      case '[':
      case ']':
        out += '\\';
        out += c;
        break;
      default:
        out += c;
    }
  }
  return out;
}

int run_deps(const Options& options, const std::vector<LoadedReport>& reports, Output& output) {
  std::string rule;
  std::vector<std::string> target_paths;
  for (const auto& t : options.targets) {
    auto escaped = make_escape(t, MakeRole::kTarget);
    if (!escaped || t.empty()) {
      output.err = "drel-report: deps: make cannot name the target " + printable(t) + "\n" +
                   subcommand_usage(*find_subcommand("deps"));
      return 2;
    }
    if (!rule.empty()) rule += ' ';
    rule += *escaped;
    target_paths.push_back(absolute(t));
  }
  rule += ':';
  std::vector<std::string> inputs;  // escaped
  std::vector<std::string> input_names;
  for (const auto& path : input_paths(reports.front().report, PathFilter(options))) {
    if (std::find(target_paths.begin(), target_paths.end(), path) != target_paths.end()) continue;
    if (is_directory(path)) continue;
    auto escaped = make_escape(path, MakeRole::kPrerequisite);
    if (!escaped) {
      output.err +=
          "drel-report: deps: left out " + printable(path) + ": make cannot name it in a rule\n";
      continue;
    }
    inputs.push_back(std::move(*escaped));
    input_names.push_back(path);
  }
  for (const auto& in : inputs) rule += " \\\n " + in;
  rule += '\n';
  if (!inputs.empty()) rule += '\n';
  for (const auto& path : input_names) {
    if (auto target = make_escape(path, MakeRole::kTarget)) rule += *target + ":\n";
  }
  output.out = std::move(rule);
  return 0;
}

}  // namespace drel::report
