// Readable forms of the library's JSON answers: aligned tables and key-value lines.

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "cli.h"

namespace {

display_options g_display;

struct code_point_range {
  char32_t first, last;
};

// Marks drawn over the character before them, joiners and variation selectors.
constexpr code_point_range k_zero_width[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
    {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
    {0x200B, 0x200F}, {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};

// East Asian wide and fullwidth forms and emoji: two terminal columns each.
constexpr code_point_range k_double_width[] = {
    {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
    {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
    {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

template <size_t n>
bool in_ranges(char32_t c, const code_point_range (&ranges)[n]) {
  for (const code_point_range &r : ranges)
    if (c >= r.first && c <= r.last) return true;
  return false;
}

}  // namespace

// Columns are aligned by terminal columns, not bytes: titles are often not ASCII, and feeds in
// Chinese, Japanese or Korean are common.
size_t display_width(std::string_view text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (i + length > text.size()) length = 1;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; k++)
      c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += length;
    width += in_ranges(c, k_zero_width) ? 0 : in_ranges(c, k_double_width) ? 2 : 1;
  }
  return width;
}

namespace {

// The text cut to `width` columns, its last one an ellipsis when anything was cut.
std::string fit(const std::string &text, size_t width) {
  if (display_width(text) <= width) return text;
  std::string cut;
  size_t used = 0;
  for (size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    std::string piece = text.substr(i, length);
    size_t w = display_width(piece);
    if (used + w + 1 > width) break;
    cut += piece;
    used += w;
    i += length;
  }
  return width == 0 ? std::string() : cut + "\u2026";
}

}  // namespace

size_t line_limit(std::FILE *out) {
  if (g_display.wide || !isatty(fileno(out))) return 0;
  winsize size{};
  if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  const char *columns = std::getenv("COLUMNS");
  long n = columns != nullptr ? std::strtol(columns, nullptr, 10) : 0;
  return n > 0 ? static_cast<size_t>(n) : 80;
}

namespace {

struct table {
  std::vector<std::string> header;
  std::vector<bool> right_aligned;
  std::vector<std::vector<std::string>> rows;
  size_t shrink = 0;  // the column cut short when a line would not fit the terminal

  void print(std::FILE *out) const {
    std::vector<size_t> widths(header.size(), 0);
    auto measure = [&widths](const std::vector<std::string> &row) {
      for (size_t i = 0; i < row.size(); i++)
        widths[i] = std::max(widths[i], display_width(row[i]));
    };
    measure(header);
    for (const auto &row : rows) measure(row);
    if (size_t limit = line_limit(out)) {
      size_t total = 2 * (widths.size() - 1);
      for (size_t w : widths) total += w;
      // Other columns keep their width; this one gives up what does not fit, down to 3 columns.
      if (total > limit) widths[shrink] = std::max<size_t>(3, widths[shrink] - (total - limit));
    }
    auto print_row = [&](const std::vector<std::string> &row) {
      std::string line;
      for (size_t i = 0; i < row.size(); i++) {
        bool last = i + 1 == row.size();
        std::string cell = fit(row[i], widths[i]);
        std::string pad(widths[i] - display_width(cell), ' ');
        if (right_aligned[i]) line += pad;
        line += cell;
        if (!right_aligned[i] && !last) line += pad;
        if (!last) line += "  ";
      }
      std::fprintf(out, "%s\n", line.c_str());
    };
    print_row(header);
    for (const auto &row : rows) print_row(row);
  }
};

// The library writes -1 for a number a feed did not give.
int64_t number_of(yyjson_val *object, const char *key) {
  yyjson_val *value = yyjson_obj_get(object, key);
  return yyjson_is_int(value) ? yyjson_get_sint(value) : -1;
}

}  // namespace

std::string date_text(int64_t ms) {
  if (ms < 0) return "-";
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm parts{};
  char text[32];
  bool converted = g_display.utc ? gmtime_r(&seconds, &parts) != nullptr
                                 : localtime_r(&seconds, &parts) != nullptr;
  if (!converted || std::strftime(text, sizeof text, "%Y-%m-%d", &parts) == 0) return "-";
  return text;
}

std::string duration_text(int64_t seconds) {
  if (seconds < 0) return "-";
  char text[48];
  std::snprintf(text, sizeof text, "%" PRId64 ":%02d:%02d", seconds / 3600,
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return text;
}

std::string size_text(int64_t bytes) {
  if (bytes < 0) return "-";
  char text[48];
  if (bytes < 1000) {
    std::snprintf(text, sizeof text, "%" PRId64 " B", bytes);
  } else {
    static constexpr const char *units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes) / 1000;
    size_t unit = 0;
    while (value >= 999.95 && unit + 1 < std::size(units)) {
      value /= 1000;
      unit++;
    }
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  }
  return text;
}

namespace {

std::string title_text(yyjson_val *object, const char *key) {
  return real_title(text_member(object, key));
}

}  // namespace

void set_display(const display_options &options) { g_display = options; }

std::string plural(int64_t n, const char *one, const char *many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string real_title(std::string text) {
  for (size_t at; (at = text.find("\u2215")) != std::string::npos;) text.replace(at, 3, "/");
  return text;
}

// Control characters would break the layout; the library's names carry none, other texts may.
std::string one_line(std::string_view text) {
  std::string line;
  for (char c : text) line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
  return line;
}

std::string text_member(yyjson_val *object, const char *key) {
  yyjson_val *value = yyjson_obj_get(object, key);
  return yyjson_is_str(value) ? one_line({yyjson_get_str(value), yyjson_get_len(value)}) : "";
}

void print_source(std::FILE *out, yyjson_val *description) {
  size_t width = 0;
  yyjson_val *key, *value;
  yyjson_obj_iter it = yyjson_obj_iter_with(description);
  while ((key = yyjson_obj_iter_next(&it)))
    width = std::max(width, display_width(yyjson_get_str(key)));
  it = yyjson_obj_iter_with(description);
  while ((key = yyjson_obj_iter_next(&it))) {
    value = yyjson_obj_iter_get_val(key);
    std::string name = one_line(yyjson_get_str(key));
    name.append(width - display_width(name), ' ');
    if (!yyjson_is_str(value)) {
      std::fprintf(out, "%s  (%s)\n", name.c_str(), yyjson_get_type_desc(value));
      continue;
    }
    // "URL" holds one URL a line: each goes on its own line, under the first.
    std::string_view text(yyjson_get_str(value), yyjson_get_len(value));
    const std::string indent(width, ' ');
    bool first = true;
    while (first || !text.empty()) {
      size_t end = text.find('\n');
      std::string line = one_line(text.substr(0, end));
      std::fprintf(out, "%s  %s\n", first ? name.c_str() : indent.c_str(), line.c_str());
      text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
      first = false;
    }
  }
}

void print_feeds(std::FILE *out, yyjson_val *root_folder) {
  table t{{"#", "FEED", "URL"}, {true, false, false}, {}, 1};
  size_t index, max;
  yyjson_val *entry;
  yyjson_arr_foreach(root_folder, index, max, entry) {
    t.rows.push_back(
        {std::to_string(index + 1), title_text(entry, "name"), text_member(entry, "path")});
  }
  t.print(out);
}

void print_episodes(std::FILE *out, yyjson_val *feed_folder) {
  table t{{"#", "DATE", "LENGTH", "SIZE", "TITLE"}, {true, false, true, true, false}, {}, 4};
  size_t index, max;
  yyjson_val *entry;
  yyjson_arr_foreach(feed_folder, index, max, entry) {
    t.rows.push_back({std::to_string(index + 1), date_text(number_of(entry, "mtime_ms")),
                      duration_text(number_of(entry, "duration_s")),
                      size_text(number_of(entry, "size")), title_text(entry, "name")});
  }
  t.print(out);
}

void print_links(std::FILE *out, yyjson_val *links) {
  table t{{"#", "TITLE", "URL"}, {true, false, false}, {}, 1};
  size_t index, max;
  yyjson_val *link;
  yyjson_arr_foreach(links, index, max, link) {
    std::string title = text_member(link, "title");
    t.rows.push_back(
        {std::to_string(index + 1), title.empty() ? "-" : title, text_member(link, "url")});
  }
  t.print(out);
}

void print_stats(std::FILE *out, yyjson_val *stats) {
  table t{{"GROUP", "COUNTERS"}, {false, false}, {}, 1};
  yyjson_val *group, *counter;
  yyjson_obj_iter groups = yyjson_obj_iter_with(stats);
  while ((group = yyjson_obj_iter_next(&groups))) {
    std::string counters;
    yyjson_obj_iter it = yyjson_obj_iter_with(yyjson_obj_iter_get_val(group));
    while ((counter = yyjson_obj_iter_next(&it))) {
      if (!counters.empty()) counters += ", ";
      counters += one_line(yyjson_get_str(counter));
      counters += ' ';
      counters += std::to_string(yyjson_get_sint(yyjson_obj_iter_get_val(counter)));
    }
    t.rows.push_back({one_line(yyjson_get_str(group)), counters});
  }
  t.print(out);
}

void print_subscriptions(std::FILE *out, const std::vector<subscription> &all) {
  table t{{"#", "TITLE", "URL", "EPISODES", "UPDATED", "LAST ERROR"},
          {true, false, false, true, false, false},
          {},
          1};
  for (size_t i = 0; i < all.size(); i++) {
    const subscription &s = all[i];
    t.rows.push_back({std::to_string(i + 1), s.title.empty() ? "-" : one_line(s.title), s.url,
                      std::to_string(s.episodes),
                      s.last_update < 0 ? "never" : date_text(s.last_update * 1000),
                      s.last_error.empty() ? "-" : one_line(s.last_error)});
  }
  t.print(out);
}

void print_stored_episodes(std::FILE *out, const std::vector<episode> &episodes, bool with_feed) {
  // The reference names the episode for download, played and show, now and after updates.
  table t{{"REF", "FEED", "DATE", "LENGTH", "SIZE", "D", "P", "TITLE"},
          {true, false, false, true, true, false, false, false},
          {},
          7};
  for (const episode &e : episodes) {
    t.rows.push_back({episode_ref(e), one_line(e.feed_title), date_text(e.published_ms),
                      duration_text(e.duration_s), size_text(e.size), e.downloaded >= 0 ? "D" : "",
                      e.played >= 0 ? "P" : "", one_line(e.title)});
  }
  if (!with_feed) {
    t.header.erase(t.header.begin() + 1);
    t.right_aligned.erase(t.right_aligned.begin() + 1);
    for (auto &row : t.rows) row.erase(row.begin() + 1);
    t.shrink = 6;
  }
  t.print(out);
}
