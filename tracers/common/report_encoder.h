// The report's MessagePack form: records as maps with their field names as keys, in field
// order; shortest unsigned integers; float64 times; absent parent written as nil.
#pragma once

#include <cstdint>
#include <vector>

#include "common/error.h"
#include "common/report.h"

namespace drel {

// Fails only at the format's limits (a list, map or string beyond 2^32 - 1).
Result<std::vector<uint8_t>> encode_report(const TraceReport& report);

}  // namespace drel
