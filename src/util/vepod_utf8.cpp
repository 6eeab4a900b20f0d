// UTF-8 checks and repair, and the JSON string helper that relies on them.

#include "util/vepod_util.h"

#include <cstring>
#include <new>

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

size_t vepod_utf8_char_len(const char *s, size_t n) {
  return utf8_seq_len(reinterpret_cast<const unsigned char *>(s), n);
}

void vepod_utf8_repair_append(std::string &out, const char *s, size_t n) {
  const auto *p = reinterpret_cast<const unsigned char *>(s);
  size_t i = 0;
  while (i < n) {
    // Copy the longest well-formed stretch at once.
    size_t start = i;
    i += ascii_prefix(p + i, n - i);
    while (i < n) {
      size_t len = utf8_seq_len(p + i, n - i);
      if (len == 0) break;
      i += len;
    }
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
