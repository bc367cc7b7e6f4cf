#include "preload/guest/real_functions.h"

#include <dlfcn.h>

#include <atomic>

#include "preload/guest/next_symbol.h"

namespace drel::guest {
namespace {

constexpr int kCount = static_cast<int>(RealFunction::count);

constexpr const char* kNames[kCount] = {
#define DREL_REAL_FUNCTION_NAME(name, fallback) #name,
    DREL_WRAPPED_FUNCTIONS(DREL_REAL_FUNCTION_NAME)
    DREL_UNWRAPPED_FUNCTIONS(DREL_REAL_FUNCTION_NAME)
#undef DREL_REAL_FUNCTION_NAME
};

constexpr RealFunction kFallbacks[kCount] = {
#define DREL_REAL_FUNCTION_FALLBACK(name, fallback) RealFunction::fallback,
    DREL_WRAPPED_FUNCTIONS(DREL_REAL_FUNCTION_FALLBACK)
    DREL_UNWRAPPED_FUNCTIONS(DREL_REAL_FUNCTION_FALLBACK)
#undef DREL_REAL_FUNCTION_FALLBACK
};

// Several threads may fill a slot at once; they store the same value.
constinit std::atomic<void*> g_slots[kCount] = {};
constinit std::atomic<bool> g_objects_noted{false};

// A function another library's constructor calls before ours has run is found by dlsym, as
// is one only the loader can place.
void* search(const char* name) noexcept {
  if (g_objects_noted.load(std::memory_order_acquire)) {
    NextSymbol s = find_next_symbol(name);
    if (!s.needs_dlsym) return s.address;
  }
  return dlsym(RTLD_NEXT, name);
}

void* lookup(RealFunction which) noexcept {
  int i = static_cast<int>(which);
  void* fn = g_slots[i].load(std::memory_order_relaxed);
  if (fn != nullptr) return fn;
  fn = search(kNames[i]);
  if (fn != nullptr) g_slots[i].store(fn, std::memory_order_relaxed);
  return fn;
}

}  // namespace

void* real_function(RealFunction which) noexcept {
  void* fn = lookup(which);
  if (fn != nullptr) return fn;
  RealFunction fallback = kFallbacks[static_cast<int>(which)];
  return fallback != which ? lookup(fallback) : nullptr;
}

void prepare_real_functions() noexcept {
  if (note_next_objects()) {
    g_objects_noted.store(true, std::memory_order_release);
    return;
  }
  for (int i = 0; i < kCount; ++i) lookup(static_cast<RealFunction>(i));
}

}  // namespace drel::guest
