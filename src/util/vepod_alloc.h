// The allocation policy every library block obeys (one path with a failure hook), the allocators
// of yyjson and of the containers over it, and the growable buffer (vepod_alloc.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

// Every block the library owns comes from these (and yyjson documents from vepod_json_alc), so
// that tests can make any single allocation fail. Blocks are released with free().
void *vepod_malloc(size_t size);
void *vepod_calloc(size_t count, size_t size);
void *vepod_realloc(void *block, size_t size);
const yyjson_alc *vepod_json_alc();

// Owns a malloc'ed text and releases it with free().
struct vepod_free_deleter {
  void operator()(void *block) const { std::free(block); }
};
using vepod_heap_text = std::unique_ptr<char, vepod_free_deleter>;

// A standard allocator over vepod_malloc, so that the containers the library uses obey the same
// policy (and the same failure hook) as its own blocks. Failure throws std::bad_alloc, which the
// boundary functions turn into an out-of-memory answer.
template <typename T>
struct vepod_std_allocator {
  using value_type = T;
  vepod_std_allocator() = default;
  template <typename U>
  vepod_std_allocator(const vepod_std_allocator<U> &) {}
  T *allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    void *block = vepod_malloc(n * sizeof(T));
    if (!block) throw std::bad_alloc();
    return static_cast<T *>(block);
  }
  void deallocate(T *block, size_t) { std::free(block); }
  template <typename U>
  bool operator==(const vepod_std_allocator<U> &) const {
    return true;
  }
};
using vepod_string = std::basic_string<char, std::char_traits<char>, vepod_std_allocator<char>>;
template <typename T>
using vepod_vector = std::vector<T, vepod_std_allocator<T>>;

// A heap byte block for texts that grow, from vepod_realloc: its content is always followed by a
// NUL once it holds a block. Capacities start at 256 bytes (512 when 256 are not enough) and
// double. Once growing fails the buffer stays failed and appends do nothing, so a writer checks
// once at the end.
struct vepod_buffer {
  char *data = nullptr;
  size_t len = 0;
  size_t cap = 0;
  bool failed = false;

  vepod_buffer() = default;
  vepod_buffer(const vepod_buffer &) = delete;
  vepod_buffer &operator=(const vepod_buffer &) = delete;
  ~vepod_buffer() { std::free(data); }
  // Hands the block over to the caller (NULL when nothing was stored) and empties the buffer.
  char *release() {
    char *block = data;
    data = nullptr;
    len = cap = 0;
    return block;
  }
};
// The slow path of vepod_buffer_reserve: grows the block.
bool vepod_buffer_grow(vepod_buffer &b, size_t n);
// Makes room for n more bytes and the NUL; false once the buffer has failed.
inline bool vepod_buffer_reserve(vepod_buffer &b, size_t n) {
  return (!b.failed && b.cap > b.len && n < b.cap - b.len) || vepod_buffer_grow(b, n);
}
void vepod_buffer_put(vepod_buffer &b, const char *s, size_t n);
inline void vepod_buffer_put(vepod_buffer &b, std::string_view s) {
  vepod_buffer_put(b, s.data(), s.size());
}

// Test hook: the next `count` allocations succeed, the one after them fails, and the hook then
// disarms itself; -1 disarms it at once. Returns how many successes were left before the call
// (-1 when it was disarmed).
long vepod_alloc_fail_after(long count);
// Whether the allocation about to be made must fail (counts it against the armed budget).
bool vepod_alloc_should_fail();
