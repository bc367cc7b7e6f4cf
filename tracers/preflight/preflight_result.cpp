#include "preflight/preflight_result.h"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace drel {

std::string format_preflight_text(const PreflightResult& result) {
  std::string out = result.backend + " preflight " + (result.ok ? "passed" : "failed") + ": " +
                    result.summary + "\n";
  if (result.command_checked) out += "  command: " + *result.command_checked + "\n";
  for (const PreflightCheck& check : result.checks) {
    out += "  - " + check.name + ": " + (check.ok ? "ok" : "fail");
    if (check.detail) out += " (" + *check.detail + ")";
    out += "\n";
  }
  return out;
}

Result<std::string> format_preflight_json(const PreflightResult& result) {
  using Json = nlohmann::ordered_json;  // key order is part of the output
  auto optional_text = [](const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
  };
  try {
    Json checks = Json::array();
    for (const PreflightCheck& check : result.checks) {
      Json entry = Json::object();
      entry["name"] = check.name;
      entry["ok"] = check.ok;
      entry["detail"] = optional_text(check.detail);
      checks.push_back(std::move(entry));
    }
    Json doc = Json::object();
    doc["backend"] = result.backend;
    doc["ok"] = result.ok;
    doc["summary"] = result.summary;
    doc["command_checked"] = optional_text(result.command_checked);
    doc["warnings"] = Json(result.warnings);
    doc["checks"] = std::move(checks);
    return doc.dump() + "\n";
  } catch (const nlohmann::json::exception&) {
    // Texts reach the result converted to UTF-8, so only an internal fault gets here.
    return Error("failed to serialize preflight JSON");
  }
}

Result<void> print_preflight_result(const PreflightResult& result, bool json) {
  std::string out;
  if (json) {
    Result<std::string> formatted = format_preflight_json(result);
    if (!formatted) return std::move(formatted).error();
    out = std::move(*formatted);
  } else {
    out = format_preflight_text(result);
  }
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
    return Error("failed to print preflight result");
  }
  return Ok{};
}

}  // namespace drel
