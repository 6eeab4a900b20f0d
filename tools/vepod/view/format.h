// How the client writes text for people: every feed, server or file text goes through
// terminal_text before it reaches a terminal, tables and progress lines are measured in terminal
// columns, and sizes, durations, dates and counts have one form each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The replacement shown for a character a terminal would act on instead of showing.
inline constexpr std::string_view k_replacement = "\uFFFD";

// The code point of the well-formed UTF-8 sequence at text[i] and its length; 0 when the bytes
// there are not one (stray continuation, overlong form, surrogate, beyond U+10FFFF, cut short).
size_t decode_utf8(std::string_view text, size_t i, char32_t &c);

// Whether a terminal acts on `c` instead of showing it, or shows text around it in another order:
// C0, DEL, C1 (U+0080-U+009F), the bidi embeddings, overrides and isolates (U+202A-U+202E,
// U+2066-U+2069), the direction marks (U+200E, U+200F, U+061C) and the byte order mark (U+FEFF).
bool is_terminal_control(char32_t c);

// `text` safe to write to a terminal on one line: tab, line feed, carriage return and the Unicode
// line and paragraph separators become spaces; every other character is_terminal_control names,
// and every byte that is not UTF-8, becomes k_replacement.
std::string terminal_text(std::string_view text);

// A JSON text with DEL, C1 and the bidi controls inside its strings written as \u escapes and
// bytes that are not UTF-8 as \ufffd; the JSON writer escapes C0 itself. The value is unchanged
// for a JSON reader.
std::string json_text(std::string_view json);

// At most `max_bytes` of `text`, never cutting a UTF-8 sequence in two.
std::string cut_bytes(std::string_view text, size_t max_bytes);

// Terminal columns `text` takes (wcwidth in a UTF-8 locale, whatever the program's locale):
// combining marks 0, East Asian wide characters and emoji 2. Meant for terminal_text's results;
// anything wcwidth cannot place counts 1.
size_t display_width(std::string_view text);

// `text` within `width` columns: as it is when it fits, else cut and ended with an ellipsis
// ('…', one column) that counts within the width. "" for width 0.
std::string fit_width(std::string_view text, size_t width);

// SI sizes as tables, progress lines and messages write them: "950 B", "1.5 kB", "52.0 MB";
// "-" for a negative size (unknown).
std::string size_text(int64_t bytes);

// A play time: "1:02:03", "0:00:59"; "-" when negative (unknown).
std::string duration_text(int64_t seconds);

// A time span of a transfer: "0:07", "4:05", "1:02:03".
std::string elapsed_text(double seconds);

// "YYYY-MM-DD" of a time in milliseconds since 1970 (the library's episode times), in UTC or local
// time; "" for a negative time (the library's "unknown") or one the calendar cannot hold.
std::string date_text(int64_t ms, bool utc);

// "1 episode", "3 episodes": the count and the noun, its plural `many` (by default `one` + "s").
std::string counted(int64_t n, std::string_view one, std::string_view many = {});

// A table of aligned columns. Cells are shown as given: pass them through terminal_text first.
struct table {
  std::vector<std::string> header;
  std::vector<bool> right_aligned;
  std::vector<std::vector<std::string>> rows;  // each as many cells as the header
  size_t shrink = 0;  // the column a row is read for (the title): it keeps its room longest

  // The header and rows as lines of at most `limit` columns (0: no limit), two spaces between
  // columns. When the widest cells do not fit, the widest of the other columns narrows first
  // (down to 12), then column `shrink`, then any, cells cut with '…'; rather than cutting columns
  // below 8, columns other than the first and `shrink` are left out from the right. Never fails for
  // any cells and any limit.
  std::vector<std::string> lines(size_t limit) const;
};
