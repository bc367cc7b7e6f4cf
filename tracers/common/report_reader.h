// Reading a report back: for the viewer and for tests that check what a tracer wrote.
//
// Accepted: any MessagePack form of each value (non-shortest integers, non-negative signed
// integers, float32 or integer times), record keys in any order, map entries in any order.
// Rejected with a message naming the place: malformed or truncated MessagePack, trailing bytes,
// wrong types, strings that are not UTF-8, counts larger than the remaining input, unknown keys
// (version 1 defines them all, so an unknown key means a different format), duplicate keys,
// missing required keys, and a version other than 1.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/report.h"

namespace drel {

Result<TraceReport> decode_report(std::span<const uint8_t> bytes);

// The whole file; errors are the operating system's.
Result<std::vector<uint8_t>> read_report_bytes(const std::string& path);

// Errors: the operating system's for reading, "not a valid trace report: <reason>" for content.
Result<TraceReport> read_report_file(const std::string& path);

}  // namespace drel
