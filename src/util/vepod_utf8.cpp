// UTF-8: checks under two sets of rules, repair, encoding, and the JSON string writers that rely
// on them.

#include "util/vepod_utf8.h"
#include "util/vepod_alloc.h"
#include "util/vepod_text.h"

#include <bit>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The table-driven check needs SSSE3's byte shuffle, chosen at run time (GCC and Clang on x86).
#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define VEPOD_UTF8_SSSE3 1
#include <immintrin.h>
#endif

namespace {

// Length of the well-formed UTF-8 sequence at s (n bytes available), or 0 when it is ill-formed;
// *fault, unless NULL, says why.
size_t utf8_seq_len(const unsigned char *s, size_t n, vepod_utf8_fault *fault = nullptr) {
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
    if (fault) *fault = vepod_utf8_fault::invalid_byte;
    return 0;
  }
  if (n < need) {
    if (fault) *fault = vepod_utf8_fault::truncated;
    return 0;
  }
  bool ok = s[1] >= lo && s[1] <= hi;
  for (size_t i = 2; ok && i < need; i++) ok = (s[i] & 0xC0) == 0x80;
  if (!ok) {
    if (fault) *fault = vepod_utf8_fault::invalid_continuation;
    return 0;
  }
  return need;
}

// As utf8_seq_len under the lead-and-continuation rules.
size_t loose_seq_len(const unsigned char *s, size_t n, vepod_utf8_fault *fault) {
  unsigned char c = s[0];
  size_t need = c >= 0xC2 && c <= 0xDF   ? 2
                : c >= 0xE0 && c <= 0xEF ? 3
                : c >= 0xF0 && c <= 0xF4 ? 4
                                         : 0;
  if (need == 0) {
    *fault = vepod_utf8_fault::invalid_byte;
    return 0;
  }
  if (n < need) {
    *fault = vepod_utf8_fault::truncated;
    return 0;
  }
  for (size_t k = 1; k < need; k++) {
    if ((s[k] & 0xC0) != 0x80) {
      *fault = vepod_utf8_fault::invalid_continuation;
      return 0;
    }
  }
  return need;
}

// Bytes of an ill-formed sequence that become one replacement character: its first byte and the
// continuation bytes that follow it, at most three.
size_t ill_formed_len(const unsigned char *s, size_t n) {
  size_t skip = 1;
  while (skip < 4 && skip < n && (s[skip] & 0xC0) == 0x80) skip++;
  return skip;
}

// Length of the ASCII run at the start of [s, s+n), read a word at a time.
size_t ascii_run(const unsigned char *s, size_t n) {
  constexpr uint64_t high = 0x8080808080808080ull;
  size_t i = 0;
  while (n - i >= 32) {
    uint64_t w[4];
    std::memcpy(w, s + i, sizeof w);
    if ((w[0] | w[1] | w[2] | w[3]) & high) break;
    i += 32;
  }
  while (n - i >= 8) {
    uint64_t w;
    std::memcpy(&w, s + i, sizeof w);
    if (uint64_t m = w & high) {
      if constexpr (std::endian::native == std::endian::little) {
        return i + (std::countr_zero(m) >> 3);
      } else {
        return i + (std::countl_zero(m) >> 3);
      }
    }
    i += 8;
  }
  while (i < n && s[i] < 0x80) i++;
  return i;
}

#if defined(__SSE2__)
// Start of the character that holds byte i - 1 of an already checked prefix, or i when that byte
// ends a character; the checked prefix before it is whole characters.
size_t char_start(const unsigned char *s, size_t i) {
  size_t j = i;
  while (j > 0 && i - j < 3 && (s[j - 1] & 0xC0) == 0x80) j--;
  if (j > 0 && s[j - 1] >= 0xC0) j--;
  return j;
}

