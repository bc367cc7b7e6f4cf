// Work done once when the library (or the launcher that carries the wrappers) is loaded,
// while the process is still single-threaded and its environment untouched.
#include "preload/src/real_functions.h"
#include "preload/src/trace_session.h"

namespace {

__attribute__((constructor)) void drel_preload_on_load() {
  drel::resolve_real_functions();
  drel::init_trace_session();
}

}  // namespace
