// The keyed hash behind the library's one hash set of texts.

#include "util/vepod_hash.h"
#include "util/vepod_platform.h"

namespace {

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
  return size_t(vepod_siphash<1, 3>(key.words, text.data(), text.size()));
}
