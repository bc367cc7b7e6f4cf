#include "preload/guest/exec_environment.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "preload/guest/exec_target.h"
#include "preload/guest/large_table.h"
#include "preload/guest/path_text.h"
#include "preload/guest/raw_pages.h"
#include "preload/guest/raw_syscall.h"
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

// Where DREL_PRELOAD_LIB names the library through "$LIB": the directory this process's loader
// put for it, so that the library's plain path is known too (own form, below).
constexpr char kLib[] = "$LIB";
constinit size_t g_lib_at = 0;  // where "$LIB" starts in the value
constinit bool g_has_lib = false;
constinit char g_own_dir[64] = {};
constinit size_t g_own_dir_len = 0;  // 0: no plain path known
// Worked out at the first exec or spawn, which most processes never make. Another thread
// doing it meanwhile leaves this one the form every loader reads.
constinit std::atomic<int> g_own_form_state{0};  // 0: not yet, 1: being noted, 2: noted

// How LD_PRELOAD may name the library: as DREL_PRELOAD_LIB does (every loader reads it), or by
// the plain path of this process's class (only its own loader reads it, without the /proc
// look that "$LIB" costs).
enum class Form { None, Given, Own };

bool separator_or_end(char c) { return c == '\0' || c == ':' || c == ' '; }

// DREL_PRELOAD_LIB's value, and what follows "$LIB" in it.
const char* lib_value() { return value_of(g_library); }
size_t lib_length() { return g_library.len - g_library.name_len; }
const char* lib_tail() { return lib_value() + g_lib_at + sizeof kLib - 1; }
size_t lib_tail_length() { return lib_length() - g_lib_at - (sizeof kLib - 1); }

// Whether text[0, len) is DREL_PRELOAD_LIB's value with "$LIB" replaced by something.
bool expands_lib(const char* text, size_t len) {
  if (!g_has_lib) return false;
  const size_t tail = lib_tail_length();
  return len > g_lib_at + tail && strncmp(text, lib_value(), g_lib_at) == 0 &&
         strncmp(text + len - tail, lib_tail(), tail) == 0;
}

// The length of the first entry of LD_PRELOAD's value when it names the library in form f.
size_t form_length(const char* value, Form f) {
  const size_t n = lib_length();
  if (f == Form::Given)
    return strncmp(value, lib_value(), n) == 0 && separator_or_end(value[n]) ? n : 0;
  if (g_own_form_state.load(std::memory_order_acquire) != 2 || g_own_dir_len == 0) return 0;
  const size_t tail = lib_tail_length();
  if (strncmp(value, lib_value(), g_lib_at) != 0 ||
      strncmp(value + g_lib_at, g_own_dir, g_own_dir_len) != 0 ||
      strncmp(value + g_lib_at + g_own_dir_len, lib_tail(), tail) != 0)
    return 0;
  const size_t len = g_lib_at + g_own_dir_len + tail;
  return separator_or_end(value[len]) ? len : 0;
}

size_t form_text(Form f, char* out) {
  if (f != Form::Own) {
    memcpy(out, lib_value(), lib_length());
    return lib_length();
  }
  const size_t tail = lib_tail_length();
  memcpy(out, lib_value(), g_lib_at);
  memcpy(out + g_lib_at, g_own_dir, g_own_dir_len);
  memcpy(out + g_lib_at + g_own_dir_len, lib_tail(), tail);
  return g_lib_at + g_own_dir_len + tail;
}

// Any expansion of "$LIB" first in LD_PRELOAD's value (the plain path of either class): the
// length of that entry, else 0. Known before the first exec has worked out this class's own.
size_t any_form_length(const char* value) {
  const size_t given = form_length(value, Form::Given);
  if (given > 0) return given;
  size_t len = 0;
  while (!separator_or_end(value[len])) ++len;
  return expands_lib(value, len) ? len : 0;
}

// Where "$LIB" is in DREL_PRELOAD_LIB's value, if it is.
void note_lib_at() {
  const char* lib = lib_value();
  for (const char* at = lib; *at != '\0'; ++at) {
    if (strncmp(at, kLib, sizeof kLib - 1) == 0) {
      g_lib_at = static_cast<size_t>(at - lib);
      g_has_lib = true;
      return;
    }
  }
}

