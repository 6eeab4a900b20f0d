#include "view/html_text.h"

#include <gumbo.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "core/url.h"
#include "view/format.h"

namespace {

// One paragraph: its text and the prefixes of its first and following lines.
struct paragraph {
  std::string first, rest, text;
  bool preformatted = false;
  bool tight = false;  // follows the one before without an empty line (after <br>, list items)
};

// How deep the HTML may nest before the rest of it is read as text only; gumbo itself builds
// any depth, the walk must not run the stack out.
constexpr int k_max_depth = 200;
// What gumbo is given at most. Its time and memory grow with the nesting of what it reads (and
// some of its trees with nesting times length), so longer notes, and notes whose open elements
// pile up deeper than any real page's, are read as plain text instead.
constexpr size_t k_max_html_bytes = size_t{1} << 20;
constexpr int k_max_open_elements = 256;
// Lists nested deeper than this are indented no further.
constexpr int k_max_list_indent = 8;

class renderer {
 public:
  std::vector<paragraph> paragraphs;

  void walk(const GumboNode *node, int depth) {
    if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE ||
        node->type == GUMBO_NODE_CDATA) {
      add_text(node->v.text.text);
      return;
    }
    if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_DOCUMENT &&
        node->type != GUMBO_NODE_TEMPLATE)
      return;
    const GumboVector &children =
        node->type == GUMBO_NODE_DOCUMENT ? node->v.document.children : node->v.element.children;
    if (node->type == GUMBO_NODE_DOCUMENT) {
      walk_children(children, depth);
      return;
    }
    const GumboElement &element = node->v.element;
    switch (element.tag) {
      case GUMBO_TAG_SCRIPT:
      case GUMBO_TAG_STYLE:
      case GUMBO_TAG_HEAD:
      case GUMBO_TAG_TEMPLATE:
        return;
      case GUMBO_TAG_BR:
        end_paragraph(true);
        return;
      case GUMBO_TAG_HR:
        end_paragraph();
        return;
      case GUMBO_TAG_IMG:
        if (const GumboAttribute *alt = gumbo_get_attribute(&element.attributes, "alt");
            alt != nullptr && alt->value[0] != '\0')
          add_text(std::string("[") + alt->value + "]");
        return;
      case GUMBO_TAG_A: {
        // The link's text starts here, unless a line break inside it ended the paragraph.
        size_t start = current_.text.size();
        size_t paragraphs_before = paragraphs.size();
        walk_children(children, depth);
        const GumboAttribute *href = gumbo_get_attribute(&element.attributes, "href");
        if (href == nullptr || !is_http_url(href->value)) return;
        if (paragraphs.size() != paragraphs_before || start > current_.text.size()) start = 0;
        std::string_view shown = std::string_view(current_.text).substr(start);
        while (!shown.empty() && shown.front() == ' ') shown.remove_prefix(1);
        if (shown != href->value) add_text(std::string(" <") + href->value + ">");
        return;
      }
      case GUMBO_TAG_UL:
      case GUMBO_TAG_OL:
        end_paragraph();
        lists_++;
        walk_children(children, depth);
        lists_--;
        end_paragraph();
        return;
      case GUMBO_TAG_LI: {
        end_paragraph();
        std::string outer = indent_;
        int level = std::min(lists_ > 0 ? lists_ - 1 : 0, k_max_list_indent);
        std::string bullet = std::string(2 * static_cast<size_t>(level), ' ') + "\u2022 ";
        indent_ = std::string(display_width(bullet), ' ');
        current_.first = bullet;
        current_.rest = indent_;
        current_.tight = item_before_;
        items_++;
        walk_children(children, depth);
        end_paragraph();
        items_--;
        indent_ = outer;
        current_.first = current_.rest = indent_;
        return;
      }
      case GUMBO_TAG_PRE:
        end_paragraph();
        current_.preformatted = true;
        walk_children(children, depth);
        end_paragraph();
        current_.preformatted = false;
        return;
      default:
        break;
    }
    bool block = is_block(element.tag);
    if (block) end_paragraph();
    walk_children(children, depth);
    if (block) end_paragraph();
  }

  void finish() { end_paragraph(); }

  // Text read without its markup, given in pieces: each line of it a paragraph, set apart as
  // paragraphs are.
  void add_plain_piece(std::string_view text) { add_text(text); }
  void end_plain_line() { end_paragraph(); }

 private:
  paragraph current_;
  int lists_ = 0;
  bool space_ = false;        // a blank is pending before the next word
  int items_ = 0;             // list items open around the text being read
  bool item_before_ = false;  // the last paragraph ended inside a list item
  std::string indent_;        // of the lines inside the list item being read

  static bool is_block(GumboTag tag) {
    switch (tag) {
      case GUMBO_TAG_P:
      case GUMBO_TAG_DIV:
      case GUMBO_TAG_H1:
      case GUMBO_TAG_H2:
      case GUMBO_TAG_H3:
      case GUMBO_TAG_H4:
      case GUMBO_TAG_H5:
      case GUMBO_TAG_H6:
      case GUMBO_TAG_BLOCKQUOTE:
      case GUMBO_TAG_TR:
      case GUMBO_TAG_TABLE:
      case GUMBO_TAG_SECTION:
      case GUMBO_TAG_ARTICLE:
      case GUMBO_TAG_HEADER:
      case GUMBO_TAG_FOOTER:
      case GUMBO_TAG_DL:
      case GUMBO_TAG_DT:
      case GUMBO_TAG_DD:
      case GUMBO_TAG_FIGURE:
      case GUMBO_TAG_FIGCAPTION:
        return true;
      default:
        return false;
    }
  }

  void walk_children(const GumboVector &children, int depth) {
    for (unsigned i = 0; i < children.length; i++) {
      const auto *child = static_cast<const GumboNode *>(children.data[i]);
      if (depth < k_max_depth)
        walk(child, depth + 1);
      else
        add_all_text(child);
    }
  }

  // Below the depth limit the text is kept, in order, without its layout; no recursion.
  void add_all_text(const GumboNode *top) {
    std::vector<const GumboNode *> pending{top};
    while (!pending.empty()) {
      const GumboNode *node = pending.back();
      pending.pop_back();
      if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE ||
          node->type == GUMBO_NODE_CDATA) {
        add_text(node->v.text.text);
      } else if (node->type == GUMBO_NODE_ELEMENT && node->v.element.tag != GUMBO_TAG_SCRIPT &&
                 node->v.element.tag != GUMBO_TAG_STYLE) {
        const GumboVector &children = node->v.element.children;
        for (unsigned i = children.length; i > 0; i--)
          pending.push_back(static_cast<const GumboNode *>(children.data[i - 1]));
      }
    }
  }

  // Text reaches the terminal only through terminal_text; line breaks count only in <pre>.
  void add_text(std::string_view raw) {
    // Sanitised in pieces, each cut before a byte that starts a character, so that long notes
    // are not copied whole once more on their way.
    constexpr size_t k_piece = 64 * 1024;
    for (bool first = true; first || !raw.empty(); first = false) {
      size_t end = raw.find('\n');
      if (!first) take("\n");
      std::string_view line = raw.substr(0, end);
      while (!line.empty()) {
        size_t cut = std::min(line.size(), k_piece);
        while (cut < line.size() && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) cut++;
        take(terminal_text(line.substr(0, cut)));
        line.remove_prefix(cut);
      }
      raw = end == std::string_view::npos ? std::string_view() : raw.substr(end + 1);
    }
  }

  // Sanitised text into the paragraph: blanks run together, except in <pre>.
  void take(std::string_view text) {
    current_.text.reserve(current_.text.size() + text.size() + 1);
    for (size_t i = 0; i < text.size(); i++) {
      auto c = static_cast<unsigned char>(text[i]);
      if (current_.preformatted) {
        current_.text += c == '\n' ? '\n' : c == '\t' ? ' ' : c < 0x20 || c == 0x7f ? ' ' : c;
        continue;
      }
      if (c <= 0x20 || c == 0x7f) {
        space_ = !current_.text.empty();
        continue;
      }
      if (space_) current_.text += ' ';
      space_ = false;
      current_.text += static_cast<char>(c);
    }
  }

  // A line break (<br>) continues the paragraph on its next line, without an empty line; a
  // paragraph inside a list item goes on under the item's text.
  void end_paragraph(bool line_break = false) {
    space_ = false;
    if (current_.text.empty()) {
      current_.tight = current_.tight || line_break;
      return;
    }
    paragraphs.push_back({current_.first, current_.rest, std::move(current_.text),
                          current_.preformatted, current_.tight});
    item_before_ = items_ > 0;
    current_.text = std::string();
    current_.first = current_.rest = indent_;
    current_.tight = line_break;
    if (!line_break) current_.preformatted = false;
  }
};

