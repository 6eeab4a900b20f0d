// The view: what the client shows of answers, state and failures. It only prints; what to show
// comes from the commands.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

#include "core/episode_download.h"
#include "core/store.h"
#include "core/subscribe.h"
#include "core/update.h"
#include "view/format.h"

// How tables and dates are shown: cut to the terminal's width unless `wide`, dates in UTC or
// local time.
struct display_options {
  bool utc = false;
  bool wide = false;
};
void set_display(const display_options &options);

// "2024-06-03" in local time or UTC as --utc says; "-" for an unknown (negative) time.
std::string day_text(int64_t ms);
// The terminal's width when `out` is one and lines must not wrap; 0 for no limit.
size_t line_limit(std::FILE *out);

// A URL as every printer shows it: redacted, then through terminal_text.
std::string shown_url(std::string_view url);

// "vepod: <command>: <message>" as one line on standard error, whatever the message holds (a
// transport's or server's text may carry line breaks); "vepod: <message>" without a command.
void print_error(std::string_view command, std::string_view message);

// Prints a JSON text as it is, or indented with two spaces; either way through json_text, so that
// no control character in a string reaches a terminal raw.
void print_json(std::FILE *out, std::string_view json, bool pretty);

// Readable forms of the library's answers.
void print_source(std::FILE *out, yyjson_val *description);
void print_feeds(std::FILE *out, yyjson_val *root_folder);
void print_episodes(std::FILE *out, yyjson_val *feed_folder);
void print_links(std::FILE *out, yyjson_val *links);
void print_stats(std::FILE *out, yyjson_val *stats);
// Readable forms of the program's state.
void print_subscriptions(std::FILE *out, const std::vector<subscription> &all);
void print_stored_episodes(std::FILE *out, const std::vector<episode> &episodes, bool with_feed);
// An episode's details ('vepod show'): what the database keeps, and `details` (the library's
// entry with every detail the feed gives; null when there is none) with its notes as wrapped text.
void print_details(std::FILE *out, const picked_episode &p, yyjson_val *details);
// After the details the database keeps of an episode its feed no longer carries.
void print_no_longer_carried();

// The lines the commands say on standard output (view/messages.cpp).

// How messages name a subscription: its number, then its title or its URL.
std::string subscription_name(size_t number, const subscription &s, const std::string &title);
// How an import names an outline: its title, cut to 60 columns, or its number.
std::string outline_name(size_t number, const std::string &title);
// "subscribed: TITLE (URL), N episodes" or "already subscribed: URL".
void print_subscribed(const subscribed_feed &f);
void print_unsubscribed(const subscription &s);
// A subscription's move, or the move it refused; nothing when there was none.
void print_move(const feed_update &u);
// Nothing was asked of any server: when they were asked, not that nothing came.
void print_up_to_date(int64_t checked_ago_s);
void print_no_new_episodes();
// 'vepod played': an episode marked, or how many of one feed's (--all).
void print_marked(const char *mark, const picked_episode &p);
void print_marked_feed(const char *mark, int count, const subscription &s);
void print_nothing_to_change();
// "KEY = VALUE", the value as it may be shown.
void print_setting(const char *name, const std::string &shown);
void print_imported(int added, int skipped);
// A document written whole: an OPML export, the help.
void print_document(const std::string &text);
void print_version(const char *program, const char *library);
// A stream URL answer: the URL alone on the first line, then one header a line.
void print_stream(yyjson_val *answer);
// A download that arrived whole, or was there already: its file.
void print_downloaded(const episode_download &r);
void print_nothing_to_download(bool by_default);
// The line before the player takes the terminal.
void print_playing(const picked_episode &p);
// A directory search's results as a numbered table.
void print_search_results(const std::vector<search_result> &results);
// 'vepod clean': "WHAT NAME (SIZE)", or "WHAT: NAME" for a negative size; then the sum of it.
void print_cleaned(const char *what, const std::string &name, int64_t bytes);
void print_clean_summary(bool dry_run, int considered, int removed, uint64_t freed,
                         bool older_than);
// The bundled walk ('vepod demo'): a step's heading, the documents, a value, the stream URL's
// answer and the fetches made.
void print_heading(int step, const std::string &title);
void print_demo_intro(const char *page, const char *rss, const char *atom);
void print_demo_value(const char *label, const std::string &value);
void print_demo_stream(yyjson_val *answer);
void print_demo_fetches(int fetches);
