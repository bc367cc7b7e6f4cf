#include "syscall_decoder.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/mman.h>

#include <unordered_set>

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

bool SyscallDecoder::resolve_argument(TaskState& state, pid_t task, uint64_t address, int dirfd,
                                      std::string& out, LastName last) {
  if (!memory_.read_string_into(task, address, scratch_)) return false;
  const std::string* dir_path = dirfd >= 0 ? FileTracker::lookup_fd(*state.fds, dirfd) : nullptr;
  resolve_path_at_into(state.cwd, task, scratch_, dirfd, dir_path, out, last);
  return true;
}

bool SyscallDecoder::decode_entry(pid_t task, const TracedCall& call) {
  const uint64_t* a = call.args;
  const auto tid = static_cast<uint32_t>(task);
  TaskState& state = state_for(task);
  FileTracker::DescriptorTable& fds = *state.fds;
  InFlight& c = state.call;
  // Whatever was staged before belongs to a call whose exit stop was lost.
  c.staged = false;
  const auto stage = [&c](CallFamily family) {
    c.staged = true;
    c.family = family;
    return true;
  };
  const CallFamily family = call_family(call.kind);
  switch (family) {
    case CallFamily::Read:
      if (task >= 0) FileTracker::record_read_fd(fds, fd_arg(a[0]), tid);
      return false;

    case CallFamily::Write: {
      const auto path = task >= 0 ? FileTracker::lookup_ref(fds, fd_arg(a[0])) : std::nullopt;
      // Once this task has a recorded write to the path, another write's outcome cannot
      // change the report, so it costs no exit stop.
      if (!path || FileTracker::write_adds_nothing(*path, tid)) return false;
      c.out = *path;
      return stage(family);
    }

    case CallFamily::Ftruncate: {
      const auto path = task >= 0 ? FileTracker::lookup_ref(fds, fd_arg(a[0])) : std::nullopt;
      if (!path || FileTracker::write_adds_nothing(*path, tid)) return false;
      c.out = *path;
      return stage(family);
    }

    case CallFamily::Mmap: {
      // An anonymous map reads no file, whatever its descriptor argument holds: the kernel
      // ignores it. Our filter lets these run unstopped; another filter may still stop them.
      if ((a[3] & MAP_ANONYMOUS) != 0) return false;
      if (static_cast<int64_t>(a[4]) < 0 || task < 0) return false;
      const int fd = fd_arg(a[4]);
      if (FileTracker::lookup_fd(fds, fd) == nullptr) return false;
      if ((a[2] & PROT_READ) != 0) FileTracker::record_read_fd(fds, fd, tid);
      if ((a[2] & PROT_WRITE) != 0 && (a[3] & MAP_SHARED) != 0) {
        FileTracker::record_write_fd(fds, fd, tid);
      }
      return false;
    }

    case CallFamily::Open:
      // Only an open that succeeds is recorded, so its name is read and resolved at its exit.
      c.address = a[1];
      c.fd = fd_arg(a[0]);
      // openat2 passes its flags in the first field of its open_how.
      c.flags = a[2];
      if (call.kind == SyscallKind::Openat2 && !memory_.read_u64(task, a[2], c.flags)) c.flags = 0;
      return stage(family);

    case CallFamily::Close:
      // Decided here, without the result: Linux releases the descriptor whatever close
      // returns (EINTR and EIO included), and EBADF means it was not open, so our entry was
      // stale anyway. Either way the number no longer names the path afterwards.
      if (task >= 0) FileTracker::close_fd(fds, fd_arg(a[0]));
      return false;

    case CallFamily::Dup:
      // The filter stops fcntl only for these two; another tracer's filter may stop it for more.
      if (call.kind == SyscallKind::Fcntl && a[1] != F_DUPFD && a[1] != F_DUPFD_CLOEXEC) {
        return false;
      }
      c.fd = fd_arg(a[0]);
      return stage(family);

    case CallFamily::Chdir:
      return stage(family);

    case CallFamily::Link:
      if (!resolve_argument(state, task, a[3], fd_arg(a[2]), c.path, LastName::Keep)) return false;
      return stage(family);

    case CallFamily::Rename:
      // Both names change: the old one goes away, the new one is replaced.
      if (!resolve_argument(state, task, a[3], fd_arg(a[2]), c.path, LastName::Keep)) return false;
      if (!resolve_argument(state, task, a[1], fd_arg(a[0]), c.old_path, LastName::Keep)) {
        c.old_path.clear();
      }
      return stage(family);

    case CallFamily::Unlink:
      // A directory made or removed is a name written, as a file's is.
      if (!resolve_argument(state, task, a[1], fd_arg(a[0]), c.path, LastName::Keep)) return false;
      return stage(family);

    case CallFamily::Symlink:
      if (!resolve_argument(state, task, a[2], fd_arg(a[1]), c.path, LastName::Keep)) return false;
      return stage(family);

    case CallFamily::Truncate:
      if (!resolve_argument(state, task, a[0], AT_FDCWD, c.path, LastName::Follow)) return false;
      return stage(family);

    case CallFamily::Transfer: {
      if (task < 0) return false;
      const bool sendfile = call.kind == SyscallKind::Sendfile;  // sendfile(out, in, ...)
      const int out_fd = fd_arg(sendfile ? a[0] : a[2]);
      const int in_fd = fd_arg(sendfile ? a[1] : a[0]);
      const auto out = FileTracker::lookup_ref(fds, out_fd);
      // As for writes: when both sides are already recorded for this task, the outcome is moot.
      if ((!out || FileTracker::write_adds_nothing(*out, tid)) &&
          FileTracker::read_adds_nothing(fds, in_fd, tid)) {
        return false;
      }
      c.out = out;
      c.fd = in_fd;
      return stage(family);
    }

    case CallFamily::CloseRange:
      c.first = static_cast<uint32_t>(a[0]);
      c.last = static_cast<uint32_t>(a[1]);
      c.flags = a[2];
      return stage(family);

    case CallFamily::Clone:
    case CallFamily::Unseen:
      return false;
  }
  return false;
}