// The laid-out text, handed on whenever a piece has gathered.
class text_out {
 public:
  explicit text_out(const std::function<void(std::string_view)> &sink) : sink_(sink) {}

  text_out &operator+=(std::string_view text) {
    buffer_.append(text);
    if (buffer_.size() >= k_piece) flush();
    return *this;
  }
  text_out &operator+=(char c) { return *this += std::string_view(&c, 1); }

  void flush() {
    if (buffer_.empty()) return;
    sink_(buffer_);
    buffer_.clear();
  }

 private:
  static constexpr size_t k_piece = 64 * 1024;
  const std::function<void(std::string_view)> &sink_;
  std::string buffer_;
};

// Lines of at most `width` columns from `text`'s words, each starting with its prefix.
void wrap(const paragraph &p, size_t width, text_out &out) {
  std::string line = p.first;
  size_t used = display_width(p.first);
  bool empty = true;
  auto new_line = [&] {
    out += line;
    out += '\n';
    line = p.rest;
    used = display_width(p.rest);
    empty = true;
  };
  std::string_view text = p.text;
  while (!text.empty()) {
    size_t end = text.find(' ');
    std::string_view word = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    size_t w = display_width(word);
    if (!empty && used + 1 + w > width) new_line();
    if (!empty) {
      line += ' ';
      used++;
    }
    // A word wider than a whole line is cut where the line ends.
    while (used + w > width && w > 0 && used < width) {
      size_t cut_width = 0;
      size_t cut = fitting_prefix(word, width - used, cut_width);
      if (cut == 0) break;
      line.append(word.substr(0, cut));
      used += cut_width;
      word.remove_prefix(cut);
      w -= cut_width;  // measured once: a long word costs its length, not its length squared
      new_line();
    }
    line.append(word);
    used += w;
    empty = false;
  }
  if (!empty) new_line();
}

}  // namespace

