// Small text helpers: heap copies, error messages, hashing.

#include "util/vepod_util.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

char *xstrdup_u(const char *text) {
  if (!text) return nullptr;
  size_t n = std::strlen(text) + 1;
  auto *copy = static_cast<char *>(vepod_malloc(n));
  if (copy) std::memcpy(copy, text, n);
  return copy;
}

void vepod_put_err(char *err, int64_t err_size, const char *format, ...) {
  if (!err || err_size <= 0) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(err, size_t(err_size), format, args);
  va_end(args);
}

uint64_t vepod_fnv1a(const void *data, size_t len, uint64_t h) {
  constexpr uint64_t prime = 1099511628211ull;
  const auto *p = static_cast<const unsigned char *>(data);
  for (size_t i = 0; i < len; i++) {
    h ^= p[i];
    h *= prime;
  }
  return h;
}
