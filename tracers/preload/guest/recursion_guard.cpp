#include "preload/guest/recursion_guard.h"

namespace drel::guest {
namespace {

// Zero-initialised in every new thread, no set-up call needed.
constinit thread_local bool t_in_hook = false;

}  // namespace

bool in_hook() noexcept { return t_in_hook; }

HookScope::HookScope() noexcept : previous_(t_in_hook) { t_in_hook = true; }

HookScope::~HookScope() { t_in_hook = previous_; }

}  // namespace drel::guest
