// One episode's details as 'vepod show' lays them out: key-value lines, then the show notes
// rendered from HTML to wrapped text.

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/library.h"
#include "view/html_text.h"
#include "view/print.h"

namespace {

// Show notes are read more easily at a measure narrower than a wide terminal.
constexpr size_t k_notes_width = 100;

int64_t int_member(yyjson_val *object, const char *key) {
  yyjson_val *value = yyjson_obj_get(object, key);
  return yyjson_is_int(value) ? yyjson_get_sint(value) : -1;
}

// "12", "315.5": a number as a feed gave it; "" when absent.
std::string number_member(yyjson_val *object, const char *key) {
  yyjson_val *value = yyjson_obj_get(object, key);
  if (yyjson_is_int(value)) return std::to_string(yyjson_get_sint(value));
  if (!yyjson_is_real(value)) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%g", yyjson_get_real(value));
  return text;
}

// The details as "Name  value" lines, names aligned. Every text is made safe for the terminal
// before it is laid out, so that a line break inside a feed's text cannot start a line of its own.
class details_view {
 public:
  // A value of one line.
  void add(const char *name, const std::string &value) {
    if (!value.empty()) lines_.emplace_back(name, terminal_text(value));
  }
  // A value of several lines, each already made safe (chapters, people).
  void add_lines(const char *name, const std::string &lines) {
    if (!lines.empty()) lines_.emplace_back(name, lines);
  }
  void print(std::FILE *out) const {
    size_t width = 0;
    for (const auto &[name, value] : lines_) width = std::max(width, display_width(name));
    for (const auto &[name, value] : lines_) {
      std::string label = name;
      label.append(width - display_width(label), ' ');
      // A value of several lines (chapters, people) goes on under the first.
      std::string indent(width + 2, ' ');
      std::string_view rest = value;
      bool first = true;
      while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::fprintf(out, "%s  %s\n", first ? label.c_str() : indent.c_str() + 2,
                     terminal_text(rest.substr(0, end)).c_str());
        first = false;
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      }
    }
  }

 private:
  std::vector<std::pair<std::string, std::string>> lines_;
};

// "0:12:30 Title <url>" per chapter, one a line.
std::string chapters_text(yyjson_val *chapters) {
  std::string text;
  size_t index, max;
  yyjson_val *c;
  yyjson_arr_foreach(chapters, index, max, c) {
    int64_t ms = int_member(c, "start_ms");
    std::string line =
        duration_text(ms < 0 ? -1 : ms / 1000) + " " + terminal_text(text_member(c, "title"));
    if (std::string href = text_member(c, "href"); !href.empty())
      line += " <" + terminal_text(href) + ">";
    text += line + "\n";
  }
  return text;
}

// One line per element of a list: its head member, then its other members that are present in
// parentheses ("URL (type, language)", "Name (role, group)").
std::string labelled_lines(yyjson_val *list, const char *head,
                           std::initializer_list<const char *> about_keys) {
  std::string text;
  size_t index, max;
  yyjson_val *element;
  yyjson_arr_foreach(list, index, max, element) {
    std::string about;
    for (const char *key : about_keys)
      if (std::string v = text_member(element, key); !v.empty())
        about += (about.empty() ? "" : ", ") + terminal_text(v);
    text += terminal_text(text_member(element, head)) + (about.empty() ? "" : " (" + about + ")") +
            "\n";
  }
  return text;
}

std::string transcripts_text(yyjson_val *transcripts) {
  return labelled_lines(transcripts, "url", {"type", "language", "rel"});
}

std::string persons_text(yyjson_val *persons) {
  return labelled_lines(persons, "name", {"role", "group"});
}

}  // namespace

void print_details(std::FILE *out, const picked_episode &p, yyjson_val *d) {
  details_view view;
  std::string title = text_member(d, "title");
  view.add("Title", title.empty() ? terminal_text(p.item.title) : title);
  view.add("Feed", terminal_text(p.feed.title.empty() ? p.feed.url : p.feed.title));
  view.add("Reference", episode_ref(p.item));
  int64_t ms = d != nullptr ? int_member(d, "mtime_ms") : p.item.published_ms;
  view.add("Date", ms < 0 ? "" : day_text(ms));
  int64_t seconds = d != nullptr ? int_member(d, "duration_s") : p.item.duration_s;
  view.add("Length", seconds < 0 ? "" : duration_text(seconds));
  int64_t bytes = d != nullptr ? int_member(d, "size") : p.item.size;
  view.add("Size", bytes < 0 ? "" : size_text(bytes));
  std::string season = number_member(d, "season"), number = number_member(d, "episode");
  std::string place = season.empty() ? "" : "season " + season;
  if (!number.empty()) place += (place.empty() ? "episode " : ", episode ") + number;
  if (std::string type = text_member(d, "episode_type"); !type.empty() && type != "full")
    place += (place.empty() ? "" : " ") + std::string("(") + type + ")";
  view.add("Episode", place);
  if (yyjson_is_true(yyjson_obj_get(d, "explicit"))) view.add("Explicit", "yes");
  view.add("Author", text_member(d, "author"));
  view.add("Link", text_member(d, "link"));
  std::string media = text_member(d, "locator");
  view.add("Media", media.empty() ? terminal_text(p.item.media_url) : media);
  view.add_lines("Chapters", chapters_text(yyjson_obj_get(d, "chapters")));
  if (yyjson_arr_size(yyjson_obj_get(d, "chapters")) == 0)
    view.add("Chapters", text_member(d, "chapters_url"));
  view.add_lines("Transcripts", transcripts_text(yyjson_obj_get(d, "transcripts")));
  view.add_lines("People", persons_text(yyjson_obj_get(d, "persons")));
  if (p.item.downloaded >= 0) view.add("File", terminal_text(p.item.file));
  view.print(out);
  yyjson_val *notes = yyjson_obj_get(d, "description");
  if (!yyjson_is_str(notes) || yyjson_get_len(notes) == 0) return;
  // Into a pipe the lines are as wide as COLUMNS says, else 80.
  size_t width = line_limit(out);
  if (width == 0) {
    const char *columns = std::getenv("COLUMNS");
    long n = columns != nullptr ? std::strtol(columns, nullptr, 10) : 0;
    width = n > 0 ? static_cast<size_t>(n) : 80;
  }
  bool first = true;
  html_to_text({yyjson_get_str(notes), yyjson_get_len(notes)}, std::min(width, k_notes_width),
               [&](std::string_view piece) {
                 if (std::exchange(first, false)) std::fputc('\n', out);
                 std::fwrite(piece.data(), 1, piece.size(), out);
               });
}
