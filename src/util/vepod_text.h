// Text helpers: heap copies, FNV-1a, ASCII case, the XML entity table and reference
// decoding (vepod_text.cpp), HTML 4's named characters (vepod_entities.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/vepod_platform.h"

// One pass of 64-bit FNV-1a over len bytes, starting from h (pass vepod_fnv1a_basis to start).
uint64_t vepod_fnv1a(const void *data, size_t len, uint64_t h);
// A malloc'ed copy of text; NULL for NULL or when memory runs out.
char *vepod_strdup(const char *text);
// A malloc'ed copy of the bytes of text with a NUL after them; NULL when memory runs out.
char *vepod_strndup(std::string_view text);

// The five entities XML predefines; HTML pages use them in attribute values too.
struct vepod_entity {
  std::string_view name;
  char value;
};
inline constexpr vepod_entity vepod_xml_entities[] = {
    {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
// Decodes the reference named by the bytes between '&' and ';' (a predefined entity, ASCII case
// ignored, or a character reference "#65" / "#x41" of 1 to U+10FFFF, a surrogate read as U+FFFD)
// into out, which has room for 4 bytes: the number of bytes written, or -1 when it names nothing.
int vepod_decode_reference(std::string_view name, char *out);
// Decodes an HTML 4 named character reference (case-sensitive: "Eacute" and "eacute" differ) into
// out, which has room for 4 bytes: the number of bytes written (never more than the reference
// takes with its '&' and ';'), or -1 when HTML 4 names no such character.
int vepod_decode_html4_entity(std::string_view name, char *out);

inline constexpr uint64_t vepod_fnv1a_basis = 14695981039346656037ull;

// Largest feed or page read (16 MiB); real ones are far smaller, and the cap bounds the work one
// fetched body can cause in the reader and in discovery alike.
inline constexpr uint64_t vepod_max_document = 16777216;

// ASCII letters in lower case; every other byte as it is.
constexpr unsigned char vepod_ascii_lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? c + 32 : c;
}

// Whether text starts with the lower-case pattern, ignoring the case of text's ASCII letters.
inline bool vepod_ci_starts(std::string_view text, std::string_view lower_pattern) {
  if (text.size() < lower_pattern.size()) return false;
  for (size_t i = 0; i < lower_pattern.size(); i++) {
    if (vepod_ascii_lower(static_cast<unsigned char>(text[i])) !=
        static_cast<unsigned char>(lower_pattern[i])) {
      return false;
    }
  }
  return true;
}

// Equality ignoring ASCII case.
inline bool vepod_ci_eq(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a == b) return true;  // most are written alike
  for (size_t i = 0; i < a.size(); i++) {
    if (vepod_ascii_lower(static_cast<unsigned char>(a[i])) !=
        vepod_ascii_lower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}
