// SipHash, the keyed hash behind the library's one hash set of texts (vepod_text_hash uses
// SipHash-1-3); the round counts are parameters so that the rounds can be checked against the
// published SipHash-2-4 vectors as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_set>

#include "util/vepod_alloc.h"

// SipHash-C-D of n bytes under the 128-bit key whose little-endian halves are key[0] and key[1].
template <int C, int D>
uint64_t vepod_siphash(const uint64_t key[2], const void *data, size_t n) {
  uint64_t v0 = key[0] ^ 0x736f6d6570736575ull;
  uint64_t v1 = key[1] ^ 0x646f72616e646f6dull;
  uint64_t v2 = key[0] ^ 0x6c7967656e657261ull;
  uint64_t v3 = key[1] ^ 0x7465646279746573ull;
  auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
  auto rounds = [&](int count) {
    for (int i = 0; i < count; i++) {
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
    }
  };
  const auto *p = static_cast<const unsigned char *>(data);
  size_t whole = n & ~size_t(7);
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m = 0;
    for (int k = 0; k < 8; k++) m |= uint64_t(p[i + size_t(k)]) << (8 * k);
    v3 ^= m;
    rounds(C);
    v0 ^= m;
  }
  uint64_t last = uint64_t(n) << 56;
  for (size_t k = 0; k < (n & 7); k++) last |= uint64_t(p[whole + k]) << (8 * k);
  v3 ^= last;
  rounds(C);
  v0 ^= last;
  v2 ^= 0xff;
  rounds(D);
  return v0 ^ v1 ^ v2 ^ v3;
}

// A hash of text under a key drawn once per process (SipHash-1-3), so that a page or a feed cannot
// be crafted to make its texts collide.
struct vepod_text_hash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const noexcept;
};
// The library's one hash set of texts (episode ids, discovered URLs); looked up by string_view
// whatever it stores.
template <typename Text>
using vepod_text_set =
    std::unordered_set<Text, vepod_text_hash, std::equal_to<>, vepod_std_allocator<Text>>;
