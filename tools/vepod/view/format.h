// How the client writes text for people: every feed, server or file text goes through
// terminal_text before it reaches a terminal, tables and progress lines are measured in terminal
// columns, and sizes, durations, dates and counts have one form each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"

// A JSON text with DEL, C1 and the bidi controls inside its strings written as \u escapes and
// bytes that are not UTF-8 as \ufffd; the JSON writer escapes C0 itself. The value is unchanged
// for a JSON reader.
std::string json_text(std::string_view json);

// Terminal columns `text` takes (wcwidth in a UTF-8 locale, whatever the program's locale):
// combining marks 0, East Asian wide characters and emoji 2. Meant for terminal_text's results;
// anything wcwidth cannot place counts 1.
size_t display_width(std::string_view text);
// How many bytes of `text`'s first whole characters fit in `columns` columns; `width` receives
// their width. One pass: a word may be megabytes long.
size_t fitting_prefix(std::string_view text, size_t columns, size_t &width);

// `text` within `width` columns: as it is when it fits, else cut and ended with an ellipsis
// ('…', one column) that counts within the width. "" for width 0.
std::string fit_width(std::string_view text, size_t width);

// A play time: "1:02:03", "0:00:59"; "-" when negative (unknown).
std::string duration_text(int64_t seconds);

// A time span of a transfer: "0:07", "4:05", "1:02:03".
std::string elapsed_text(double seconds);

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
