// Shared pieces of the command-line host: exit codes, calls into the library, printers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

#include "core/http_transport.h"
#include "core/store.h"
#include "core/url.h"
#include "view/format.h"

// Exit codes, documented in the program's help and the README.
enum exit_code : int {
  k_exit_ok = 0,
  k_exit_failure = 1,  // unreadable file, invalid feed, any other error
  k_exit_usage = 2,    // bad command line or a URL the library refuses
  k_exit_network = 3,  // no connection, time-out, oversized body, HTTP 401/403/429/5xx
  k_exit_nothing = 4,  // HTTP 404/410, no feeds or episodes, unknown feed or entry, no feed links
  k_exit_partial = 5,  // some URLs failed, the others answered
  k_exit_interrupted = 130,  // Ctrl-C during a download
};

// Everything the command line set; CLI11 fills it.
struct options {
  std::string command;
  std::vector<std::string> args;
  bool json = false;
  bool pretty = false;
  std::vector<std::pair<std::string, std::string>> offline;  // URL, file
  long timeout_ms = 30000;
  int32_t max_age = -1;  // -1: the library's default
  std::string feed, episode, entry, base;
  std::string db;  // "" : the default place
  bool utc = false, wide = false;
  bool only_new = false, all = false, unplayed = false;
  int64_t limit = -1;
  int jobs = 8;                       // feeds fetched at once by update
  std::string out_dir;                // "": the configured download folder, else the current one
  uint64_t max_size = 2'000'000'000;  // 2G, as sizes are shown
  // Option values as given, checked once parsing is done so that each gets its own message.
  std::vector<std::string> offline_specs;
  std::string timeout_text, max_age_text, jobs_text, limit_text, max_size_text;
  // subscribe and import: the newest episodes of each feed left new (--new N).
  std::string keep_new_text;
  int64_t keep_new = 1;
  std::string result_text;  // subscribe --result N: a result of the last search
  int64_t result = 0;
  std::string directory;        // search --directory
  bool mark = false;            // play --mark
  bool dry_run = false;         // clean --dry-run
  std::string older_than_text;  // clean --older-than DAYS
  int64_t older_than_days = -1;
  bool download = false;  // update --download
};

// Reads a whole file, or standard input for "-", of at most `max_bytes` (by default a little
// above the library's 16 MiB for documents). On failure `error` says why.
bool read_file(const std::string &path, std::string &data, std::string &error,
               size_t max_bytes = http_transport::k_max_body);

// Writes `data` as the whole of `path`, the way every file vepod writes is written. A regular
// file, or a path where nothing is, gets a temporary file in the same folder renamed over it, so
// that a failure leaves the old file whole; anything else (a device, a pipe) is written in place,
// never replaced. A link is resolved first: it keeps pointing where it did. On failure `error`
// says why.
bool write_whole_file(const std::string &path, std::string_view data, std::string &error);

// The state database the options name.
std::unique_ptr<store> open_store(const options &o, store::access mode = store::access::write);

// The transport every fetching command runs on: libcurl, or the fake transport for --offline.
class session {
 public:
  ~session();
  // Returns 0, or the exit code after reporting the failure. `bodies` may be null. --max-age
  // applies to the stored bodies, and to the library's response cache unless `library_max_age`
  // is false: commands that list each feed twice in a row keep the library's default then.
  int open(const options &o, store *bodies, bool library_max_age = true);
  // Fetches a page for the host itself (discovery), by the same rules as the library's fetches.
  int fetch(const options &o, const std::string &url, std::string &page);
  // For each URL that failed in this session, "URL: cause" (URL redacted).
  std::vector<std::string> failures(const std::vector<std::string> &urls);
  // Why `url` failed in this session ("" when it worked or was not fetched).
  std::string cause(const std::string &url);
  // Where permanent redirects from `url` ended, or "".
  std::string moved_to(const std::string &url);
  // Fetches `urls` at once, `jobs` at a time, ahead of the library's calls for them, and calls
  // `ready(i)` in their order as each is done (see http_transport::prefetch); with --offline
  // there is nothing to fetch and `ready` runs for each at once.
  void prefetch(const std::vector<std::string> &urls, int jobs,
                const std::function<void(size_t)> &ready);
  // Drops what the session keeps of `url`'s fetch (what prefetch kept, the last outcome), its
  // body first of all.
  void forget(const std::string &url);
  // What the transport got for `url`; false with --offline or when it was not fetched.
  bool outcome(const std::string &url, fetch_outcome &out);

 private:
  std::unique_ptr<http_transport> http_;
  std::map<std::string, std::string> offline_;
};

// The exit code for a negative code of the library's operations.
int exit_for(int code);
// The library's code for an HTTP status that is not 2xx.
int code_for_status(int status);

// Prints "vepod: <command>: <message>" as one line on standard error and returns `exit`.
int report(std::string_view command, int exit, std::string_view message);

// After an operation on `urls` as one source, one line per URL that failed; the exit code is the
// operation's when it failed, k_exit_partial when it answered but some URLs failed, else 0.
struct answer;
int report_sources(std::string_view command, session &net, const std::vector<std::string> &urls,
                   const answer &result);

