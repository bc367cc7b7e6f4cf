#include "preload/guest/real_functions.h"

#include <dlfcn.h>

#include <atomic>

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
  RealFunction fallback = kFallbacks[static_cast<int>(which)];
  return fallback != which ? lookup(fallback) : nullptr;
}

void resolve_real_functions() noexcept {
  for (int i = 0; i < kCount; ++i) lookup(static_cast<RealFunction>(i));
}

}  // namespace drel::guest
