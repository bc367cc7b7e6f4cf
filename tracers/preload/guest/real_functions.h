// The C library's own versions of the wrapped functions, each found at its first use (a
// process uses few of them) and cached, so no lookup runs on the hot path.
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

// Readies the lookups (from the library's constructor); where they cannot be made without the
// loader, makes them all at once, while that is still harmless.
void prepare_real_functions() noexcept;

}  // namespace drel::guest
