// The one allocation path of the library, with its failure hook, and yyjson's allocator over it.

#include "util/vepod_alloc.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Allocations left before the armed failure; negative when disarmed.
std::atomic<long> g_alloc_budget{-1};

void *json_malloc(void *, size_t size) { return vepod_malloc(size); }
void *json_realloc(void *, void *block, size_t, size_t size) { return vepod_realloc(block, size); }
void json_free(void *, void *block) { std::free(block); }

constexpr yyjson_alc k_json_alc = {json_malloc, json_realloc, json_free, nullptr};

}  // namespace

long vepod_alloc_fail_after(long count) { return g_alloc_budget.exchange(count < 0 ? -1 : count); }

bool vepod_alloc_should_fail() {
  long budget = g_alloc_budget.load(std::memory_order_relaxed);
  while (budget >= 0) {
    if (g_alloc_budget.compare_exchange_weak(budget, budget - 1)) return budget == 0;
  }
  return false;
}

void *vepod_malloc(size_t size) { return vepod_alloc_should_fail() ? nullptr : std::malloc(size); }

void *vepod_calloc(size_t count, size_t size) {
  return vepod_alloc_should_fail() ? nullptr : std::calloc(count, size);
}

void *vepod_realloc(void *block, size_t size) {
  return vepod_alloc_should_fail() ? nullptr : std::realloc(block, size);
}

const yyjson_alc *vepod_json_alc() { return &k_json_alc; }

bool vepod_buffer_grow(vepod_buffer &b, size_t n) {
  if (b.failed) return false;
  if (n > SIZE_MAX - 1 - b.len) {
    b.failed = true;
    return false;
  }
  size_t need = b.len + n + 1;
  if (need <= b.cap) return true;
  size_t cap = b.cap != 0 ? b.cap : need <= 256 ? 256 : 512;
  while (cap < need) {
    if (cap > SIZE_MAX / 2) {
      b.failed = true;
      return false;
    }
    cap *= 2;
  }
  auto *grown = static_cast<char *>(vepod_realloc(b.data, cap));
  if (!grown) {
    b.failed = true;
    return false;
  }
  b.data = grown;
  b.cap = cap;
  return true;
}

void vepod_buffer_put(vepod_buffer &b, const char *s, size_t n) {
  if (!vepod_buffer_reserve(b, n)) return;
  if (n) std::memcpy(b.data + b.len, s, n);
  b.len += n;
  b.data[b.len] = '\0';
}
