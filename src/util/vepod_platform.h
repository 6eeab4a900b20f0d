// The platform layer: the format check of printf-like functions, a lock usable as a static, the
// monotonic clock and the random source (vepod_platform.cpp).
#pragma once

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <cstdint>

// Checks a printf-like function's format against its arguments. MinGW-w64's C++ runtime formats
// as the C99 standard says (%zu, %lld), which GCC checks under the name gnu_printf there.
#if defined(__MINGW32__) && !defined(__clang__)
#define VEPOD_PRINTF(format_index, first_arg) \
  __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define VEPOD_PRINTF(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#endif

// An exclusive lock usable as a constant-initialised static: `static vepod_lock g_x;` runs no code
// at load time.
#if defined(_WIN32)
// A slim reader/writer lock, held as its one pointer-sized field (SRWLOCK_INIT is all zero) so that
// windows.h stays out of every file that takes a lock.
struct vepod_lock {
  void *srw = nullptr;
};
#else
struct vepod_lock {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};
#endif
void vepod_lock_acquire(vepod_lock *lock);
void vepod_lock_release(vepod_lock *lock);

// Holds a vepod_lock for the lifetime of a scope.
class vepod_lock_guard {
 public:
  explicit vepod_lock_guard(vepod_lock &lock) : lock_(lock) { vepod_lock_acquire(&lock_); }
  ~vepod_lock_guard() { vepod_lock_release(&lock_); }
  vepod_lock_guard(const vepod_lock_guard &) = delete;
  vepod_lock_guard &operator=(const vepod_lock_guard &) = delete;

 private:
  vepod_lock &lock_;
};

// Monotonic milliseconds since an arbitrary start (system boot); never goes backwards.
uint64_t vepod_now_ms();

// One 32-bit value from the kernel's cryptographic random source. Returns 0 and fills *value, or
// -1 (leaving *value untouched) when the source fails.
int vepod_random_u32(uint32_t *value);
