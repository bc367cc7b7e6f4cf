#include "preload/guest/process_description.h"

#include <sys/auxv.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include <atomic>

#include "preload/guest/event_encoding.h"
#include "preload/guest/large_table.h"
#include "preload/guest/path_text.h"
#include "preload/guest/trace_connection.h"
#include "preload/guest/trace_session.h"
#include "preload/guest/raw_syscall.h"

namespace drel::guest {
namespace {

// Set once by the constructor; a forked child inherits them with the memory they describe.
constinit ProcessAreas g_areas{};
// The process whose description went out from this memory: a fork child finds its parent's.
constinit std::atomic<uint32_t> g_described_pid{0};
// Whether the constructor has looked for the areas. Another library's constructor can run
// first and report (libselinux reads /proc/filesystems through fopen): a description sent
// before then lacks the command, and the constructor's announcement describes the process again.
constinit std::atomic<bool> g_areas_noted{false};
// The program this image runs, read once when the library loads, when its path is too long
// for the constructor's stack or is not UTF-8.
DREL_LARGE_TABLE constinit PathText g_executable{};
constexpr size_t kShortPath = 256;
// The name the exec was given (AT_EXECFN), when it is the file the kernel started: null when it
// started an interpreter or handler for it, or the name is a descriptor's.
constinit const char* g_execfn = nullptr;
// A script's interpreter or a binfmt_misc handler gets the executed name inserted into its
// arguments, one place further right for each level; deeper than this nobody nests.
constexpr int kLastInsertedArgument = 15;

// The span from v[0] to the end of the last string, when the strings lie one after another
// as the kernel laid them out; null v (or no strings) is an empty area.
bool contiguous_area(char** v, const char*& start, size_t& len) {
  start = nullptr;
  len = 0;
  if (v == nullptr || v[0] == nullptr) return true;
  const char* end = v[0];
  for (size_t i = 0; v[i] != nullptr; ++i) {
    if (v[i] != end) return false;
    end = v[i] + c_length(v[i]) + 1;
  }
  start = v[0];
  len = static_cast<size_t>(end - start);
  return true;
}

// The description's frame, in pieces that leave the areas where they are.
// Room is left behind the description's parts for a frame that goes with it.
struct Description {
  char head[kProcessHeadCapacity];
  char middle[kProcessMiddleCapacity];
  FramePart parts[kMaxFrameParts];
  size_t count = 0;
};

bool build(CallerIds ids, uint32_t parent, bool exec, Description& d) {
  size_t middle_len = 0;
  size_t head_len = frame_process(ids.pid, ids.tid, parent, exec, g_areas, d.head, sizeof d.head,
                                  d.middle, sizeof d.middle, middle_len);
  if (head_len == 0) return false;
  d.parts[0] = {d.head, head_len};
  d.parts[1] = {g_areas.cmdline, g_areas.cmdline_len};
  d.parts[2] = {d.middle, middle_len};
  d.parts[3] = {g_areas.environ, g_areas.environ_len};
  d.count = g_areas.known ? 4 : 1;
  return true;
}

bool describe(CallerIds ids, uint32_t parent, bool exec) {
  Description d;
  return build(ids, parent, exec, d) && send_frame_parts(d.parts, d.count, ids.pid);
}

// The path of the program this image runs, as text: on the caller's stack in the common case,
// so that no page of the library's own is touched for it; else in g_executable. Null when it
// cannot be read.
const char* read_executable(char (&buf)[kShortPath], size_t& len) {
  ssize_t n = own_readlink("/proc/self/exe", buf, sizeof buf);
  if (n <= 0) return nullptr;
  if (static_cast<size_t>(n) < sizeof buf) {
    len = static_cast<size_t>(n);
    if (is_valid_utf8(buf, len)) return buf;
    if (!utf8_text(buf, len, g_executable)) return nullptr;
  } else {
    n = own_readlink("/proc/self/exe", g_executable.bytes, sizeof g_executable.bytes);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof g_executable.bytes ||
        !utf8_text_in_place(static_cast<size_t>(n), g_executable))
      return nullptr;
  }
  len = g_executable.len;
  return g_executable.bytes;
}

// The file the kernel executed, known without a look at /proc (a process's first costs the
// kernel its /proc entry): g_execfn made absolute. Null when it cannot be told this way.
const char* executed_file(char (&buf)[kShortPath], size_t& len) {
  const char* name = g_execfn;
  if (name == nullptr) return nullptr;
  const size_t n = c_length(name);
  if (!is_valid_utf8(name, n)) return nullptr;
  if (name[0] == '/') {
    len = n;
    return name;
  }
  // Relative to the directory the exec was made in, which no constructor has changed yet.
  for (char* out : {buf, g_executable.bytes}) {
    const size_t cap = out == buf ? sizeof buf : sizeof g_executable.bytes;
    const long rc = raw_syscall(SYS_getcwd, reinterpret_cast<long>(out), static_cast<long>(cap));
    if (rc == -ERANGE) continue;
    // A directory outside the process's root comes back as "(unreachable)...".
    if (rc <= 1 || out[0] != '/') return nullptr;
    const size_t dir_len = static_cast<size_t>(rc) - 1;
    if (dir_len + 1 + n >= cap) continue;
    if (!is_valid_utf8(out, dir_len)) return nullptr;
    out[dir_len] = '/';
    memcpy(out + dir_len + 1, name, n);
    len = dir_len + 1 + n;
    return out;
  }
  return nullptr;
}

}  // namespace