// Length of a prefix of [s, s+n) that is well-formed UTF-8 and ends between characters, 64 bytes
// per step without a branch per character, so text that mixes scripts costs about what ASCII does.
// A block holds a fault exactly when the bytes that must be continuation bytes (1 to 3 after a lead
// byte, by its kind) differ from those that are, when it holds a byte that is never valid, or when
// the byte after E0, ED, F0 or F4 leaves its narrower range (overlong forms, surrogates, values
// above U+10FFFF).
size_t utf8_prefix(const unsigned char *s, size_t n) {
  const __m128i c0 = _mm_set1_epi8(char(0xC0)), e0 = _mm_set1_epi8(char(0xE0));
  const __m128i f0 = _mm_set1_epi8(char(0xF0)), f5 = _mm_set1_epi8(char(0xF5));
  const __m128i fe = _mm_set1_epi8(char(0xFE)), ed = _mm_set1_epi8(char(0xED));
  const __m128i f4 = _mm_set1_epi8(char(0xF4)), a0 = _mm_set1_epi8(char(0xA0));
  const __m128i x90 = _mm_set1_epi8(char(0x90));
  auto at_least = [](__m128i v, __m128i t) { return _mm_cmpeq_epi8(_mm_max_epu8(v, t), v); };
  auto block_fault = [&](__m128i b, __m128i prev) {
    __m128i back1 = _mm_or_si128(_mm_slli_si128(b, 1), _mm_srli_si128(prev, 15));
    __m128i back2 = _mm_or_si128(_mm_slli_si128(b, 2), _mm_srli_si128(prev, 14));
    __m128i back3 = _mm_or_si128(_mm_slli_si128(b, 3), _mm_srli_si128(prev, 13));
    __m128i expected =
        _mm_or_si128(at_least(back1, c0), _mm_or_si128(at_least(back2, e0), at_least(back3, f0)));
    __m128i continuation = _mm_cmplt_epi8(b, c0);  // 0x80 to 0xBF, compared as signed bytes
    __m128i never = _mm_or_si128(at_least(b, f5), _mm_cmpeq_epi8(_mm_and_si128(b, fe), c0));
    __m128i from_a0 = at_least(b, a0), from_90 = at_least(b, x90);
    __m128i narrow = _mm_or_si128(_mm_or_si128(_mm_andnot_si128(from_a0, _mm_cmpeq_epi8(back1, e0)),
                                               _mm_and_si128(from_a0, _mm_cmpeq_epi8(back1, ed))),
                                  _mm_or_si128(_mm_andnot_si128(from_90, _mm_cmpeq_epi8(back1, f0)),
                                               _mm_and_si128(from_90, _mm_cmpeq_epi8(back1, f4))));
    return _mm_or_si128(_mm_or_si128(_mm_xor_si128(expected, continuation), never), narrow);
  };
  __m128i prev = _mm_setzero_si128();
  size_t i = 0;
  for (; n - i >= 64; i += 64) {
    auto *p = reinterpret_cast<const __m128i *>(s + i);
    __m128i b0 = _mm_loadu_si128(p), b1 = _mm_loadu_si128(p + 1);
    __m128i b2 = _mm_loadu_si128(p + 2), b3 = _mm_loadu_si128(p + 3);
    __m128i any = _mm_or_si128(_mm_or_si128(b0, b1), _mm_or_si128(b2, b3));
    if (_mm_movemask_epi8(_mm_or_si128(any, prev)) != 0) {
      __m128i fault = _mm_or_si128(_mm_or_si128(block_fault(b0, prev), block_fault(b1, b0)),
                                   _mm_or_si128(block_fault(b2, b1), block_fault(b3, b2)));
      if (_mm_movemask_epi8(fault)) break;
    }
    prev = b3;
  }
  return char_start(s, i);
}
#else
size_t utf8_prefix(const unsigned char *, size_t) { return 0; }
#endif

#if VEPOD_UTF8_SSSE3
// The table-driven check: for each byte pair, the high and low half of the first byte and the high
// half of the second each map to the set of faults the pair may show; a pair is faulty when all
// three agree on one. Continuation bytes expected 2 and 3 bytes after a lead are checked apart.
constexpr char k_too_short = 1 << 0, k_too_long = 1 << 1, k_overlong_3 = 1 << 2,
               k_too_large = 1 << 3, k_surrogate = 1 << 4, k_overlong_2 = 1 << 5,
               k_too_large_1000 = 1 << 6, k_overlong_4 = 1 << 6, k_two_conts = char(1 << 7);
