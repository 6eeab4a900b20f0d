// The lines the commands say on standard output: what a command did, one line each, every feed,
// server or file text through terminal_text.

#include <cinttypes>
#include <cstdio>
#include <string>

#include "core/library.h"
#include "core/url.h"
#include "view/print.h"

namespace {

// "2 h", "5 min", "3 days": how long ago something was, roughly.
std::string ago_text(int64_t seconds) {
  if (seconds < 60) return "just now";
  auto unit = [](int64_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many) + " ago";
  };
  if (seconds < 3600) return unit(seconds / 60, "min", "min");
  if (seconds < 2 * 86400) return unit(seconds / 3600, "h", "h");
  return unit(seconds / 86400, "day", "days");
}

}  // namespace

std::string subscription_name(size_t number, const subscription &s, const std::string &title) {
  return std::to_string(number) + " " + (title.empty() ? shown_url(s.url) : terminal_text(title));
}

std::string outline_name(size_t number, const std::string &title) {
  return title.empty() ? "outline " + std::to_string(number)
                       : "outline '" + fit_width(terminal_text(title), 60) + "'";
}

void print_subscribed(const subscribed_feed &f) {
  if (f.already) {
    std::printf("already subscribed: %s\n", shown_url(f.url).c_str());
    return;
  }
  std::printf("subscribed: %s (%s), %s\n", terminal_text(f.title).c_str(), shown_url(f.url).c_str(),
              counted(static_cast<int64_t>(f.episodes), "episode").c_str());
}

void print_unsubscribed(const subscription &s) {
  std::printf("unsubscribed: %s (%s)\n", terminal_text(s.title).c_str(), shown_url(s.url).c_str());
}

void print_move(const feed_update &u) {
  if (!u.moved_to.empty())
    std::printf("moved permanently: %s -> %s%s%s\n", shown_url(u.before.url).c_str(),
                shown_url(u.moved_to).c_str(), u.moved_by_feed ? " (the feed says so)" : "",
                u.merged_into == 0
                    ? ""
                    : (", merged into subscription " + std::to_string(u.merged_into)).c_str());
  if (!u.move_refused.empty())
    std::printf("move ignored: %s -> %s (it moved from there within 30 days)\n",
                shown_url(u.before.url).c_str(), shown_url(u.move_refused).c_str());
}

void print_up_to_date(int64_t checked_ago_s) {
  std::printf("up to date (checked %s)\n", ago_text(checked_ago_s).c_str());
}

void print_no_new_episodes() { std::printf("no new episodes\n"); }

void print_marked(const char *mark, const picked_episode &p) {
  std::printf("%s: %s %s (%s)\n", mark, episode_ref(p.item).c_str(),
              terminal_text(p.item.title).c_str(), terminal_text(p.item.feed_title).c_str());
}

void print_marked_feed(const char *mark, int count, const subscription &s) {
  std::printf("%s: %s of %s\n", mark, counted(count, "episode").c_str(),
              s.title.empty() ? shown_url(s.url).c_str() : terminal_text(s.title).c_str());
}

void print_nothing_to_change() { std::printf("nothing to change\n"); }

void print_setting(const char *name, const std::string &shown) {
  std::printf("%s = %s\n", name, shown.c_str());
}

void print_imported(int added, int skipped) {
  std::printf("imported %s (%d skipped)%s\n", counted(added, "subscription").c_str(), skipped,
              added > 0 ? "; 'vepod update' fetches them" : "");
}

void print_document(const std::string &text) { std::fputs(text.c_str(), stdout); }

void print_stream(yyjson_val *answer) {
  // The URL alone on the first line, so that scripts can take it; then one header a line.
  std::printf("%s\n", terminal_text(text_member(answer, "url")).c_str());
  yyjson_val *headers = yyjson_obj_get(answer, "headers");
  yyjson_val *key;
  yyjson_obj_iter it = yyjson_obj_iter_with(headers);
  while ((key = yyjson_obj_iter_next(&it)))
    std::printf("%s: %s\n", terminal_text(yyjson_get_str(key)).c_str(),
                terminal_text(text_member(headers, yyjson_get_str(key))).c_str());
}