bool SyscallDecoder::opened_path(TaskState& state, pid_t task, int fd) {
  InFlight& c = state.call;
  if (!memory_.read_string_into(task, c.address, scratch_)) return false;
  // An absolute name is recorded as written. O_PATH may have opened a symbolic link itself:
  // that is resolved from the directory, as is any name the kernel's link does not give.
  const bool relative = !scratch_.empty() && scratch_.front() != '/';
  if (relative && names_ != nullptr && task >= 1 && (c.flags & O_PATH) == 0 &&
      names_->name_of(task, fd, c.path)) {
    return true;
  }
  const std::string* dir_path = c.fd >= 0 ? FileTracker::lookup_fd(*state.fds, c.fd) : nullptr;
  resolve_path_at_into(state.cwd, task, scratch_, c.fd, dir_path, c.path, LastName::Follow);
  return true;
}

namespace {

// An open that creates the file or empties it changes it, whether or not data follows.
bool open_changes_file(uint64_t flags) {
  return (flags & O_TRUNC) != 0 || (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
}

}  // namespace

void SyscallDecoder::decode_exit(pid_t task, int64_t r) {
  TaskState* state = find_state(task);
  if (state == nullptr || !state->call.staged) return;
  InFlight& c = state->call;
  c.staged = false;
  const auto tid = static_cast<uint32_t>(task);
  const std::optional<uint32_t> writer =
      task >= 0 ? std::optional<uint32_t>(tid) : std::nullopt;
  switch (c.family) {
    case CallFamily::Open:
      if (r < 0 || task < 0) return;
      // An O_TMPFILE file has no name: nothing done through it is reported. A linkat that
      // names it records that name; the kernel still shows the descriptor without one.
      if ((c.flags & O_TMPFILE) == O_TMPFILE) {
        tracker_.open_fd(*state->fds, static_cast<int>(r), "", c.flags);
        return;
      }
      if (!opened_path(*state, task, static_cast<int>(r))) return;
      tracker_.open_fd(*state->fds, static_cast<int>(r), c.path, c.flags);
      if (open_changes_file(c.flags)) tracker_.record_write_path(c.path, tid);
      return;

    case CallFamily::Dup:
      if (r >= 0 && task >= 0) FileTracker::dup_fd(*state->fds, c.fd, static_cast<int>(r));
      return;

    case CallFamily::Chdir:
      // The next relative path re-reads the working directory.
      if (r == 0 && task >= 0) state->cwd.reset();
      return;

    case CallFamily::Rename:
      if (r == 0) tracker_.record_write_path(c.old_path, writer);
      [[fallthrough]];
    case CallFamily::Link:
    case CallFamily::Unlink:
    case CallFamily::Symlink:
    case CallFamily::Truncate:
      if (r == 0) tracker_.record_write_path(c.path, writer);
      return;

    case CallFamily::Write:
      if (r > 0) FileTracker::record_write_path(*c.out, tid);
      return;

    case CallFamily::Ftruncate:
      if (r == 0) FileTracker::record_write_path(*c.out, tid);
      return;

    case CallFamily::CloseRange:
      if (r != 0 || task < 0) return;
      if ((c.flags & CLOSE_RANGE_UNSHARE) != 0) unshare_descriptors(*state);
      // CLOSE_RANGE_CLOEXEC only marks them: the exec that closes them is asked then.
      if ((c.flags & CLOSE_RANGE_CLOEXEC) == 0) {
        FileTracker::close_range(*state->fds, c.first, c.last);
      }
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

void SyscallDecoder::on_new_task(pid_t parent, pid_t child, bool shares_descriptors) {
  if (parent == child) return;
  const TaskState* from = find_state(parent);
  if (from == nullptr) return;
  TaskState& to = state_for(child);
  if (parent >= 0 && child >= 0) {
    if (shares_descriptors) {
      to.fds = from->fds;
    } else {
      // A child may have made calls of its own before its creator's event was seen.
      for (auto& [fd, d] : FileTracker::copy_for_child(*from->fds)) to.fds->insert_or_assign(fd, d);
    }
  }
  if (from->cwd) to.cwd = from->cwd;
}

void SyscallDecoder::unshare_descriptors(TaskState& state) {
  if (state.fds.use_count() > 1) {
    state.fds = std::make_shared<FileTracker::DescriptorTable>(*state.fds);
  }
}

void SyscallDecoder::on_exec(pid_t task, std::span<const std::string> executed,
                             const std::function<bool(int fd)>& still_open) {
  TaskState& state = state_for(task);
  unshare_descriptors(state);
  if (task < 0) return;
  // Left open, a close-on-exec number would name its old file when an untraced call (a pipe,
  // a socket) reuses it.
  if (still_open) FileTracker::close_unless(*state.fds, still_open);
  for (const std::string& path : executed) {
    tracker_.record_read_path(path, static_cast<uint32_t>(task));
  }
}

void SyscallDecoder::task_gone(pid_t task) {
  tasks_.erase(task);
}

std::size_t SyscallDecoder::descriptor_count() const {
  // A table shared by several tasks counts once.
  std::unordered_set<const FileTracker::DescriptorTable*> seen;
  std::size_t n = 0;
  for (const auto& [task, state] : tasks_) {
    if (seen.insert(state.fds.get()).second) n += state.fds->size();
  }
  return n;
}

}  // namespace drel
