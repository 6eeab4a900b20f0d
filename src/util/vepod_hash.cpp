// The keyed hash behind the library's one hash set of texts.

#include "util/vepod_util.h"

namespace {

uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

// SipHash-1-3.
uint64_t siphash13(const uint64_t key[2], const char *data, size_t n) {
  uint64_t v0 = key[0] ^ 0x736f6d6570736575ull;
  uint64_t v1 = key[1] ^ 0x646f72616e646f6dull;
  uint64_t v2 = key[0] ^ 0x6c7967656e657261ull;
  uint64_t v3 = key[1] ^ 0x7465646279746573ull;
  auto round = [&] {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  };
  const auto *p = reinterpret_cast<const unsigned char *>(data);
  size_t whole = n & ~size_t(7);
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m = 0;
    for (int k = 0; k < 8; k++) m |= uint64_t(p[i + size_t(k)]) << (8 * k);
    v3 ^= m;
    round();
    v0 ^= m;
  }
  uint64_t last = uint64_t(n) << 56;
  for (size_t k = 0; k < (n & 7); k++) last |= uint64_t(p[whole + k]) << (8 * k);
  v3 ^= last;
  round();
  v0 ^= last;
  v2 ^= 0xff;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

struct hash_key {
  uint64_t words[2] = {0, 0};
  hash_key() {
    // A failed random source leaves part of the key zero: lookups stay exact, only the resistance
    // to crafted collisions is lost.
    uint32_t r[4] = {0, 0, 0, 0};
    for (uint32_t &v : r) vepod_random_u32(&v);
    words[0] = uint64_t(r[0]) << 32 | r[1];
    words[1] = uint64_t(r[2]) << 32 | r[3];
  }
};

}  // namespace

size_t vepod_text_hash::operator()(std::string_view text) const noexcept {
  // Drawn once per process, on first use.
  static const hash_key key;
  return size_t(siphash13(key.words, text.data(), text.size()));
}
