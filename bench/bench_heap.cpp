// Counts the heap of the benchmark program: malloc and its kin are replaced by wrappers over the C
// library's own entry points that add up the usable size of each block.

#include "bench_heap.h"

#include <malloc.h>

#include <atomic>
#include <cstddef>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

namespace {

std::atomic<size_t> g_in_use{0};
std::atomic<size_t> g_peak{0};

void *counted(void *block) {
  if (block) {
    size_t now = g_in_use.fetch_add(malloc_usable_size(block), std::memory_order_relaxed) +
                 malloc_usable_size(block);
    size_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
  }
  return block;
}

void uncount(void *block) {
  if (block) g_in_use.fetch_sub(malloc_usable_size(block), std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void *malloc(size_t size) { return counted(__libc_malloc(size)); }
void *calloc(size_t count, size_t size) { return counted(__libc_calloc(count, size)); }
void free(void *block) {
  uncount(block);
  __libc_free(block);
}
void *realloc(void *block, size_t size) {
  // The old block is counted out first: a failed realloc leaves it, so it is counted in again.
  uncount(block);
  void *grown = __libc_realloc(block, size);
  if (grown) return counted(grown);
  if (size != 0) counted(block);
  return nullptr;
}
void *memalign(size_t alignment, size_t size) { return counted(__libc_memalign(alignment, size)); }
void *aligned_alloc(size_t alignment, size_t size) {
  return counted(__libc_memalign(alignment, size));
}
int posix_memalign(void **out, size_t alignment, size_t size) {
  void *block = __libc_memalign(alignment, size);
  if (!block) return 12;  // ENOMEM
  *out = counted(block);
  return 0;
}

}  // extern "C"

namespace bench {

size_t heap_in_use() { return g_in_use.load(std::memory_order_relaxed); }
size_t heap_peak() { return g_peak.load(std::memory_order_relaxed); }
void heap_reset_peak() { g_peak.store(heap_in_use(), std::memory_order_relaxed); }

}  // namespace bench