constexpr char k_carry = k_too_short | k_too_long | k_two_conts;
constexpr char k_large = k_carry | k_too_large | k_too_large_1000;
constexpr char k_cont = k_too_long | k_overlong_2 | k_two_conts;
alignas(16) constexpr char k_byte_1_high[16] = {
    k_too_long,
    k_too_long,
    k_too_long,
    k_too_long,
    k_too_long,
    k_too_long,
    k_too_long,
    k_too_long,
    k_two_conts,
    k_two_conts,
    k_two_conts,
    k_two_conts,
    k_too_short | k_overlong_2,
    k_too_short,
    k_too_short | k_overlong_3 | k_surrogate,
    k_too_short | k_too_large | k_too_large_1000 | k_overlong_4};
alignas(16) constexpr char k_byte_1_low[16] = {k_carry | k_overlong_3 | k_overlong_2 | k_overlong_4,
                                               k_carry | k_overlong_2,
                                               k_carry,
                                               k_carry,
                                               k_carry | k_too_large,
                                               k_large,
                                               k_large,
                                               k_large,
                                               k_large,
                                               k_large,
                                               k_large,
                                               k_large,
                                               k_large,
                                               k_large | k_surrogate,
                                               k_large,
                                               k_large};
alignas(16) constexpr char k_byte_2_high[16] = {
    k_too_short,
    k_too_short,
    k_too_short,
    k_too_short,
    k_too_short,
    k_too_short,
    k_too_short,
    k_too_short,
    k_cont | k_overlong_3 | k_too_large_1000 | k_overlong_4,
    k_cont | k_overlong_3 | k_too_large,
    k_cont | k_surrogate | k_too_large,
    k_cont | k_surrogate | k_too_large,
    k_too_short,
    k_too_short,
    k_too_short,
    k_too_short};
// A lead byte whose sequence the block's end cuts: one of the last three bytes above these.
alignas(16) constexpr unsigned char k_incomplete_above[16] = {
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0xF0 - 1, 0xE0 - 1, 0xC0 - 1};

struct ssse3_state {
  __m128i prev, error, prev_incomplete;
};

__attribute__((target("ssse3"), always_inline)) inline void ssse3_step(ssse3_state &st,
                                                                       __m128i in) {
  // No branch for ASCII steps, as in the AVX2 check.
  const __m128i low_nibble = _mm_set1_epi8(0x0F);
  auto table = [](const char *t) { return _mm_load_si128(reinterpret_cast<const __m128i *>(t)); };
  __m128i prev1 = _mm_alignr_epi8(in, st.prev, 15);
  __m128i high1 = _mm_and_si128(_mm_srli_epi16(prev1, 4), low_nibble);
  __m128i low1 = _mm_and_si128(prev1, low_nibble);
  __m128i high2 = _mm_and_si128(_mm_srli_epi16(in, 4), low_nibble);
  __m128i special = _mm_and_si128(_mm_and_si128(_mm_shuffle_epi8(table(k_byte_1_high), high1),
                                                _mm_shuffle_epi8(table(k_byte_1_low), low1)),
                                  _mm_shuffle_epi8(table(k_byte_2_high), high2));
  __m128i prev2 = _mm_alignr_epi8(in, st.prev, 14), prev3 = _mm_alignr_epi8(in, st.prev, 13);
  __m128i third = _mm_subs_epu8(prev2, _mm_set1_epi8(char(0xE0 - 0x80)));
  __m128i fourth = _mm_subs_epu8(prev3, _mm_set1_epi8(char(0xF0 - 0x80)));
  __m128i must23 = _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(char(0x80)));
  st.error = _mm_or_si128(st.error, _mm_xor_si128(must23, special));
  st.prev_incomplete =
      _mm_subs_epu8(in, _mm_load_si128(reinterpret_cast<const __m128i *>(k_incomplete_above)));
  st.prev = in;
}

