#include "preload/guest/thread_block.h"

#include <pthread.h>

#include <atomic>
#include <new>

#include "preload/guest/fd_table.h"
#include "preload/guest/raw_pages.h"
#include "preload/guest/recursion_guard.h"

namespace drel::guest {
namespace {

// A report, a handler interrupting it, and two more handlers nested in that one.
constexpr int kLevels = 4;

struct ThreadBlock {
  FdTable table;
  PathText level[kLevels];
  PathText second[kLevels];  // a rename's other name; its pages are touched by renames only
};

ThreadBlock* map_block() {
  return static_cast<ThreadBlock*>(map_private_pages(sizeof(ThreadBlock)));
}

void unmap_block(ThreadBlock* block) { unmap_private_pages(block, sizeof(ThreadBlock)); }

// A pointer only: kilobytes of static TLS would come out of every thread's stack. A fork child
// inherits the block with the pointer; a vfork child shares both with its parent, which is
// suspended and not reporting, so the child's report uses a buffer the parent has free.
constinit thread_local std::atomic<ThreadBlock*> t_block{nullptr};

// Made when the library loads: made later, it could need an allocation in a thread that
// already holds many keys.
constinit bool g_exit_key_ready = false;
pthread_key_t g_exit_key;

void unmap_at_thread_exit(void* block) {
  t_block.store(nullptr, std::memory_order_relaxed);
  unmap_block(static_cast<ThreadBlock*>(block));
}

ThreadBlock* thread_block() {
  ThreadBlock* block = t_block.load(std::memory_order_relaxed);
  if (block != nullptr) return block;
  block = map_block();
  if (block == nullptr) return nullptr;
  new (&block->table) FdTable();
  // A signal handler may have mapped one meanwhile: the first stays, the other goes.
  ThreadBlock* earlier = nullptr;
  if (!t_block.compare_exchange_strong(earlier, block, std::memory_order_relaxed)) {
    unmap_block(block);
    return earlier;
  }
  if (g_exit_key_ready) pthread_setspecific(g_exit_key, block);
  return block;
}

}  // namespace

void prepare_thread_blocks() noexcept {
  g_exit_key_ready = pthread_key_create(&g_exit_key, unmap_at_thread_exit) == 0;
}

PathText* report_path_buffer(bool second) noexcept {
  int depth = report_depth();
  if (depth < 1 || depth > kLevels) return nullptr;
  ThreadBlock* block = thread_block();
  if (block == nullptr) return nullptr;
  return second ? &block->second[depth - 1] : &block->level[depth - 1];
}

FdTable* thread_fd_table() noexcept {
  ThreadBlock* block = thread_block();
  return block != nullptr ? &block->table : nullptr;
}

}  // namespace drel::guest
