// Readable forms of the library's JSON answers: aligned tables and key-value lines.

#include <algorithm>
#include <cinttypes>
#include <ctime>
#include <string>
#include <vector>

#include "cli.h"

namespace {

// Columns are aligned by characters, not bytes: titles are often not ASCII.
size_t display_width(std::string_view text) {
  size_t width = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) width++;
  return width;
}

// Control characters would break the layout; the library's names carry none, other texts may.
std::string one_line(std::string_view text) {
  std::string line;
  for (char c : text) line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
  return line;
}

struct table {
  std::vector<std::string> header;
  std::vector<bool> right_aligned;
  std::vector<std::vector<std::string>> rows;

  void print(std::FILE *out) const {
    std::vector<size_t> widths(header.size(), 0);
    auto measure = [&widths](const std::vector<std::string> &row) {
      for (size_t i = 0; i < row.size(); i++)
        widths[i] = std::max(widths[i], display_width(row[i]));
    };
    measure(header);
    for (const auto &row : rows) measure(row);
    auto print_row = [&](const std::vector<std::string> &row) {
      std::string line;
      for (size_t i = 0; i < row.size(); i++) {
        bool last = i + 1 == row.size();
        std::string pad(widths[i] - display_width(row[i]), ' ');
        if (right_aligned[i]) line += pad;
        line += row[i];
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

std::string date_text(int64_t ms) {
  if (ms < 0) return "-";
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm parts{};
  char text[32];
  if (gmtime_r(&seconds, &parts) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d", &parts) == 0)
    return "-";
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

}  // namespace

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
  table t{{"#", "FEED", "URL"}, {true, false, false}, {}};
  size_t index, max;
  yyjson_val *entry;
  yyjson_arr_foreach(root_folder, index, max, entry) {
    t.rows.push_back(
        {std::to_string(index + 1), text_member(entry, "name"), text_member(entry, "path")});
  }
  t.print(out);
}

void print_episodes(std::FILE *out, yyjson_val *feed_folder) {
  table t{{"#", "DATE", "LENGTH", "SIZE", "TITLE"}, {true, false, true, true, false}, {}};
  size_t index, max;
  yyjson_val *entry;
  yyjson_arr_foreach(feed_folder, index, max, entry) {
    t.rows.push_back({std::to_string(index + 1), date_text(number_of(entry, "mtime_ms")),
                      duration_text(number_of(entry, "duration_s")),
                      size_text(number_of(entry, "size")), text_member(entry, "name")});
  }
  t.print(out);
}

void print_links(std::FILE *out, yyjson_val *links) {
  table t{{"#", "TITLE", "URL"}, {true, false, false}, {}};
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
  table t{{"GROUP", "COUNTERS"}, {false, false}, {}};
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