// Whether [s, s+n) is well-formed UTF-8, 16 bytes per step and 64 at once where they are ASCII.
// Only the answer is given: a document that fails is read again by the loop that places the fault.
__attribute__((target("ssse3"))) bool well_formed_ssse3(const unsigned char *s, size_t n) {
  ssse3_state st{_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  size_t i = 0;
  for (; n - i >= 64; i += 64) {
    auto *p = reinterpret_cast<const __m128i *>(s + i);
    __m128i b0 = _mm_loadu_si128(p), b1 = _mm_loadu_si128(p + 1);
    __m128i b2 = _mm_loadu_si128(p + 2), b3 = _mm_loadu_si128(p + 3);
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(b0, b1), _mm_or_si128(b2, b3))) == 0) {
      st.error = _mm_or_si128(st.error, st.prev_incomplete);
      st.prev_incomplete = _mm_setzero_si128();
      st.prev = b3;
      continue;
    }
    ssse3_step(st, b0);
    ssse3_step(st, b1);
    ssse3_step(st, b2);
    ssse3_step(st, b3);
  }
  for (; i < n; i += 16) {
    alignas(16) unsigned char tail[16] = {};
    std::memcpy(tail, s + i, n - i < 16 ? n - i : 16);
    ssse3_step(st, _mm_load_si128(reinterpret_cast<const __m128i *>(tail)));
  }
  __m128i error = _mm_or_si128(st.error, st.prev_incomplete);
  return _mm_movemask_epi8(_mm_cmpeq_epi8(error, _mm_setzero_si128())) == 0xFFFF;
}

// The same check 32 bytes per step, where the processor has AVX2: each 16-byte half looks up the
// same tables, and the bytes before a step's first come from the previous step across halves.
struct avx2_state {
  __m256i prev, error, prev_incomplete;
};

__attribute__((target("avx2"), always_inline)) inline __m256i avx2_table(const void *t) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(static_cast<const __m128i *>(t)));
}

__attribute__((target("avx2"), always_inline)) inline void avx2_step(avx2_state &st, __m256i in) {
  // No branch for ASCII halves: in text that mixes a few accented letters into ASCII every other
  // half is ASCII, and a branch for them is mispredicted more than it saves.
  const __m256i low_nibble = _mm256_set1_epi8(0x0F);
  __m256i before = _mm256_permute2x128_si256(st.prev, in, 0x21);
  __m256i prev1 = _mm256_alignr_epi8(in, before, 15);
  __m256i high1 = _mm256_and_si256(_mm256_srli_epi16(prev1, 4), low_nibble);
  __m256i low1 = _mm256_and_si256(prev1, low_nibble);
  __m256i high2 = _mm256_and_si256(_mm256_srli_epi16(in, 4), low_nibble);
  __m256i special =
      _mm256_and_si256(_mm256_and_si256(_mm256_shuffle_epi8(avx2_table(k_byte_1_high), high1),
                                        _mm256_shuffle_epi8(avx2_table(k_byte_1_low), low1)),
                       _mm256_shuffle_epi8(avx2_table(k_byte_2_high), high2));
  __m256i prev2 = _mm256_alignr_epi8(in, before, 14), prev3 = _mm256_alignr_epi8(in, before, 13);
  __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(char(0xE0 - 0x80)));
  __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(char(0xF0 - 0x80)));
  __m256i must23 = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(char(0x80)));
  st.error = _mm256_or_si256(st.error, _mm256_xor_si256(must23, special));
  // Only the last three bytes of the step can begin a sequence it cuts.
  const __m256i incomplete_above = _mm256_setr_epi8(
      -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
      -1, -1, -1, -1, -1, -1, char(0xF0 - 1), char(0xE0 - 1), char(0xC0 - 1));
  st.prev_incomplete = _mm256_subs_epu8(in, incomplete_above);
  st.prev = in;
}

