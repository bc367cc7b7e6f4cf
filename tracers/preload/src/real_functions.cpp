#include "preload/src/real_functions.h"

#include <dlfcn.h>

#include <atomic>

namespace drel {
namespace {

constexpr int kCount = static_cast<int>(RealFunction::count);

constexpr const char* kNames[kCount] = {
    "read",     "readv",    "pread",  "pread64", "write",  "writev",   "pwrite",
    "pwrite64", "sendfile", "fread",  "fwrite",  "mmap",   "ftruncate", "open",
    "open64",   "openat",   "openat64", "creat", "truncate", "unlink", "link",
    "rename",   "unlinkat", "linkat", "renameat", "fopen", "fopen64",  "fdopen",
    "freopen",  "getenv",
};

// Several threads may fill a slot at once; they store the same value.
constinit std::atomic<void*> g_slots[kCount] = {};

void* lookup(RealFunction which) noexcept {
  int i = static_cast<int>(which);
  void* fn = g_slots[i].load(std::memory_order_relaxed);
  if (fn != nullptr) return fn;
  fn = dlsym(RTLD_NEXT, kNames[i]);
  if (fn != nullptr) g_slots[i].store(fn, std::memory_order_relaxed);
  return fn;
}

}  // namespace

void* real_function(RealFunction which) noexcept {
  void* fn = lookup(which);
  if (fn != nullptr) return fn;
  if (which == RealFunction::open64) return lookup(RealFunction::open);
  if (which == RealFunction::openat64) return lookup(RealFunction::openat);
  return nullptr;
}

void resolve_real_functions() noexcept {
  for (int i = 0; i < kCount; ++i) lookup(static_cast<RealFunction>(i));
}

}  // namespace drel
