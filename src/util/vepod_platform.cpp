// Platform layer: the lock, the monotonic clock and the kernel's random source.

#include "util/vepod_util.h"

#include <sys/random.h>
#include <time.h>

#include <cerrno>

void vepod_lock_acquire(vepod_lock *lock) { pthread_mutex_lock(&lock->mutex); }
void vepod_lock_release(vepod_lock *lock) { pthread_mutex_unlock(&lock->mutex); }

uint64_t vepod_now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

int vepod_random_u32(uint32_t *value) {
  uint32_t v = 0;
  for (;;) {
    ssize_t n = getrandom(&v, sizeof v, 0);
    if (n == ssize_t(sizeof v)) break;
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
  *value = v;
  return 0;
}
