// Small text helpers: heap copies, error messages, hashing, references.

#include "util/vepod_text.h"
#include "util/vepod_alloc.h"
#include "util/vepod_utf8.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

char *vepod_strdup(const char *text) { return text ? vepod_strndup(text) : nullptr; }

char *vepod_strndup(std::string_view text) {
  auto *copy = static_cast<char *>(vepod_malloc(text.size() + 1));
  if (!copy) return nullptr;
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
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

int vepod_decode_reference(std::string_view name, char *out) {
  if (name.empty() || name.size() > 12) return -1;
  // Show notes written as escaped HTML are mostly "&lt;", "&gt;" and "&amp;": those first.
  if (name.size() == 2 && name[1] == 't' && (name[0] == 'l' || name[0] == 'g')) {
    out[0] = name[0] == 'l' ? '<' : '>';
    return 1;
  }
  if (name == "amp") {
    out[0] = '&';
    return 1;
  }
  for (const vepod_entity &e : vepod_xml_entities) {
    if (vepod_ci_eq(name, e.name)) {
      out[0] = e.value;
      return 1;
    }
  }
  if (name[0] != '#') return -1;
  bool hex = name.size() >= 2 && (name[1] == 'x' || name[1] == 'X');
  size_t i = hex ? 2 : 1;
  if (i == name.size()) return -1;
  uint32_t value = 0;
  for (; i < name.size(); i++) {
    unsigned char c = vepod_ascii_lower(static_cast<unsigned char>(name[i]));
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return -1;
    }
    // Refused as soon as it is out of range, so that no value wraps around into a valid one.
    value = value * (hex ? 16 : 10) + digit;
    if (value > 0x10FFFF) return -1;
  }
  // NUL, U+FFFE and U+FFFF are no XML characters. A surrogate is no character either; it reads as
  // U+FFFD, what repairing its encoding would give, so that decoded text stays well-formed.
  if (value == 0 || value == 0xFFFE || value == 0xFFFF) return -1;
  return vepod_utf8_encode(value >= 0xD800 && value <= 0xDFFF ? 0xFFFD : value, out);
}
