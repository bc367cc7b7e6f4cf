// Turning a path argument of a traced call into the absolute path that is recorded.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <optional>

namespace drel {

// A task's working directory as text, read from /proc on first use and kept until the task
// successfully changes directory (reset to nullopt). "" means it could not be read.
using WorkingDirectory = std::optional<std::string>;

// Whether a last component that is a symbolic link is followed (open) or is the name itself
// (unlink, rename, symlink).
enum class LastName { Follow, Keep };

// Into `out` (its storage is reused), converted to text (U+FFFD for bytes that are not UTF-8):
// absolute paths as written; relative ones joined to the directory open on `dirfd` (AT_FDCWD:
// the working directory) and canonicalised when the file exists. The directory is read from
// /proc, or, where that link cannot be read (beyond PATH_MAX), taken from `dir_path` (what the
// descriptor table holds for dirfd); with neither, `out` is empty. Tasks below 1 get the path as
// given.
void resolve_path_at_into(WorkingDirectory& cwd, pid_t task, std::string_view path, int dirfd,
                          const std::string* dir_path, std::string& out,
                          LastName last = LastName::Follow);

// The name the kernel gives a file a task has open (the link /proc/<task>/fd/<fd>), for the
// descriptor a successful open of a relative name has just returned: the canonical name of what
// was opened, in one system call instead of a resolution of the name.
class OpenedFileNames {
 public:
  virtual ~OpenedFileNames();
  // False (out unspecified) when the link cannot be read or names no file path (a deleted file,
  // a pipe, a socket).
  virtual bool name_of(pid_t task, int fd, std::string& out) = 0;
};

class ProcOpenedFileNames final : public OpenedFileNames {
 public:
  bool name_of(pid_t task, int fd, std::string& out) override;
};

}  // namespace drel
