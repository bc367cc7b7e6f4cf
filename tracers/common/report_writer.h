// Storing a report: encoded completely in memory first, then written to a temporary file
// beside the target and renamed over it, so a failed encoding or write leaves an existing
// report as it was and a reader never sees a partial one.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/error.h"
#include "common/report.h"

namespace drel {

// Stores bytes at path. A symbolic link is followed to the file it names (the link stays). A
// missing or regular target is replaced by rename: the temporary file sits in the target's
// directory, with the target's permission bits and owner (a new file: 0666 less the umask).
// An existing target that is not a regular file (a terminal, /dev/full, a FIFO) is written in
// place, as is a writable file in a directory where no temporary file can be made.
// Errors are the operating system's (Error::os); the caller names the path.
Result<void> write_report_bytes(const std::string& path, std::span<const uint8_t> bytes);

// Saves bytes as a new file in TMPDIR (else /tmp) named like the last component of path
// (with a random suffix if that name is taken), mode 0600. Yields the new file's path.
Result<std::string> save_report_in_tmpdir(const std::string& path, std::span<const uint8_t> bytes);

// Encodes, then writes. Errors: "failed to serialize report: <cause>" or
// "failed to write report to <path>: <cause>". When writing fails the report is saved with
// save_report_in_tmpdir, and the error's note says where, or that this failed too.
Result<void> write_report(const TraceReport& report, const std::string& path);

}  // namespace drel
