// The commands: options parsed in main.cpp, each `cmd_*` calling the core and printing through
// the view, and the one mapping from a failure to an exit code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "core/files.h"
#include "core/library.h"
#include "core/player.h"
#include "core/session.h"
#include "core/store.h"
#include "core/url.h"
#include "view/print.h"

// Exit codes, documented in the program's help and the README.
enum exit_code : int {
  k_exit_ok = 0,
  k_exit_failure = 1,  // unreadable file, invalid feed, any other error
  k_exit_usage = 2,    // bad command line or a URL the library refuses
  k_exit_network = 3,  // no connection, time-out, oversized body, HTTP 401/403/429/5xx
  k_exit_nothing = 4,  // HTTP 404/410 and other refusals, no feeds or episodes, unknown feed or
                       // entry, no feed links
  k_exit_partial = 5,  // some URLs failed, the others answered
  k_exit_interrupted = 130,  // Ctrl-C during a download
};

// The exit code a failure calls for, whichever command met it: an HTTP status gives the code the
// library gives it, so that a status exits alike from every command.
int exit_for(const failure &f);

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

// The preferences the core works by, as the options set them.
preferences preferences_of(const options &o);

// The state database the options name.
std::unique_ptr<store> open_store(const options &o, store::access mode = store::access::write);

// Prints "vepod: <command>: <message>" on standard error and returns `exit`.
int report(std::string_view command, int exit, std::string_view message);
// Reports a failure (its text) and returns the exit code it calls for.
int fail(std::string_view command, const failure &f);
// Writes a document built for --json and releases it; 0, or the exit code after reporting.
int print_built_json(const options &o, yyjson_mut_doc *doc);

// After an operation on `urls` as one source, one line per URL that failed (`failed`, as the
// library named them); the exit code is the operation's `problem`'s when it failed,
// k_exit_partial when it answered but some URLs failed, else 0.
int report_sources(std::string_view command, session &net, const failure &problem,
                   const std::vector<source_failure> &failed);
// The same for an answer of validate or of the root listing.
int report_sources(std::string_view command, session &net, const answer &a);

int usage_error(const options &o, const std::string &message);
// A whole positive decimal number.
bool parse_count(std::string_view text, size_t &value);

// The state, the transport and the URLs a fetching command works on. The store outlives the
// transport that writes bodies into it.
struct context {
  std::unique_ptr<store> db;
  session net;
  std::vector<std::string> urls;
  std::vector<subscription> subscribed;

  // Given URLs, or with none and `subscriptions_default`, every subscription's. The database
  // keeps fetched bodies unless --offline serves them. 0, or the exit code after reporting.
  int open(const options &o, bool subscriptions_default, bool need_store = false,
           bool library_max_age = true);
};

// Opens `net` as the options say; 0, or the exit code after reporting.
int open_session(const options &o, session &net, store *bodies, bool library_max_age = true);

// The episodes `download`, `played` and `show` name: references as 'vepod episodes' prints them
// ("3.12": subscription 3, its episode 12), or --feed N with --episode M or --all, or --new or
// --all for every subscription. With none of them, `default_new` takes the new episodes, else it
// is a usage error saying how to choose. Opens the database; 0, or the exit code after reporting.
int choose_episodes(const options &o, std::unique_ptr<store> &db, bool default_new,
                    std::vector<picked_episode> &chosen, store::access mode = store::access::write);

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

// Downloads `chosen` as 'vepod download' does, printing each result; the library's transport must
// be open. The exit code for the run.
int download_chosen(const options &o, store &db, const std::vector<picked_episode> &chosen);
// What 'vepod download' takes without a choice: the new episodes, and the ones whose download was
// cut short, of every subscription.
std::vector<picked_episode> default_downloads(store &db);

// The bundled walk through validate, list, stream URL and statistics on the fake transport.
int run_demo();