// The library's own path as the loader took it, when it is DREL_PRELOAD_LIB's value with "$LIB"
// expanded: what that expansion is for this process's class.
void note_own_dir() {
  Dl_info info;
  if (!g_has_lib || dladdr(reinterpret_cast<void*>(&capture_exec_environment), &info) == 0 ||
      info.dli_fname == nullptr)
    return;
  const size_t len = c_length(info.dli_fname);
  if (!expands_lib(info.dli_fname, len)) return;
  const size_t middle = len - g_lib_at - lib_tail_length();
  if (middle > sizeof g_own_dir) return;
  g_own_dir_len = middle;
  memcpy(g_own_dir, info.dli_fname + g_lib_at, middle);
}

struct Scan {
  size_t count = 0;
  const char* preload = nullptr;  // the first LD_PRELOAD entry
  size_t ours_len = 0;  // the length of the library's name first in it, in whichever form
  bool library_ok = false;
  bool socket_ok = false;
  bool preload_ok = false;
  bool duplicates = false;
};

Scan scan(char* const* envp, Form want) {
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
  if (g_library.len > 0 && s.preload != nullptr) {
    const char* value = s.preload + sizeof kPreload;  // past "LD_PRELOAD="
    const size_t wanted = form_length(value, want);
    s.preload_ok = wanted > 0;
    s.ours_len = wanted > 0 ? wanted : any_form_length(value);
  }
  if (g_library.len == 0) s.preload_ok = true;
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
  if (g_library.len > 0 && !g_library_from_file) note_lib_at();
}

namespace {

// PATH as the C library's own search reads it: the caller's, not the one it passes on.
const char* caller_path() {
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (strncmp(*e, "PATH=", 5) == 0) return *e + 5;
  }
  return nullptr;
}

bool own_form_known() {
  int state = g_own_form_state.load(std::memory_order_acquire);
  if (state == 0 && g_own_form_state.compare_exchange_strong(state, 1, std::memory_order_acquire)) {
    if (g_library.len > 0 && !g_library_from_file) {
      note_own_dir();
      if (g_own_dir_len > 0) note_own_loader();
    }
    g_own_form_state.store(2, std::memory_order_release);
    state = 2;
  }
  return state == 2 && g_own_dir_len > 0;
}

Form wanted_form(const ExecTarget& target) {
  if (!own_form_known()) return Form::Given;
  const bool own = target.fd >= 0 ? fd_runs_under_own_loader(target.fd)
                                  : runs_under_own_loader(target.file, target.search,
                                                          target.search ? caller_path() : nullptr);
  return own ? Form::Own : Form::Given;
}

}  // namespace

TracedEnvironment::TracedEnvironment(char* const* envp, const ExecTarget& target) noexcept
    : envp_(envp) {
  unmap_pages_left_by_vfork_child();
  if (!g_captured || !trace_session_active()) return;
  const Form want = wanted_form(target);
  Scan s = scan(envp, want);
  if (s.library_ok && s.socket_ok && s.preload_ok && !s.duplicates) return;

  // LD_PRELOAD=<library>[:<what the caller had besides>]
  const char* old_preload = s.preload != nullptr ? s.preload + sizeof kPreload : "";
  if (s.ours_len > 0) {
    old_preload += s.ours_len;
    if (*old_preload != '\0') ++old_preload;
  }
  size_t lib_len = lib_length() + g_own_dir_len;  // at most
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
    o += form_text(want, text + o);
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
  if (!in_own_process(static_cast<uint32_t>(raw_syscall(SYS_getpid))))
    t_left_by_vfork_child = Pages{pages, size};
}

TracedEnvironment::~TracedEnvironment() {
  if (pages_ == nullptr) return;
  if (t_left_by_vfork_child.at == pages_) t_left_by_vfork_child = Pages{nullptr, 0};
  unmap_private_pages(pages_, size_);
}

}  // namespace drel::guest
