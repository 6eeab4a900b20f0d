// The view: what the client shows of answers, state and failures. It only prints; what to show
// comes from the commands.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

#include "core/store.h"
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
