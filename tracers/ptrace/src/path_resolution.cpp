#include "path_resolution.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>

#include "common/utf8.h"

namespace drel {
namespace {

// readlink into a stack buffer; false when the link cannot be read or does not fit.
bool read_link(const char* link, std::array<char, PATH_MAX + 1>& buf, std::string_view& target) {
  const ssize_t n = ::readlink(link, buf.data(), buf.size() - 1);
  if (n < 0 || static_cast<std::size_t>(n) >= buf.size() - 1) return false;
  buf[static_cast<std::size_t>(n)] = '\0';
  target = std::string_view(buf.data(), static_cast<std::size_t>(n));
  return true;
}

// Whether dir + "/" + name is already what realpath would return. The directories here come from
// the kernel's /proc links, which name them canonically; one plain name below such a directory
// needs realpath's walk only when it is a symbolic link, and where lstat fails realpath fails too.
bool joined_is_canonical(std::string_view dir, std::string_view name, const char* joined) {
  if (dir.empty() || dir.front() != '/') return false;
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos)
    return false;
  struct stat st;
  return ::lstat(joined, &st) != 0 || !S_ISLNK(st.st_mode);
}

// A name that does not exist yet (a file being created) under a directory that does: the
// directory canonical, the name as given. False when the directory cannot be resolved either.
bool canonical_parent(char* joined, std::size_t len, std::array<char, PATH_MAX + 1>& canonical,
                      std::string& out) {
  const std::string_view whole(joined, len);
  const std::size_t slash = whole.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return false;
  const std::string_view base = whole.substr(slash + 1);
  if (base.empty() || base == "." || base == "..") return false;
  joined[slash] = '\0';
  const bool ok = ::realpath(joined, canonical.data()) != nullptr;
  joined[slash] = '/';
  if (!ok) return false;
  append_utf8_lossy(canonical.data(), out);
  if (out.empty() || out.back() != '/') out.push_back('/');
  append_utf8_lossy(base, out);
  return true;
}

// dir + "/" + path (no second slash when dir already ends with one), canonicalised when it
// exists; the joined form otherwise. Both converted to text.
void join_and_canonicalise(std::string_view dir, std::string_view path, std::string& out) {
  // Built on the stack: this runs for every open of a relative path.
  std::array<char, 2 * PATH_MAX + 2> joined;
  const bool slash = dir.empty() || dir.back() != '/';
  const std::size_t len = dir.size() + (slash ? 1 : 0) + path.size();
  out.clear();
  if (len >= joined.size()) {  // too long for realpath anyway
    std::string whole(dir);
    if (slash) whole.push_back('/');
    whole.append(path);
    append_utf8_lossy(whole, out);
    return;
  }
  char* p = std::copy(dir.begin(), dir.end(), joined.data());
  if (slash) *p++ = '/';
  p = std::copy(path.begin(), path.end(), p);
  *p = '\0';
  std::array<char, PATH_MAX + 1> canonical;
  if (joined_is_canonical(dir, path, joined.data())) {
    append_utf8_lossy(std::string_view(joined.data(), len), out);
  } else if (::realpath(joined.data(), canonical.data()) != nullptr) {
    append_utf8_lossy(canonical.data(), out);
  } else if (!canonical_parent(joined.data(), len, canonical, out)) {
    append_utf8_lossy(std::string_view(joined.data(), len), out);
  }
}

// As join_and_canonicalise, but a last component that is a symbolic link stays itself: the call
// works on the name (unlink, rename, symlink), not on what it points to.
void join_name(std::string_view dir, std::string_view path, std::string& out, LastName last) {
  const std::size_t slash = path.rfind('/');
  const std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (last == LastName::Follow || base.empty() || base == "." || base == "..") {
    join_and_canonicalise(dir, path, out);
    return;
  }
  if (slash == std::string_view::npos) {
    out.clear();
    append_utf8_lossy(dir, out);
    if (out.empty() || out.back() != '/') out.push_back('/');
  } else {
    join_and_canonicalise(dir, path.substr(0, slash), out);
    if (out.empty() || out.back() != '/') out.push_back('/');
  }
  append_utf8_lossy(base, out);
}

const std::string& cached_cwd(WorkingDirectory& cwd, pid_t task) {
  if (cwd) return *cwd;
  cwd.emplace();
  char link[48];
  std::snprintf(link, sizeof link, "/proc/%d/cwd", static_cast<int>(task));
  std::array<char, PATH_MAX + 1> buf;
  std::string_view target;
  if (read_link(link, buf, target)) append_utf8_lossy(target, *cwd);
  return *cwd;
}

void resolve_relative_to_cwd(WorkingDirectory& cwd_cache, pid_t task, std::string_view path,
                             std::string& out, LastName last) {
  out.clear();
  if (task < 1 || (!path.empty() && path.front() == '/')) {
    append_utf8_lossy(path, out);
    return;
  }
  const std::string& cwd = cached_cwd(cwd_cache, task);
  if (cwd.empty()) {
    append_utf8_lossy(path, out);
    return;
  }
  join_name(cwd, path, out, last);
}

}  // namespace

void resolve_path_at_into(WorkingDirectory& cwd, pid_t task, std::string_view path, int dirfd,
                          const std::string* dir_path, std::string& out, LastName last) {
  if (dirfd >= 0 && task >= 1 && (path.empty() || path.front() != '/')) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/fd/%d", static_cast<int>(task), dirfd);
    std::array<char, PATH_MAX + 1> buf;
    std::string_view target;
    if (read_link(link, buf, target)) {
      join_name(target, path, out, last);
    } else if (dir_path != nullptr && !dir_path->empty()) {
      // Beyond PATH_MAX the link cannot be read; the table knows what the descriptor names.
      join_name(*dir_path, path, out, last);
    } else {
      // Never a path under a directory the call did not name.
      out.clear();
    }
    return;
  }
  // AT_FDCWD, an absolute path or any other negative value.
  resolve_relative_to_cwd(cwd, task, path, out, last);
}

OpenedFileNames::~OpenedFileNames() = default;

bool ProcOpenedFileNames::name_of(pid_t task, int fd, std::string& out) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/%d/fd/%d", static_cast<int>(task), fd);
  std::array<char, PATH_MAX + 1> buf;
  std::string_view target;
  if (!read_link(link, buf, target)) return false;
  constexpr std::string_view kDeleted = " (deleted)";
  if (target.empty() || target.front() != '/' || target.ends_with(kDeleted)) return false;
  out.clear();
  append_utf8_lossy(target, out);
  return true;
}

}  // namespace drel
