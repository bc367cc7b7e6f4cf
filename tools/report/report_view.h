// Renderings of a trace report for people (text) and for other programs (JSON).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/error.h"
#include "common/report.h"

namespace drel {

// "2026-12-07T20:12:17.123456Z"; a time no calendar can show (negative, not finite, past
// year 9999) as plain seconds.
std::string format_utc(double epoch_seconds);

// The summary: mode, times, process tree, files with read/write marks, totals.
std::string render_text(const TraceReport& report);

// The whole report as indented JSON, keys and entries in the order of the file. The bytes
// must be a valid report: it is decoded first and its error returned.
Result<std::string> render_json(std::span<const uint8_t> bytes);

}  // namespace drel
