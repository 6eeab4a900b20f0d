// Small helpers shared by every area: platform layer, URLs, hashing, dates, durations, UTF-8.

#include "util/vepod_util.h"

#include <sys/random.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

// MARK: Platform layer

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

// MARK: UTF-8

namespace {

// Length of the well-formed UTF-8 sequence at s (n bytes available), or 0 when it is ill-formed.
size_t utf8_seq_len(const unsigned char *s, size_t n) {
  unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    need = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (n < need || s[1] < lo || s[1] > hi) return 0;
  for (size_t i = 2; i < need; i++) {
    if ((s[i] & 0xC0) != 0x80) return 0;
  }
  return need;
}

// Bytes of the ASCII run at the start of [s, s+n), eight at a time where possible.
size_t ascii_prefix(const unsigned char *s, size_t n) {
  size_t i = 0;
  while (i + 8 <= n) {
    uint64_t word;
    std::memcpy(&word, s + i, 8);
    if (word & 0x8080808080808080ull) break;
    i += 8;
  }
  while (i < n && s[i] < 0x80) i++;
  return i;
}

}  // namespace

bool vepod_utf8_valid(const char *s, size_t n) {
  const auto *p = reinterpret_cast<const unsigned char *>(s);
  size_t i = 0;
  while (i < n) {
    i += ascii_prefix(p + i, n - i);
    if (i == n) break;
    size_t len = utf8_seq_len(p + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

void vepod_utf8_repair_append(std::string &out, const char *s, size_t n) {
  const auto *p = reinterpret_cast<const unsigned char *>(s);
  size_t i = 0;
  while (i < n) {
    size_t run = ascii_prefix(p + i, n - i);
    size_t len;
    // Copy the longest well-formed stretch at once.
    size_t start = i;
    i += run;
    while (i < n && (len = utf8_seq_len(p + i, n - i)) != 0) i += len;
    out.append(s + start, i - start);
    if (i < n) {
      // An ill-formed sequence: its lead byte and the continuation bytes that follow it (at most
      // three) become one replacement character.
      size_t skip = 1;
      while (skip < 4 && i + skip < n && (p[i + skip] & 0xC0) == 0x80) skip++;
      out.append("\xEF\xBF\xBD");
      i += skip;
    }
  }
}

yyjson_mut_val *vepod_json_str(yyjson_mut_doc *doc, const char *text) {
  if (!text) return yyjson_mut_str(doc, "");
  size_t n = std::strlen(text);
  if (vepod_utf8_valid(text, n)) return yyjson_mut_strncpy(doc, text, n);
  try {
    std::string repaired;
    repaired.reserve(n + 8);
    vepod_utf8_repair_append(repaired, text, n);
    return yyjson_mut_strncpy(doc, repaired.data(), repaired.size());
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

// MARK: Strings

char *xstrdup_u(const char *text) {
  if (!text) return nullptr;
  size_t n = std::strlen(text) + 1;
  auto *copy = static_cast<char *>(std::malloc(n));
  if (copy) std::memcpy(copy, text, n);
  return copy;
}
