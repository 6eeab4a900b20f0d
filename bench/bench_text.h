// Deterministic text for the benchmark documents, so that every run measures the same bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace bench {

// A small linear congruential generator; quality does not matter, repeatability does.
struct lcg {
  uint64_t state;
  uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return uint32_t(state >> 33);
  }
  uint32_t below(uint32_t n) { return next() % n; }
};

// Appends `count` words drawn from vocabulary, separated by spaces.
inline void words(std::string &out, lcg &rng, int count, std::span<const char *const> vocabulary) {
  for (int i = 0; i < count; i++) {
    if (i) out += ' ';
    out += vocabulary[rng.below(uint32_t(vocabulary.size()))];
  }
}

}  // namespace bench
