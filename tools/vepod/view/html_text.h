// Show notes as terminal text: the HTML a feed carries, parsed by a real HTML parser (gumbo) and
// laid out as wrapped paragraphs.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// `html` as plain text: block elements (paragraphs, headings, list items, line breaks, table
// rows) start new lines, list items get a bullet and an indent by depth, a link is followed by
// its URL in angle brackets unless its text is that URL, images give their alt text, scripts and
// styles nothing. Runs of blanks fold to one space except in <pre>. Control characters never
// reach the result. Lines are wrapped to `width` terminal columns (0: not wrapped); a word wider
// than a line is cut. The result ends with a newline unless it is empty.
std::string html_to_text(std::string_view html, size_t width);

// The same text handed to `sink` in pieces of some 64 KiB as it is laid out, so that long notes
// are never held whole a second time. No piece is empty.
void html_to_text(std::string_view html, size_t width,
                  const std::function<void(std::string_view)> &sink);