void note_process_areas(int argc, char** argv, char** envp) noexcept {
  ProcessAreas areas;
  if (argc < 0 || argv == nullptr) return;
  areas.known = contiguous_area(argv, areas.cmdline, areas.cmdline_len) &&
                contiguous_area(envp, areas.environ, areas.environ_len);
  if (areas.known) g_areas = areas;
  g_areas_noted.store(true, std::memory_order_relaxed);
  const char* name = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (name == nullptr || name[0] == '\0' || starts_with(name, c_length(name), "/dev/fd/")) return;
  for (int i = 1; i < argc && i <= kLastInsertedArgument && argv[i] != nullptr; ++i)
    if (strcmp(argv[i], name) == 0) return;
  g_execfn = name;
}

void announce_executed_image() noexcept {
  if (!trace_session_active()) return;
  // The session has just read this process's pid; the constructor runs in its own process.
  const uint32_t pid = session_process_pid();
  const CallerIds ids = {pid, static_cast<uint32_t>(raw_syscall(SYS_gettid))};
  remember_caller_ids(ids);
  uint32_t described = g_described_pid.load(std::memory_order_relaxed);
  const bool describe =
      described != ids.pid &&
      g_described_pid.compare_exchange_strong(described, ids.pid, std::memory_order_relaxed);
  Description d;
  if (describe && !build(ids, static_cast<uint32_t>(raw_syscall(SYS_getppid)), fork_parent_pid() == 0, d)) {
    g_described_pid.store(0, std::memory_order_relaxed);
    d.count = 0;
  }
  // Not in the thread's block (kilobytes, mapped by a system call): a process that reports
  // nothing else never maps one.
  char path_buf[kShortPath];
  size_t path_len = 0;
  EventKind kind = EventKind::Executed;
  const char* path = executed_file(path_buf, path_len);
  if (path == nullptr) {
    kind = EventKind::Read;
    path = read_executable(path_buf, path_len);
  }
  char head[kFrameHeadCapacity];
  size_t head_len = 0;
  if (path != nullptr) {
    head_len = frame_event_head(kind, ids.pid, ids.tid, path_len, head, sizeof head);
    if (head_len == 0) note_lost_event();
  }
  if (head_len != 0) {
    d.parts[d.count++] = {head, head_len};
    d.parts[d.count++] = {path, path_len};
  }
  if (d.count == 0 || send_frame_parts(d.parts, d.count, ids.pid)) return;
  // Tried again at the next event, like a failed description there.
  if (describe) g_described_pid.store(0, std::memory_order_relaxed);
  if (head_len != 0) note_lost_event();
}

void describe_process_once(CallerIds ids) noexcept {
  uint32_t described = g_described_pid.load(std::memory_order_relaxed);
  if (described == ids.pid) return;
  // One thread describes; the others send their events meanwhile.
  if (!g_described_pid.compare_exchange_strong(described, ids.pid, std::memory_order_relaxed))
    return;
  // An image not forked since it was loaded is the one the kernel started by an exec.
  uint32_t parent = fork_parent_pid();
  const bool exec = parent == 0;
  if (exec) parent = static_cast<uint32_t>(raw_syscall(SYS_getppid));
  // Tried again at the next event; without the areas, again by the constructor's announcement.
  if (!describe(ids, parent, exec) || !g_areas_noted.load(std::memory_order_relaxed))
    g_described_pid.store(0, std::memory_order_relaxed);
}

bool send_described(CallerIds ids, const FramePart* parts, size_t count) noexcept {
  Description d;
  if (count > kMaxFrameParts - 4 || !build(ids, static_cast<uint32_t>(raw_syscall(SYS_getppid)), false, d))
    return false;
  for (size_t i = 0; i < count; ++i) d.parts[d.count + i] = parts[i];
  return send_frame_parts(d.parts, d.count + count, ids.pid);
}

}  // namespace drel::guest
