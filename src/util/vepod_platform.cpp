// Platform layer: the lock, the monotonic clock and the system's cryptographic random source.
// Windows has them natively (slim reader/writer locks, GetTickCount64, rand_s); elsewhere POSIX
// gives the same contract.

#if defined(_WIN32)
#define _CRT_RAND_S  // declares rand_s in stdlib.h
#include <stdlib.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/random.h>
#include <time.h>

#include <cerrno>
#endif

#include "util/vepod_platform.h"

#if defined(_WIN32)

namespace {

static_assert(sizeof(SRWLOCK) == sizeof(vepod_lock::srw) &&
              alignof(SRWLOCK) == alignof(decltype(vepod_lock::srw)));

PSRWLOCK srw_of(vepod_lock *lock) { return reinterpret_cast<PSRWLOCK>(&lock->srw); }

}  // namespace

void vepod_lock_acquire(vepod_lock *lock) { AcquireSRWLockExclusive(srw_of(lock)); }
void vepod_lock_release(vepod_lock *lock) { ReleaseSRWLockExclusive(srw_of(lock)); }

uint64_t vepod_now_ms() { return GetTickCount64(); }

int vepod_random_u32(uint32_t *value) {
  unsigned int v = 0;
  if (rand_s(&v) != 0) return -1;
  *value = v;
  return 0;
}

#else

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

#endif
