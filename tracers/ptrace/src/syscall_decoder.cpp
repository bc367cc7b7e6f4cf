#include "syscall_decoder.h"

#include <sys/mman.h>

namespace drel {
namespace {

// A descriptor argument is the low 32 bits of its register.
int fd_arg(uint64_t reg) {
  return static_cast<int>(static_cast<uint32_t>(reg));
}

}  // namespace

SyscallDecoder::TaskState* SyscallDecoder::find_state(pid_t task) {
  const auto it = tasks_.find(task);
  return it == tasks_.end() ? nullptr : &it->second;
}

bool SyscallDecoder::decode_entry(pid_t task, const TracedCall& call) {
  const uint64_t* a = call.args;
  const auto tid = static_cast<uint32_t>(task);
  // Whatever was staged before belongs to a call whose exit stop was lost.
  TaskState* state = find_state(task);
  if (state != nullptr) state->call.staged = false;
  const auto stage = [&](CallFamily family) -> InFlight& {
    if (state == nullptr) state = &state_for(task);
    state->call.staged = true;
    state->call.family = family;
    return state->call;
  };
  switch (call_family(call.kind)) {
    case CallFamily::Read:
      if (task >= 0 && state != nullptr) FileTracker::record_read_fd(*state->fds, fd_arg(a[0]), tid);
      return false;

    case CallFamily::Write: {
      const auto path = task >= 0 && state != nullptr
                            ? FileTracker::lookup_ref(*state->fds, fd_arg(a[0]))
                            : std::nullopt;
      // Once this task has a recorded write to the path, another write's outcome cannot
      // change the report, so it costs no exit stop.
      if (!path || FileTracker::write_adds_nothing(*path, tid)) return false;
      stage(CallFamily::Write).out = *path;
      return true;
    }

    case CallFamily::Mmap: {
      if (static_cast<int64_t>(a[4]) < 0 || task < 0 || state == nullptr) return false;
      const int fd = fd_arg(a[4]);
      if (FileTracker::lookup_fd(*state->fds, fd) == nullptr) return false;
      if ((a[2] & PROT_READ) != 0) FileTracker::record_read_fd(*state->fds, fd, tid);
      if ((a[2] & PROT_WRITE) != 0 && (a[3] & MAP_SHARED) != 0) {
        FileTracker::record_write_fd(*state->fds, fd, tid);
      }
      return false;
    }

    case CallFamily::Open: {
      if (!memory_.read_string_into(task, a[1], scratch_)) return false;
      InFlight& c = stage(CallFamily::Open);
      resolve_path_at_into(state->cwd, task, scratch_, fd_arg(a[0]), c.path);
      c.flags = a[2];
      return true;
    }

    case CallFamily::Close:
      // Decided here, without the result: Linux releases the descriptor whatever close
      // returns (EINTR and EIO included), and EBADF means it was not open, so our entry was
      // stale anyway. Either way the number no longer names the path afterwards.
      if (task >= 0 && state != nullptr) FileTracker::close_fd(*state->fds, fd_arg(a[0]));
      return false;

    case CallFamily::Dup:
      stage(CallFamily::Dup).fd = fd_arg(a[0]);
      return true;

    case CallFamily::Chdir:
      stage(CallFamily::Chdir);
      return true;

    case CallFamily::Link:
    case CallFamily::Rename: {
      // Only the new path is recorded; the old one is never read.
      if (!memory_.read_string_into(task, a[3], scratch_)) return false;
      InFlight& c = stage(call_family(call.kind));
      resolve_path_at_into(state->cwd, task, scratch_, fd_arg(a[2]), c.path);
      return true;
    }

    case CallFamily::Transfer: {
      if (task < 0 || state == nullptr) return false;
      const bool sendfile = call.kind == SyscallKind::Sendfile;  // sendfile(out, in, ...)
      const int out_fd = fd_arg(sendfile ? a[0] : a[2]);
      const int in_fd = fd_arg(sendfile ? a[1] : a[0]);
      const auto out = FileTracker::lookup_ref(*state->fds, out_fd);
      // As for writes: when both sides are already recorded for this task, the outcome is moot.
      if ((!out || FileTracker::write_adds_nothing(*out, tid)) &&
          FileTracker::read_adds_nothing(*state->fds, in_fd, tid)) {
        return false;
      }
      InFlight& c = stage(CallFamily::Transfer);
      c.out = out;
      c.fd = in_fd;
      return true;
    }
  }
  return false;
}

void SyscallDecoder::decode_exit(pid_t task, int64_t r) {
  TaskState* state = find_state(task);
  if (state == nullptr || !state->call.staged) return;
  InFlight& c = state->call;
  c.staged = false;
  const auto tid = static_cast<uint32_t>(task);
  switch (c.family) {
    case CallFamily::Open:
      if (r >= 0 && task >= 0) tracker_.open_fd(*state->fds, static_cast<int>(r), c.path, c.flags);
      return;

    case CallFamily::Dup:
      if (r >= 0 && task >= 0) FileTracker::dup_fd(*state->fds, c.fd, static_cast<int>(r));
      return;

    case CallFamily::Chdir:
      // The next relative path re-reads the working directory.
      if (r == 0 && task >= 0) state->cwd.reset();
      return;

    case CallFamily::Link:
    case CallFamily::Rename:
      if (r == 0) {
        tracker_.record_write_path(c.path, task >= 0 ? std::optional<uint32_t>(tid) : std::nullopt);
      }
      return;

    case CallFamily::Write:
      if (r > 0) FileTracker::record_write_path(*c.out, tid);
      return;

    case CallFamily::Transfer:
      if (r > 0) {
        FileTracker::record_read_fd(*state->fds, c.fd, tid);
        if (c.out) FileTracker::record_write_path(*c.out, tid);
      }
      return;

    default:
      return;
  }
}

void SyscallDecoder::on_new_task(pid_t parent, pid_t child) {
  if (parent == child) return;
  const TaskState* from = find_state(parent);
  if (from == nullptr) return;
  TaskState& to = state_for(child);
  // A child may have made calls of its own before its creator's event was seen.
  if (parent >= 0 && child >= 0) {
    for (auto& [fd, d] : FileTracker::copy_for_child(*from->fds)) to.fds->insert_or_assign(fd, d);
  }
  if (from->cwd) to.cwd = from->cwd;
}

void SyscallDecoder::task_gone(pid_t task) {
  tasks_.erase(task);
}

std::size_t SyscallDecoder::descriptor_count() const {
  std::size_t n = 0;
  for (const auto& [task, state] : tasks_) n += state.fds->size();
  return n;
}

}  // namespace drel
