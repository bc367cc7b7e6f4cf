#include "preload/launcher/library_lookup.h"

#include <dirent.h>

#include <cstdlib>
#include <string_view>

#include "common/file_system.h"
#include "common/proc_info.h"
#include "common/utf8.h"
#include "preload/protocol/environment.h"

namespace drel::launcher {
namespace {

bool looks_like_library(std::string_view name) {
  constexpr size_t kMinLength = 22;  // longer than the stem "libdrel_tracer_preload"
  return name.size() >= kMinLength &&
         (name.starts_with("libdrel_tracer_preload") ||
          name.starts_with("libdrel-tracer-preload")) &&
         name.ends_with(".so");
}

std::optional<std::string> directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  if (slash == 0) return std::string("/");
  return path.substr(0, slash);
}

constexpr std::string_view kLib = "$LIB";

// The path as a loader whose "$LIB" is lib_dir reads it.
std::string expand_lib(const std::string& path, std::string_view lib_dir) {
  const size_t at = path.find(kLib);
  if (at == std::string::npos || lib_dir.empty()) return path;
  return path.substr(0, at) + std::string(lib_dir) +
         expand_lib(path.substr(at + kLib.size()), lib_dir);
}

}  // namespace

std::optional<std::string> find_preload_library_in(const std::string& dir) {
  for (const char* name : {"libdrel_tracer_preload.so", "libdrel-tracer-preload.so"}) {
    std::string candidate = join_path(dir, std::string(name));
    if (path_exists(candidate)) return candidate;
  }
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return std::nullopt;
  std::optional<std::string> found;
  while (const dirent* e = ::readdir(d)) {
    const std::string_view name = e->d_name;
    if (!is_valid_utf8(name) || !looks_like_library(name)) continue;
    std::string candidate = join_path(dir, std::string(name));
    if (path_exists(candidate)) {
      found = std::move(candidate);
      break;
    }
  }
  ::closedir(d);
  return found;
}

std::optional<std::string> find_preload_library(const std::optional<std::string>& override_value,
                                                const std::optional<std::string>& exe_path) {
  // An override that names nothing is ignored without a word.
  if (override_value && is_valid_utf8(*override_value) && !override_value->empty() &&
      path_exists(expand_lib(*override_value, DREL_NATIVE_LIB_DIR))) {
    return override_value;
  }
  if (!exe_path) return std::nullopt;
  std::optional<std::string> dir = directory_of(*exe_path);
  if (!dir) return std::nullopt;
  return find_preload_library_in(*dir);
}

std::string preload_entry(const std::string& library, const std::string& native_dir,
                          const std::string& i386_dir) {
  if (native_dir.empty() || i386_dir.empty() || library.find(kLib) != std::string::npos)
    return library;
  const size_t slash = library.rfind('/');
  if (slash == std::string::npos) return library;
  const std::string dir = library.substr(0, slash + 1);
  const std::string file = library.substr(slash + 1);
  if (!path_exists(dir + native_dir + "/" + file) || !path_exists(dir + i386_dir + "/" + file))
    return library;
  return dir + std::string(kLib) + "/" + file;
}

std::string preload_entry(const std::string& library) {
  return preload_entry(library, DREL_NATIVE_LIB_DIR, DREL_I386_LIB_DIR);
}

std::string native_entry(const std::string& entry) {
  return expand_lib(entry, DREL_NATIVE_LIB_DIR);
}

std::vector<std::string> preloaded_files(const std::string& library, const std::string& native_dir,
                                         const std::string& i386_dir) {
  const std::string entry = preload_entry(library, native_dir, i386_dir);
  if (entry.find(kLib) == std::string::npos) return {entry};
  std::vector<std::string> files;
  for (const std::string& dir : {native_dir, i386_dir}) {
    if (!dir.empty()) files.push_back(expand_lib(entry, dir));
  }
  return files;
}

std::vector<std::string> preloaded_files(const std::string& library) {
  return preloaded_files(library, DREL_NATIVE_LIB_DIR, DREL_I386_LIB_DIR);
}

std::optional<std::string> find_preload_library() {
  std::optional<std::string> override_value;
  if (const char* v = std::getenv(protocol::kPreloadLibraryVariable)) override_value = v;
  return find_preload_library(override_value, self_exe_path());
}

}  // namespace drel::launcher
