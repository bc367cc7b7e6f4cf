// The C library's own versions of the wrapped functions, found once per process with
// dlsym(RTLD_NEXT) and cached, so no lookup runs on the hot path.
#pragma once

#include "preload/guest/wrapped_functions.h"

namespace drel::guest {

enum class RealFunction : int {
#define DREL_REAL_FUNCTION_ENUM(name, fallback) name,
  DREL_WRAPPED_FUNCTIONS(DREL_REAL_FUNCTION_ENUM)
  DREL_UNWRAPPED_FUNCTIONS(DREL_REAL_FUNCTION_ENUM)
#undef DREL_REAL_FUNCTION_ENUM
  count
};

// The real function, or null when the C library has neither it nor its fallback.
void* real_function(RealFunction which) noexcept;

// Looks every function up ahead of time (from the library's constructor).
void resolve_real_functions() noexcept;

}  // namespace drel::guest