// The answer of one catalogue operation: its code and, on success, the JSON text.
struct answer {
  int code = 0;
  std::string json;
  std::string error;  // the library's last error text on failure
};
// Reports a failed answer (its error text, the exit code for its code) and returns that exit code.
int report_failure(std::string_view command, const answer &failed);

answer call_validate(const std::string &settings);
answer call_list(const std::string &settings, const std::string &path);
answer call_stream_url(const char *settings, const std::string &entry);

// A settings document whose "URL" holds the given URLs, one per line.
std::string make_settings(const std::vector<std::string> &urls);

struct doc_deleter {
  void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
using json_doc = std::unique_ptr<yyjson_doc, doc_deleter>;
json_doc read_json(std::string_view text);
// Reads `text` in place (no copy of it is made): the document borrows `text`, which must outlive
// it and is changed by the reading.
json_doc read_json_in_place(std::string &text);

// A string member as the library wrote it; "" when absent or not a string. Show it through
// terminal_text.
std::string text_member(yyjson_val *object, const char *key);

// A JSON value as compact text ("" for NULL).
std::string write_json(yyjson_val *value);

// Prints a JSON text as it is, or indented with two spaces; either way through json_text, so that
// no control character in a string reaches a terminal raw.
void print_json(std::FILE *out, std::string_view json, bool pretty);

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

// A title as people write it: the library's U+2215 in names turned back into '/'.
std::string real_title(std::string_view text);

// A URL as every printer shows it: redacted, then through terminal_text.
std::string shown_url(std::string_view url);

// Readable forms of the library's answers.
void print_source(std::FILE *out, yyjson_val *description);
void print_feeds(std::FILE *out, yyjson_val *root_folder);
void print_episodes(std::FILE *out, yyjson_val *feed_folder);
void print_links(std::FILE *out, yyjson_val *links);
void print_stats(std::FILE *out, yyjson_val *stats);
// Readable forms of the program's state.
void print_subscriptions(std::FILE *out, const std::vector<subscription> &all);
void print_stored_episodes(std::FILE *out, const std::vector<episode> &episodes, bool with_feed);

int usage_error(const options &o, const std::string &message);
// A whole positive decimal number.
bool parse_count(std::string_view text, size_t &value);
// Seconds since the epoch.
int64_t now_s();

// The state, the transport and the URLs a fetching command works on. The store outlives the
// transport that writes bodies into it.
struct context {
  std::unique_ptr<store> db;
  session net;
  std::vector<std::string> urls;
  std::vector<subscription> subscribed;

  // Given URLs, or with none and `subscriptions_default`, every subscription's. The database
  // keeps fetched bodies unless --offline serves them.
  int open(const options &o, bool subscriptions_default, bool need_store = false,
           bool library_max_age = true);
};

// An episode a command chose, with its subscription.
struct picked_episode {
  subscription feed;
  episode item;
};

// The episodes `download`, `played` and `show` name: references as 'vepod episodes' prints them
// ("3.12": subscription 3, its episode 12), or --feed N with --episode M or --all, or --new or
// --all for every subscription. With none of them, `default_new` takes the new episodes, else it
// is a usage error saying how to choose. Opens the database; 0, or the exit code after reporting.
int choose_episodes(const options &o, std::unique_ptr<store> &db, bool default_new,
                    std::vector<picked_episode> &chosen, store::access mode = store::access::write);

// "3.12" for an episode: its subscription's number and its own number in the feed.
std::string episode_ref(const episode &e);

int cmd_validate(const options &o);
int cmd_list(const options &o);
int cmd_stream(const options &o);
int cmd_parse(const options &o);
int cmd_discover(const options &o);
int cmd_stats(const options &o);
int cmd_demo(const options &o);
int cmd_subscribe(const options &o);
int cmd_unsubscribe(const options &o);
int cmd_subscriptions(const options &o);
int cmd_update(const options &o);
int cmd_episodes(const options &o);
int cmd_import(const options &o);
int cmd_export(const options &o);
int cmd_download(const options &o);
int cmd_played(const options &o);
int cmd_config(const options &o);
int cmd_show(const options &o);
int cmd_search(const options &o);
int cmd_play(const options &o);
int cmd_clean(const options &o);

// A command line split into words as a shell would (quotes, backslashes, $VARIABLES, ~), without
// running anything: command substitution and unquoted | & ; < > are refused. False with `error`
// saying why.
bool split_command_line(const std::string &text, std::vector<std::string> &words,
                        std::string &error);

// Downloads `chosen` as 'vepod download' does, printing each result; the library's transport must
// be open. The exit code for the run.
int download_chosen(const options &o, store &db, const std::vector<picked_episode> &chosen);
// What 'vepod download' takes without a choice: the new episodes, and the ones whose download was
// cut short, of every subscription.
std::vector<picked_episode> default_downloads(store &db);

// The bundled walk through validate, list, stream URL and statistics on the fake transport.
int run_demo();