namespace {

bool is_name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Whether an element of this name never holds anything (so its start tag opens nothing).
bool is_void_element(std::string_view name) {
  static constexpr std::string_view k_void[] = {"area",  "base",   "br",    "col",  "embed",
                                                "hr",    "img",    "input", "link", "meta",
                                                "param", "source", "track", "wbr"};
  for (std::string_view v : k_void)
    if (name.size() == v.size() &&
        std::equal(name.begin(), name.end(), v.begin(),
                   [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; }))
      return true;
  return false;
}

// A cheap count, without parsing, of how deep elements left open may pile up: start tags open,
// end tags close, void and self-closing tags do neither. Whether it exceeds `limit`.
bool nests_deeper_than(std::string_view html, int limit) {
  int open = 0;
  size_t next_close = 0;  // the first '>' at or after the current tag's name, found once
  for (size_t at = html.find('<'); at != std::string_view::npos; at = html.find('<', at + 1)) {
    if (at + 1 >= html.size()) break;
    bool closing = html[at + 1] == '/';
    size_t name_at = at + (closing ? 2 : 1);
    if (name_at >= html.size() || !is_name_start(html[name_at])) continue;
    size_t name_end = name_at;
    while (name_end < html.size() &&
           (is_name_start(html[name_end]) || (html[name_end] >= '0' && html[name_end] <= '9')))
      name_end++;
    if (closing) {
      open = std::max(0, open - 1);
      continue;
    }
    if (next_close != std::string_view::npos && next_close < name_end)
      next_close = html.find('>', name_end);
    bool self_closing = next_close != std::string_view::npos && html[next_close - 1] == '/';
    if (self_closing || is_void_element(html.substr(name_at, name_end - name_at))) continue;
    if (++open > limit) return true;
  }
  return false;
}

// Notes too large or too deep for the parser: their text without the tags, the five XML
// references and &nbsp; decoded, laid out as one paragraph per line of the source.
void add_plain_text(std::string_view html, renderer &r) {
  constexpr size_t k_piece = 64 * 1024;
  std::string piece;
  auto flush = [&] {
    r.add_plain_piece(piece);
    piece.clear();
  };
  for (size_t i = 0; i < html.size();) {
    // A piece ends before a byte that starts a character: it is sanitised on its own.
    if (piece.size() >= k_piece && (static_cast<unsigned char>(html[i]) & 0xC0) != 0x80) flush();
    if (html[i] == '\n') {
      flush();
      r.end_plain_line();
      i++;
      continue;
    }
    if (html[i] == '<') {
      size_t end = html.find('>', i);
      if (end == std::string_view::npos) break;
      piece += ' ';
      i = end + 1;
      continue;
    }
    if (html[i] == '&') {
      static constexpr std::pair<std::string_view, std::string_view> k_refs[] = {
          {"&amp;", "&"}, {"&lt;", "<"},   {"&gt;", ">"},  {"&quot;", "\""},
          {"&#39;", "'"}, {"&apos;", "'"}, {"&nbsp;", " "}};
      bool decoded = false;
      for (const auto &[ref, value] : k_refs)
        if (html.substr(i, ref.size()) == ref) {
          piece += value;
          i += ref.size();
          decoded = true;
          break;
        }
      if (decoded) continue;
    }
    piece += html[i++];
  }
  flush();
  r.end_plain_line();
}

}  // namespace

