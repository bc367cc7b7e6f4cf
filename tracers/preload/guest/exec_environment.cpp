#include "preload/guest/exec_environment.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "preload/guest/large_table.h"
#include "preload/guest/path_text.h"
#include "preload/guest/raw_pages.h"
#include "preload/guest/real_functions.h"
#include "preload/guest/trace_session.h"
#include "preload/protocol/environment.h"

namespace drel::guest {
namespace {

constexpr char kPreload[] = "LD_PRELOAD";

// One variable as the process got it: "NAME=value", empty when it was unset. The lengths come
// first: a short value then leaves the rest of the buffer, and its pages, untouched.
template <size_t kCapacity>
struct Kept {
  size_t len;
  size_t name_len;  // with the "="
  char entry[kCapacity];
};

DREL_LARGE_TABLE Kept<PATH_MAX + 32> g_library;  // DREL_PRELOAD_LIB
bool g_library_from_file = false;  // not from the variable: LD_PRELOAD only, no variable added
// DREL_PRELOAD_TRACE_SOCK; a longer path could never be connected to.
Kept<sizeof(sockaddr_un::sun_path) + 32> g_socket;
bool g_captured = false;

template <size_t kCapacity>
void keep(const char* name, Kept<kCapacity>& out) {
  using GetenvFn = char* (*)(const char*);
  auto real_getenv = reinterpret_cast<GetenvFn>(real_function(RealFunction::getenv));
  const char* value = real_getenv != nullptr ? real_getenv(name) : nullptr;
  out.len = 0;
  size_t n = c_length(name);
  if (value == nullptr || value[0] == '\0') return;
  size_t v = c_length(value);
  if (n + 1 + v >= sizeof out.entry) return;
  memcpy(out.entry, name, n);
  out.entry[n] = '=';
  memcpy(out.entry + n + 1, value, v + 1);
  out.name_len = n + 1;
  out.len = n + 1 + v;
}

template <size_t kCapacity>
const char* value_of(const Kept<kCapacity>& k) {
  return k.entry + k.name_len;
}

// entry is "name=..." for the name (with its "=") that prefix gives.
bool is_variable(const char* entry, const char* prefix, size_t prefix_len) {
  return strncmp(entry, prefix, prefix_len) == 0;
}

bool preload_has_library_first(const char* entry) {
  const char* value = entry + sizeof kPreload;  // past "LD_PRELOAD="
  size_t n = g_library.len - g_library.name_len;
  if (strncmp(value, value_of(g_library), n) != 0) return false;
  return value[n] == '\0' || value[n] == ':' || value[n] == ' ';
}

struct Scan {
  size_t count = 0;
  const char* preload = nullptr;  // the first LD_PRELOAD entry
  bool library_ok = false;
  bool socket_ok = false;
  bool preload_ok = false;
  bool duplicates = false;
};

Scan scan(char* const* envp) {
  Scan s;
  char preload_prefix[sizeof kPreload + 1];
  memcpy(preload_prefix, kPreload, sizeof kPreload - 1);
  preload_prefix[sizeof kPreload - 1] = '=';
  preload_prefix[sizeof kPreload] = '\0';
  for (; envp != nullptr && envp[s.count] != nullptr; ++s.count) {
    const char* e = envp[s.count];
    if (is_variable(e, preload_prefix, sizeof kPreload)) {
      if (s.preload != nullptr) s.duplicates = true;
      if (s.preload == nullptr) s.preload = e;
    } else if (g_library.len > 0 && !g_library_from_file &&
               is_variable(e, g_library.entry, g_library.name_len)) {
      if (s.library_ok) s.duplicates = true;
      s.library_ok = strcmp(e, g_library.entry) == 0;
    } else if (is_variable(e, g_socket.entry, g_socket.name_len)) {
      if (s.socket_ok) s.duplicates = true;
      s.socket_ok = strcmp(e, g_socket.entry) == 0;
    }
  }
  s.preload_ok =
      g_library.len == 0 || (s.preload != nullptr && preload_has_library_first(s.preload));
  if (g_library.len == 0 || g_library_from_file) s.library_ok = true;
  return s;
}

struct Pages {
  void* at;
  size_t size;
};

// The pages a vfork child of this thread built its environment in. The child runs on its
// parent's memory and thread-local storage; once its exec succeeded they stay in the parent,
// where nothing would unmap them. The parent thread was held until that exec, so by the time
// this thread (or its next vfork child) builds an environment again, they are free to go: at
// most one such set is left per thread.
constinit thread_local Pages t_left_by_vfork_child = {nullptr, 0};

void unmap_pages_left_by_vfork_child() {
  if (t_left_by_vfork_child.at == nullptr) return;
  unmap_private_pages(t_left_by_vfork_child.at, t_left_by_vfork_child.size);
  t_left_by_vfork_child = Pages{nullptr, 0};
}

}  // namespace

// Without DREL_PRELOAD_LIB (a library preloaded by hand), the library's own file name, when
// LD_PRELOAD names it as it stands: the program carrying the wrappers is no library to preload.
static void keep_own_file_name(const char* preload) {
  Dl_info info;
  if (preload == nullptr ||
      dladdr(reinterpret_cast<void*>(&capture_exec_environment), &info) == 0 ||
      info.dli_fname == nullptr || info.dli_fname[0] == '\0')
    return;
  size_t n = c_length(info.dli_fname);
  for (const char* p = preload; *p != '\0';) {
    size_t len = strcspn(p, ": ");
    if (len == n && strncmp(p, info.dli_fname, n) == 0) {
      static constexpr char kName[] = "DREL_PRELOAD_LIB=";
      if (sizeof kName + n > sizeof g_library.entry) return;
      memcpy(g_library.entry, kName, sizeof kName - 1);
      memcpy(g_library.entry + sizeof kName - 1, info.dli_fname, n + 1);
      g_library.name_len = sizeof kName - 1;
      g_library.len = g_library.name_len + n;
      g_library_from_file = true;
      return;
    }
    p += len;
    if (*p != '\0') ++p;
  }
}

void capture_exec_environment() noexcept {
  keep(protocol::kPreloadLibraryVariable, g_library);
  if (g_library.len == 0) {
    using GetenvFn = char* (*)(const char*);
    auto real_getenv = reinterpret_cast<GetenvFn>(real_function(RealFunction::getenv));
    if (real_getenv != nullptr) keep_own_file_name(real_getenv(kPreload));
  }
  keep(protocol::kTraceSocketVariable, g_socket);
  g_captured = g_socket.len > 0;
}

TracedEnvironment::TracedEnvironment(char* const* envp) noexcept : envp_(envp) {
  unmap_pages_left_by_vfork_child();
  if (!g_captured || !trace_session_active()) return;
  Scan s = scan(envp);
  if (s.library_ok && s.socket_ok && s.preload_ok && !s.duplicates) return;

  // LD_PRELOAD=<library>[:<what the caller had>]
  const char* old_preload = s.preload != nullptr ? s.preload + sizeof kPreload : "";
  size_t lib_len = g_library.len - g_library.name_len;
  size_t old_len = s.preload_ok ? 0 : c_length(old_preload);
  size_t preload_len = 0;
  if (!s.preload_ok)
    preload_len = sizeof kPreload + lib_len + (old_len > 0 ? 1 + old_len : 0);
  else if (s.preload != nullptr)
    preload_len = c_length(s.preload);

  size_t pointers = (s.count + 4) * sizeof(char*);
  size_t size = pointers + preload_len + 1;
  void* pages = map_private_pages(size);
  if (pages == nullptr) return;  // the program's own environment, untraced child and all

  auto** out = static_cast<char**>(pages);
  char* text = static_cast<char*>(pages) + pointers;
  size_t n = 0;
  // Everything else, in its order; the three are put after it, once each.
  for (size_t i = 0; i < s.count; ++i) {
    const char* e = envp[i];
    if (strncmp(e, kPreload, sizeof kPreload - 1) == 0 && e[sizeof kPreload - 1] == '=') continue;
    if (g_library.len > 0 && !g_library_from_file &&
        is_variable(e, g_library.entry, g_library.name_len))
      continue;
    if (is_variable(e, g_socket.entry, g_socket.name_len)) continue;
    out[n++] = const_cast<char*>(e);
  }
  if (s.preload_ok) {
    if (s.preload != nullptr) memcpy(text, s.preload, preload_len + 1);
  } else {
    size_t o = 0;
    memcpy(text, kPreload, sizeof kPreload - 1);
    o += sizeof kPreload - 1;
    text[o++] = '=';
    memcpy(text + o, value_of(g_library), lib_len);
    o += lib_len;
    if (old_len > 0) {
      text[o++] = ':';
      memcpy(text + o, old_preload, old_len);
      o += old_len;
    }
    text[o] = '\0';
  }
  if (preload_len > 0) out[n++] = text;
  if (g_library.len > 0 && !g_library_from_file) out[n++] = g_library.entry;
  out[n++] = g_socket.entry;
  out[n] = nullptr;
  envp_ = out;
  pages_ = pages;
  size_ = size;
  // Unmapped after a failed exec (below), or by the parent thread after a successful one.
  if (!in_own_process(static_cast<uint32_t>(getpid()))) t_left_by_vfork_child = Pages{pages, size};
}

TracedEnvironment::~TracedEnvironment() {
  if (pages_ == nullptr) return;
  if (t_left_by_vfork_child.at == pages_) t_left_by_vfork_child = Pages{nullptr, 0};
  unmap_private_pages(pages_, size_);
}

}  // namespace drel::guest
