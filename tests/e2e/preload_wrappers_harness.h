// Runs a program with the interposition library preloaded and a listening socket of our own
// standing in for the launcher, and decodes every frame the program's threads sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace drel::test {

struct WireEvent {
  std::string kind;
  uint32_t pid = 0;
  uint32_t thread_id = 0;
  std::string path;      // a rename's new name
  std::string from;      // a rename's old name
  bool exchange = false;  // a rename that swapped the two names
  int connection = 0;  // index of the connection it came on, in accept order
  size_t frame_index = 0;  // its place among the frames of its connection
};

// A process describing itself (the frame a process sends before its first file event).
struct WireProcess {
  uint32_t pid = 0;
  uint32_t thread_id = 0;
  uint32_t parent_pid = 0;
  bool exec = false;
  bool has_areas = false;
  std::vector<std::string> command;  // cmdline split at NULs
  std::vector<std::string> env;      // environ split at NULs
  int connection = 0;
  size_t frame_index = 0;  // its place among the frames of its connection
};

enum class Listener {
  Collect,  // accept and read everything
  HangUp,   // accept and close each connection at once, as a launcher that went away
  StopReadingFirst,  // stop reading the first connection at once (its sender gets EPIPE)
};

struct TraceOptions {
  std::string cwd;
  Listener listener = Listener::Collect;
  // Value for DREL_PRELOAD_TRACE_SOCK instead of our socket's path; nullopt with
  // unset_socket leaves the variable out.
  std::optional<std::string> socket_env;
  bool unset_socket = false;
};

struct TracedRun {
  int exit_status = -1;  // exit code, or 128 + signal number; -1 when it had to be killed
  std::string out;
  std::string err;
  std::vector<WireEvent> events;
  // What each process sends for its own program when the library loads (the first event of a
  // connection: an Executed, or a Read of an executable file), kept apart so that events lists
  // only the calls.
  std::vector<WireEvent> executables;
  std::vector<WireProcess> processes;
  int connections = 0;
  int undecodable = 0;      // complete frames that did not decode
  size_t trailing_bytes = 0;  // bytes of incomplete frames when connections ended
};

TracedRun run_traced(const std::vector<std::string>& argv, const TraceOptions& options);

// Decodes one event payload in the exact form the library sends.
std::optional<WireEvent> decode_wire_event(const uint8_t* payload, size_t len);

// Decodes one process description in the exact form the library sends.
std::optional<WireProcess> decode_wire_process(const uint8_t* payload, size_t len);

std::string preload_library_path();

}  // namespace drel::test