void html_to_text(std::string_view html, size_t width,
                  const std::function<void(std::string_view)> &sink) {
  renderer r;
  if (html.size() > k_max_html_bytes || nests_deeper_than(html, k_max_open_elements)) {
    add_plain_text(html, r);
  } else {
    // Parse errors are not kept: each would copy the open elements, which hostile notes make
    // grow with their length.
    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0;
    std::unique_ptr<GumboOutput, void (*)(GumboOutput *)> parsed(
        gumbo_parse_with_options(&options, html.data(), html.size()),
        [](GumboOutput *output) { gumbo_destroy_output(&kGumboDefaultOptions, output); });
    if (parsed) r.walk(parsed->document, 0);
  }
  r.finish();
  text_out out(sink);
  for (size_t i = 0; i < r.paragraphs.size(); i++) {
    paragraph &p = r.paragraphs[i];
    // Each paragraph's text goes once it is laid out: the notes are not held twice.
    struct release {
      std::string &text;
      ~release() { std::string().swap(text); }
    } done{p.text};
    // Paragraphs are set apart by an empty line; the items of a list and the lines of a <br>
    // follow each other.
    if (i > 0 && !p.tight) out += '\n';
    if (p.preformatted || width == 0) {
      std::string_view text = p.text;
      bool first = true;
      while (!text.empty()) {
        size_t end = text.find('\n');
        out += first ? p.first : p.rest;
        out += text.substr(0, end);
        out += '\n';
        first = false;
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
      }
      continue;
    }
    wrap(p, width, out);
  }
  out.flush();
}

std::string html_to_text(std::string_view html, size_t width) {
  std::string text;
  html_to_text(html, width, [&](std::string_view piece) { text.append(piece); });
  return text;
}
