// Texts the core writes into names, records, documents and messages, and the one rule for text
// that may reach a terminal (terminal_text), which the view applies to all it shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The code point of the well-formed UTF-8 sequence at text[i] and its length; 0 when the bytes
// there are not one (stray continuation, overlong form, surrogate, beyond U+10FFFF, cut short).
size_t decode_utf8(std::string_view text, size_t i, char32_t &c);

// Whether a terminal acts on `c` instead of showing it, or shows text around it in another order:
// C0, DEL, C1 (U+0080-U+009F), the bidi embeddings, overrides and isolates (U+202A-U+202E,
// U+2066-U+2069), the direction marks (U+200E, U+200F, U+061C) and the byte order mark (U+FEFF).
bool is_terminal_control(char32_t c);

// The replacement shown for a character a terminal would act on instead of showing.
inline constexpr std::string_view k_replacement = "\uFFFD";

// `text` copied character by character, with `replace` standing in for some: it is called with
// each character (`valid` false, `c` undefined, for a byte that starts none) and returns true when
// it has appended what stands for it to `out`, which it must for a byte that is not UTF-8;
// otherwise the character is copied as it is. The one loop of the client's sanitisers.
template <class Replace>
std::string rewrite_characters(std::string_view text, Replace &&replace) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    size_t length = decode_utf8(text, i, c);
    if (!replace(length != 0, c, out) && length != 0) out.append(text.substr(i, length));
    i += length != 0 ? length : 1;
  }
  return out;
}

// What terminal_text puts for one character, as rewrite_characters asks: other sanitisers add
// their own rules to it.
bool terminal_replacement(bool valid, char32_t c, std::string &out);

// `text` safe to write to a terminal on one line: tab, line feed, carriage return and the Unicode
// line and paragraph separators become spaces; every other character is_terminal_control names,
// and every byte that is not UTF-8, becomes k_replacement.
std::string terminal_text(std::string_view text);

// At most `max_bytes` of `text`, never cutting a UTF-8 sequence in two.
std::string cut_bytes(std::string_view text, size_t max_bytes);

// SI sizes as tables, progress lines and messages write them: "950 B", "1.5 kB", "52.0 MB";
// "-" for a negative size (unknown).
std::string size_text(int64_t bytes);

// "YYYY-MM-DD" of a time in milliseconds since 1970 (the library's episode times), in UTC or local
// time; "" for a negative time (the library's "unknown") or one the calendar cannot hold.
std::string date_text(int64_t ms, bool utc);
