// UTF-8 checks, the one repair (U+FFFD) and the well-formed copy texts enter the library through,
// and their JSON strings (vepod_utf8.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <yyjson.h>

#include "util/vepod_alloc.h"

// Which sequences count as characters: well-formed UTF-8 (no overlong forms, surrogates or values
// above U+10FFFF), or any lead byte C2..F4 followed by its count of continuation bytes, as the
// feed reader takes documents (what it decodes is repaired when answers are written).
enum class vepod_utf8_rules : uint8_t { well_formed, lead_and_continuation };

enum class vepod_utf8_fault : uint8_t {
  none,
  invalid_byte,          // a byte that cannot begin a character
  truncated,             // a character cut off by the end of the text
  invalid_continuation,  // a byte that cannot continue the character begun before it
};

// The first fault in [s, s+n) under rules; its offset in *at unless at is NULL. Under
// lead_and_continuation, *well_formed (unless NULL) tells whether the text is well-formed UTF-8
// too, found in the same pass: a text cut from it between characters then needs no second check.
vepod_utf8_fault vepod_utf8_check(const char *s, size_t n, vepod_utf8_rules rules,
                                  size_t *at = nullptr, bool *well_formed = nullptr);

// True when [s, s+n) is well-formed UTF-8.
inline bool vepod_utf8_valid(const char *s, size_t n) {
  return vepod_utf8_check(s, n, vepod_utf8_rules::well_formed) == vepod_utf8_fault::none;
}

// Length of the well-formed UTF-8 character at s (n > 0 bytes available), or 0 when it is not one.
size_t vepod_utf8_char_len(const char *s, size_t n);

// Writes code point cp (1 to U+10FFFF) as UTF-8 into out (room for 4 bytes): the byte count.
int vepod_utf8_encode(uint32_t cp, char *out);

// Appends [s, s+n) to out with every ill-formed sequence replaced by U+FFFD. The library repairs
// text once, where it enters: the feed model and discovery's link records. (Messages have their
// own rule: a byte that starts no character becomes '?'.)
void vepod_utf8_repair_append(vepod_string &out, const char *s, size_t n);

// A malloc'ed copy of text, well-formed UTF-8 (ill-formed sequences replaced by U+FFFD), with a NUL
// after it; NULL when memory runs out. Texts enter the feed model through here, so that what a
// listing shows and what a caller hands back are the same bytes.
char *vepod_strndup_utf8(std::string_view text);

// text without the ASCII blanks (tab, LF, CR, space) at either end, as URLs in feeds are written.
std::string_view vepod_trim_blanks(std::string_view text);

// A JSON string value for `text` copied into doc; NULL text gives "". The library's texts are
// well-formed UTF-8 from where they enter it (feed model, link records, messages), so nothing is
// repaired here. Returns NULL only when memory runs out.
yyjson_mut_val *vepod_json_str(yyjson_mut_doc *doc, const char *text);
