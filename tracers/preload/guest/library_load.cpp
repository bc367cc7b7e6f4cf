// Work done once when the library (or the launcher that carries the wrappers) is loaded,
// while the process is still single-threaded and its environment untouched.
#include "preload/guest/event_sending.h"
#include "preload/guest/exec_environment.h"
#include "preload/guest/process_description.h"
#include "preload/guest/real_functions.h"
#include "preload/guest/recursion_guard.h"
#include "preload/guest/thread_block.h"
#include "preload/guest/trace_connection.h"
#include "preload/guest/trace_session.h"

namespace {

// The C library hands ELF constructors the program's argc, argv and envp.
__attribute__((constructor)) void drel_preload_on_load(int argc, char** argv, char** envp) {
  drel::guest::prepare_real_functions();
  drel::guest::init_trace_session();
  drel::guest::prepare_connections();
  drel::guest::prepare_thread_blocks();
  drel::guest::capture_exec_environment();
  drel::guest::note_process_areas(argc, argv, envp);
  // The program this process runs is an input of the run, whoever started it.
  if (drel::guest::trace_session_active()) {
    drel::guest::ReportScope scope;
    drel::guest::ErrnoKeeper keep_errno;
    drel::guest::announce_executed_image();
  }
}

// Losses of the last moments would otherwise never reach the launcher.
__attribute__((destructor)) void drel_preload_on_unload() {
  drel::guest::send_lost_count_at_exit();
}

}  // namespace
