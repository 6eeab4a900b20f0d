// Readable forms of the library's JSON answers and of the state: aligned tables and key-value
// lines; failures as one line on standard error; JSON as it is or indented.

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "view/print.h"

#include "core/library.h"
#include "core/url.h"

namespace {

display_options g_display;

}  // namespace

size_t line_limit(std::FILE *out) {
  if (g_display.wide || !isatty(fileno(out))) return 0;
  winsize size{};
  if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  const char *columns = std::getenv("COLUMNS");
  long n = columns != nullptr ? std::strtol(columns, nullptr, 10) : 0;
  return n > 0 ? static_cast<size_t>(n) : 80;
}

std::string day_text(int64_t ms) {
  std::string day = date_text(ms, g_display.utc);
  return day.empty() ? "-" : day;
}

namespace {

void print_table(std::FILE *out, const table &t) {
  for (const std::string &line : t.lines(line_limit(out))) std::fprintf(out, "%s\n", line.c_str());
}

// The library writes -1 for a number a feed did not give.
int64_t number_of(yyjson_val *object, const char *key) {
  yyjson_val *value = yyjson_obj_get(object, key);
  return yyjson_is_int(value) ? yyjson_get_sint(value) : -1;
}

std::string title_text(yyjson_val *object, const char *key) {
  return terminal_text(real_title(text_member(object, key)));
}

}  // namespace

void set_display(const display_options &options) { g_display = options; }

std::string shown_url(std::string_view url) { return terminal_text(redact_url(url)); }

void print_error(std::string_view command, std::string_view message) {
  std::string line = "vepod: ";
  if (!command.empty()) line.append(command).append(": ");
  // One line whatever the message holds: a transport's or server's text may carry line breaks.
  line += terminal_text(message.empty() ? std::string_view("unknown error") : message);
  line += '\n';
  std::fputs(line.c_str(), stderr);
}

void print_json(std::FILE *out, std::string_view json, bool pretty) {
  if (pretty) {
    json_doc doc = read_json(json);
    std::unique_ptr<char, void (*)(void *)> text(
        doc ? yyjson_write(doc.get(), YYJSON_WRITE_PRETTY_TWO_SPACES, nullptr) : nullptr,
        std::free);
    if (text) {
      std::fprintf(out, "%s\n", json_text(text.get()).c_str());
      return;
    }
  }
  std::fprintf(out, "%s\n", json_text(json).c_str());
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
    std::string name = terminal_text(yyjson_get_str(key));
    name.append(width - display_width(name), ' ');
    if (!yyjson_is_str(value)) {
      std::fprintf(out, "%s  (%s)\n", name.c_str(), yyjson_get_type_desc(value));
      continue;
    }
    // "URL" holds one URL a line: each goes on its own line, under the first.
    const bool key_is_url = std::string_view(yyjson_get_str(key)) == "URL";
    std::string_view text(yyjson_get_str(value), yyjson_get_len(value));
    const std::string indent(width, ' ');
    bool first = true;
    while (first || !text.empty()) {
      size_t end = text.find('\n');
      std::string_view part = text.substr(0, end);
      std::string line = key_is_url ? shown_url(part) : terminal_text(part);
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
  size_t number = 0;
  yyjson_arr_foreach(root_folder, index, max, entry) {
    // A URL that failed is told on standard error, not listed as a feed.
    if (failed_folder(entry)) continue;
    t.rows.push_back({std::to_string(++number), title_text(entry, "name"),
                      shown_url(text_member(entry, "path"))});
  }
  print_table(out, t);
}

void print_episodes(std::FILE *out, yyjson_val *feed_folder) {
  table t{{"#", "DATE", "LENGTH", "SIZE", "TITLE"}, {true, false, true, true, false}, {}, 4};
  size_t index, max;
  yyjson_val *entry;
  yyjson_arr_foreach(feed_folder, index, max, entry) {
    t.rows.push_back({std::to_string(index + 1), day_text(number_of(entry, "mtime_ms")),
                      duration_text(number_of(entry, "duration_s")),
                      size_text(number_of(entry, "size")), title_text(entry, "name")});
  }
  print_table(out, t);
}

void print_links(std::FILE *out, yyjson_val *links) {
  table t{{"#", "TITLE", "URL"}, {true, false, false}, {}, 1};
  size_t index, max;
  yyjson_val *link;
  yyjson_arr_foreach(links, index, max, link) {
    std::string title = terminal_text(text_member(link, "title"));
    t.rows.push_back({std::to_string(index + 1), title.empty() ? "-" : title,
                      shown_url(text_member(link, "url"))});
  }
  print_table(out, t);
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
      counters += terminal_text(yyjson_get_str(counter));
      counters += ' ';
      counters += std::to_string(yyjson_get_sint(yyjson_obj_iter_get_val(counter)));
    }
    t.rows.push_back({terminal_text(yyjson_get_str(group)), counters});
  }
  print_table(out, t);
}

void print_subscriptions(std::FILE *out, const std::vector<subscription> &all) {
  table t{{"#", "TITLE", "URL", "EPISODES", "UPDATED", "LAST ERROR"},
          {true, false, false, true, false, false},
          {},
          1};
  for (const subscription &s : all) {
    t.rows.push_back({std::to_string(s.number), s.title.empty() ? "-" : terminal_text(s.title),
                      shown_url(s.url), std::to_string(s.episodes),
                      s.last_update < 0 ? "never" : day_text(s.last_update * 1000),
                      s.last_error.empty() ? "-" : terminal_text(s.last_error)});
  }
  print_table(out, t);
}

void print_stored_episodes(std::FILE *out, const std::vector<episode> &episodes, bool with_feed) {
  // The reference names the episode for download, played and show, now and after updates.
  table t{{"REF", "FEED", "DATE", "LENGTH", "SIZE", "D", "P", "TITLE"},
          {true, false, false, true, true, false, false, false},
          {},
          7};
  for (const episode &e : episodes) {
    t.rows.push_back({episode_ref(e), terminal_text(e.feed_title), day_text(e.published_ms),
                      duration_text(e.duration_s), size_text(e.size), e.downloaded >= 0 ? "D" : "",
                      e.played >= 0 ? "P" : "", terminal_text(e.title)});
  }
  if (!with_feed) {
    t.header.erase(t.header.begin() + 1);
    t.right_aligned.erase(t.right_aligned.begin() + 1);
    for (auto &row : t.rows) row.erase(row.begin() + 1);
    t.shrink = 6;
  }
  print_table(out, t);
}