void print_downloaded(const episode_download &r) {
  if (r.outcome == episode_outcome::already_there)
    std::printf("already downloaded: %s\n", terminal_text(r.path).c_str());
  else
    std::printf("%s\n", terminal_text(r.path).c_str());
}

void print_nothing_to_download(bool by_default) {
  std::printf(by_default ? "no new episodes to download (choose others with a reference such as "
                           "3.12, --feed N --episode M or --all)\n"
                         : "nothing to download\n");
}

void print_playing(const picked_episode &p) {
  std::printf("playing %s %s (%s)\n", episode_ref(p.item).c_str(),
              terminal_text(p.item.title).c_str(), terminal_text(p.feed.title).c_str());
  // The player takes the terminal next: this line comes first.
  std::fflush(stdout);
}

void print_search_results(const std::vector<search_result> &results) {
  table t{{"#", "TITLE", "AUTHOR", "EPISODES", "URL"}, {true, false, false, true, false}, {}, 1};
  for (size_t i = 0; i < results.size(); i++) {
    const search_result &r = results[i];
    t.rows.push_back({std::to_string(i + 1), r.title.empty() ? "-" : terminal_text(r.title),
                      r.author.empty() ? "-" : terminal_text(r.author),
                      r.episodes < 0 ? "-" : std::to_string(r.episodes), shown_url(r.url)});
  }
  for (const std::string &line : t.lines(line_limit(stdout))) std::printf("%s\n", line.c_str());
  std::printf("'vepod subscribe --result N' subscribes to result N\n");
}

void print_cleaned(const char *what, const std::string &name, int64_t bytes) {
  if (bytes < 0)
    std::printf("%s: %s\n", what, name.c_str());
  else
    std::printf("%s %s (%s)\n", what, name.c_str(), size_text(bytes).c_str());
}

void print_clean_summary(bool dry_run, int considered, int removed, uint64_t freed,
                         bool older_than) {
  if (considered == 0)
    std::printf("nothing to clean (no downloaded episode played%s)\n",
                older_than ? " that long ago" : "");
  else if (removed > 0)
    std::printf("%s %s in %s\n", dry_run ? "would free" : "freed",
                size_text(static_cast<int64_t>(freed)).c_str(), counted(removed, "file").c_str());
}

void print_heading(int step, const std::string &title) {
  std::printf("\n== %d. %s ==\n", step, title.c_str());
}

void print_demo_intro(const char *page, const char *rss, const char *atom) {
  std::printf(
      "The sequence a media player goes through, on bundled documents that the library's fake\n"
      "transport serves (nothing is fetched from the network):\n"
      "  %-54s  an HTML page that announces two feeds\n"
      "  %-54s  an RSS 2.0 feed, five episodes\n"
      "  %-54s  an Atom feed, three episodes\n",
      page, rss, atom);
}

void print_demo_value(const char *label, const std::string &value) {
  std::printf("%s: %s\n\n", label, value.c_str());
}

void print_demo_stream(yyjson_val *answer) {
  yyjson_val *headers = yyjson_obj_get(answer, "headers");
  std::printf("url      %s\nheaders  %s\n", text_member(answer, "url").c_str(),
              yyjson_obj_size(headers) == 0 ? "none needed" : write_json(headers).c_str());
}

void print_demo_fetches(int fetches) {
  std::printf("\nThe fake transport answered %d fetches; the rest came from the response cache.\n",
              fetches);
}

void print_no_longer_carried() {
  std::printf("\nThe feed no longer carries this episode: shown as the database keeps it.\n");
}

void print_version(const char *program, const char *library) {
  std::printf("vepod %s (library %s)\n", program, library);
}
