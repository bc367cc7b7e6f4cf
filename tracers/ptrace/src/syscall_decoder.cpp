#include "syscall_decoder.h"

#include <sys/mman.h>

namespace drel {
namespace {

// A descriptor argument is the low 32 bits of its register.
int fd_arg(uint64_t reg) {
  return static_cast<int>(static_cast<uint32_t>(reg));
}

}  // namespace

SyscallDecoder::Pending* SyscallDecoder::find_pending(pid_t task) {
  const auto it = pending_.find(task);
  return it == pending_.end() ? nullptr : &it->second;
}

bool SyscallDecoder::decode_entry(pid_t task, const TracedCall& call) {
  const uint64_t* a = call.args;
  const auto tid = static_cast<uint32_t>(task);
  switch (neutral_kind(call.kind)) {
    case SyscallKind::Read:
    case SyscallKind::Readv:
    case SyscallKind::Pread64:
    case SyscallKind::Preadv:
    case SyscallKind::Preadv2:
      if (task >= 0) tracker_.record_read_fd(task, fd_arg(a[0]), tid);
      return false;

    case SyscallKind::Write:
    case SyscallKind::Writev:
    case SyscallKind::Pwrite64:
    case SyscallKind::Pwritev:
    case SyscallKind::Pwritev2: {
      const auto path = task >= 0 ? tracker_.lookup_ref(task, fd_arg(a[0])) : std::nullopt;
      // Once this task has a recorded write to the path, another write's outcome cannot
      // change the report, so it costs no exit stop.
      if (!path || FileTracker::write_adds_nothing(*path, tid)) {
        // Nothing to stage; an older staged write (its exit stop lost) must not complete later.
        if (Pending* p = find_pending(task)) p->write = false;
        return false;
      }
      Pending& p = pending_for(task);
      p.write = true;
      p.write_path = *path;
      return true;
    }

    case SyscallKind::Mmap: {
      if (static_cast<int64_t>(a[4]) < 0 || task < 0) return false;
      const int fd = fd_arg(a[4]);
      if (tracker_.lookup_fd(task, fd) == nullptr) return false;
      if ((a[2] & PROT_READ) != 0) tracker_.record_read_fd(task, fd, tid);
      if ((a[2] & PROT_WRITE) != 0 && (a[3] & MAP_SHARED) != 0) {
        tracker_.record_write_fd(task, fd, tid);
      }
      return false;
    }

    case SyscallKind::Openat: {
      if (!memory_.read_string_into(task, a[1], scratch_)) {
        if (Pending* p = find_pending(task)) p->open = false;
        return false;
      }
      Pending& p = pending_for(task);
      resolve_path_at_into(cwd_cache_, task, scratch_, fd_arg(a[0]), p.open_path);
      p.open = true;
      p.open_flags = a[2];
      return true;
    }

    case SyscallKind::Close:
      // Decided here, without the result: Linux releases the descriptor whatever close
      // returns (EINTR and EIO included), and EBADF means it was not open, so our entry was
      // stale anyway. Either way the number no longer names the path afterwards.
      if (task >= 0) tracker_.close_fd(task, fd_arg(a[0]));
      return false;

    case SyscallKind::Dup3: {
      Pending& p = pending_for(task);
      p.dup = true;
      p.dup_old = fd_arg(a[0]);
      return true;
    }

    case SyscallKind::Chdir:
      pending_for(task).chdir = true;
      return true;

    case SyscallKind::Fchdir:
      pending_for(task).fchdir = true;
      return true;

    case SyscallKind::Linkat:
    case SyscallKind::Renameat:
    case SyscallKind::Renameat2: {
      // Only the new path is recorded; the old one is never read.
      if (!memory_.read_string_into(task, a[3], scratch_)) {
        if (Pending* p = find_pending(task)) p->rename = false;
        return false;
      }
      Pending& p = pending_for(task);
      resolve_path_at_into(cwd_cache_, task, scratch_, fd_arg(a[2]), p.rename_dest);
      p.rename = true;
      p.rename_tid = task >= 0 ? std::optional<uint32_t>(tid) : std::nullopt;
      return true;
    }

    case SyscallKind::Sendfile:  // sendfile(out, in, ...)
    case SyscallKind::Splice:    // splice(in, off_in, out, ...)
    case SyscallKind::CopyFileRange: {
      if (task < 0) {
        if (Pending* p = find_pending(task)) p->transfer = false;
        return false;
      }
      const bool sendfile = call.kind == SyscallKind::Sendfile;
      const int out_fd = fd_arg(sendfile ? a[0] : a[2]);
      const int in_fd = fd_arg(sendfile ? a[1] : a[0]);
      const auto out = tracker_.lookup_ref(task, out_fd);
      // As for writes: when both sides are already recorded for this task, the outcome is moot.
      if ((!out || FileTracker::write_adds_nothing(*out, tid)) &&
          tracker_.read_adds_nothing(task, in_fd, tid)) {
        if (Pending* p = find_pending(task)) p->transfer = false;
        return false;
      }
      Pending& p = pending_for(task);
      p.transfer = true;
      p.transfer_out = out;
      p.transfer_in = in_fd;
      return true;
    }

    default:
      return false;
  }
}

void SyscallDecoder::decode_exit(pid_t task, SyscallKind kind, int64_t r) {
  Pending* p = find_pending(task);
  if (p == nullptr) return;
  const auto tid = static_cast<uint32_t>(task);
  switch (neutral_kind(kind)) {
    case SyscallKind::Openat:
      if (!p->open) return;
      p->open = false;
      if (r >= 0 && task >= 0)
        tracker_.open_fd(task, static_cast<int>(r), p->open_path, p->open_flags);
      return;

    case SyscallKind::Dup3:
      if (!p->dup) return;
      p->dup = false;
      if (r >= 0 && task >= 0) tracker_.dup_fd(task, p->dup_old, static_cast<int>(r));
      return;

    case SyscallKind::Chdir:
    case SyscallKind::Fchdir: {
      bool& staged = kind == SyscallKind::Chdir ? p->chdir : p->fchdir;
      if (!staged) return;
      staged = false;
      // The next relative path re-reads the working directory.
      if (r == 0 && task >= 0) cwd_cache_.erase(task);
      return;
    }

    case SyscallKind::Linkat:
    case SyscallKind::Renameat:
    case SyscallKind::Renameat2:
      if (!p->rename) return;
      p->rename = false;
      if (r == 0) tracker_.record_write_path(p->rename_dest, p->rename_tid);
      return;

    case SyscallKind::Write:
    case SyscallKind::Writev:
    case SyscallKind::Pwrite64:
    case SyscallKind::Pwritev:
    case SyscallKind::Pwritev2:
      if (!p->write) return;
      p->write = false;
      if (r > 0) tracker_.record_write_path(p->write_path, tid);
      return;

    case SyscallKind::Sendfile:
    case SyscallKind::Splice:
    case SyscallKind::CopyFileRange:
      if (!p->transfer) return;
      p->transfer = false;
      if (r > 0) {
        tracker_.record_read_fd(task, p->transfer_in, tid);
        if (p->transfer_out) tracker_.record_write_path(*p->transfer_out, tid);
      }
      return;

    default:
      return;
  }
}

void SyscallDecoder::on_new_task(pid_t parent, pid_t child) {
  if (parent >= 0 && child >= 0) tracker_.inherit_descriptors(parent, child);
  const auto cwd = cwd_cache_.find(parent);
  if (cwd != cwd_cache_.end()) cwd_cache_.insert_or_assign(child, cwd->second);
}

void SyscallDecoder::task_gone(pid_t task) {
  cwd_cache_.erase(task);
  pending_.erase(task);
  tracker_.forget_task(task);
}

}  // namespace drel