__attribute__((target("avx2"))) bool well_formed_avx2(const unsigned char *s, size_t n) {
  avx2_state st{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
  size_t i = 0;
  for (; n - i >= 64; i += 64) {
    __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i));
    __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i + 32));
    if (_mm256_movemask_epi8(_mm256_or_si256(b0, b1)) == 0) {
      st.error = _mm256_or_si256(st.error, st.prev_incomplete);
      st.prev_incomplete = _mm256_setzero_si256();
      st.prev = b1;
      continue;
    }
    avx2_step(st, b0);
    avx2_step(st, b1);
  }
  for (; i < n; i += 32) {
    alignas(32) unsigned char tail[32] = {};
    std::memcpy(tail, s + i, n - i < 32 ? n - i : 32);
    avx2_step(st, _mm256_load_si256(reinterpret_cast<const __m256i *>(tail)));
  }
  __m256i error = _mm256_or_si256(st.error, st.prev_incomplete);
  return _mm256_testz_si256(error, error) != 0;
}

// Which check the processor runs: 2 AVX2, 1 SSSE3, 0 neither.
int simd_level() {
  static const int level = __builtin_cpu_supports("avx2") ? 2 : __builtin_cpu_supports("ssse3");
  return level;
}

bool well_formed_simd(const unsigned char *s, size_t n) {
  switch (simd_level()) {
    case 2:
      return well_formed_avx2(s, n);
    case 1:
      return well_formed_ssse3(s, n);
    default:
      return false;
  }
}
#endif

}  // namespace

vepod_utf8_fault vepod_utf8_check(const char *s, size_t n, vepod_utf8_rules rules, size_t *at,
                                  bool *well_formed) {
  const auto *p = reinterpret_cast<const unsigned char *>(s);
#if VEPOD_UTF8_SSSE3
  if (well_formed_simd(p, n)) {
    if (well_formed) *well_formed = true;
    return vepod_utf8_fault::none;
  }
#endif
  bool loose = rules == vepod_utf8_rules::lead_and_continuation;
  bool strict = true;
  size_t i = 0;
  for (;;) {
    // Well-formed stretches go by blocks; each character the blocks stop at is read alone, and
    // the blocks resume after it.
    i += utf8_prefix(p + i, n - i);
    i += ascii_run(p + i, n - i);
    if (i == n) break;
    vepod_utf8_fault fault = vepod_utf8_fault::none;
    size_t len = utf8_seq_len(p + i, n - i, &fault);
    if (len == 0 && loose) {
      len = loose_seq_len(p + i, n - i, &fault);
      strict = false;
    }
    if (len == 0) {
      if (at) *at = i;
      return fault;
    }
    i += len;
  }
  if (well_formed) *well_formed = strict;
  return vepod_utf8_fault::none;
}

size_t vepod_utf8_char_len(const char *s, size_t n) {
  return utf8_seq_len(reinterpret_cast<const unsigned char *>(s), n);
}

int vepod_utf8_encode(uint32_t cp, char *out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp <= 0xFFFF) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

void vepod_utf8_repair_append(vepod_string &out, const char *s, size_t n) {
  const auto *p = reinterpret_cast<const unsigned char *>(s);
  size_t i = 0;
  while (i < n) {
    // Copy the longest well-formed stretch at once.
    size_t start = i;
    i += ascii_run(p + i, n - i);
    while (i < n) {
      size_t len = utf8_seq_len(p + i, n - i);
      if (len == 0) break;
      i += len;
    }
    out.append(s + start, i - start);
    if (i < n) {
      out.append("\xEF\xBF\xBD");
      i += ill_formed_len(p + i, n - i);
    }
  }
}

char *vepod_strndup_utf8(std::string_view text) {
  if (vepod_utf8_valid(text.data(), text.size())) return vepod_strndup(text);
  try {
    vepod_string repaired;
    repaired.reserve(text.size() + 8);
    vepod_utf8_repair_append(repaired, text.data(), text.size());
    return vepod_strndup(repaired);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

std::string_view vepod_trim_blanks(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

yyjson_mut_val *vepod_json_str(yyjson_mut_doc *doc, const char *text) {
  return yyjson_mut_strcpy(doc, text ? text : "");
}
