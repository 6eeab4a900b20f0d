// vepod: a command-line host of the podcast source library. It is what a media player would be:
// it supplies a transport, calls the exports and shows their answers.
//
// Most of the file is the command table and its help texts, kept together so that each command's
// options and prose read side by side.

#include <curl/curl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "commands/commands.h"
#include "vepod.h"

namespace {

constexpr const char *k_program_version = VEPOD_TOOL_VERSION;

// MARK: Command line

// What `vepod --help` and each command's help print around the option lists CLI11 writes. Every
// line fits 80 columns.
constexpr const char *k_program_usage = "usage: vepod [options] <command> [arguments]\n";
constexpr const char *k_program_prose =
    R"(A podcast client in the terminal, and a host of the podcast source library: it
fetches podcast feeds, or web pages that announce feeds, over HTTP(S), keeps
subscriptions and the episodes seen in a database, and downloads episodes.
)";
constexpr const char *k_program_footer =
    R"(Each command's options: 'vepod help COMMAND' or 'vepod COMMAND --help'.

Exit status: 0 success; 1 failure (unreadable file, invalid feed, other error);
2 usage error (bad command line, a URL that is not http(s)); 3 network failure
(no connection, time-out, oversized body, HTTP 401/403/429/5xx); 4 nothing found
(HTTP 404/410, no feeds or episodes, unknown feed or episode, no feed links);
5 partial (some URLs failed, each named on standard error; the others answered).
)";

enum option_bit : unsigned {
  o_json = 1u << 0,
  o_net = 1u << 1,
  o_feed = 1u << 2,
  o_episode = 1u << 3,
  o_entry = 1u << 4,
  o_base = 1u << 5,
  o_select = 1u << 6,    // --new and --limit
  o_choose = 1u << 7,    // the choice of subscriptions and episodes
  o_download = 1u << 8,  // --new, and where the files go
  o_unplayed = 1u << 9,
  o_jobs = 1u << 10,
  o_keep_new = 1u << 11,       // --new N: the newest episodes left new
  o_result = 1u << 12,         // --result N of the last search
  o_search = 1u << 13,         // --directory, --limit, --timeout
  o_mark = 1u << 14,           // --mark
  o_clean = 1u << 15,          // --older-than, --dry-run, --feed
  o_then_download = 1u << 16,  // update --download
};

struct command {
  const char *name;
  const char *alias;
  const char *summary;  // its line in the program's help
  const char *usage;
  const char *prose;
  int (*run)(const options &);
  unsigned allowed;
  const char *arguments;  // what the positional arguments are ("" for none)
  const char *group;      // the heading it is listed under in the program's help
};

constexpr const char *k_listener = "Commands";
constexpr const char *k_developer = "Tools for player developers";

constexpr command k_commands[] = {
    // For listeners, in the order they meet them.
    {"search", nullptr, "find podcasts by name in a podcast directory",
     "usage: vepod search [options] TERMS...\n",
     R"(Asks a podcast directory for podcasts matching TERMS and prints them
numbered: title, author, episodes (when the directory says), feed URL.
'vepod subscribe --result N' subscribes to result N of the last search. The
directory is the iTunes Search API ('vepod config search-url'), or the
Podcast Index ('vepod config podcastindex-url') when its key and secret are
set ('vepod config podcastindex-key KEY', 'vepod config podcastindex-secret
SECRET'); --directory chooses.
)",
     cmd_search, o_json | o_search, "TERMS", k_listener},
    {"subscribe", nullptr, "subscribe to feeds, or to the feeds a page announces",
     "usage: vepod subscribe [options] URL...\n       vepod subscribe [options] --result N\n",
     R"(Checks each URL as a player does (a feed with episodes, or a page that
announces feeds) and subscribes to the feed, or to every feed the page
announces; --result N takes result N of the last 'vepod search'. The newest
episode of each feed is left new (--new N: the newest N; --new 0: none), so
that 'vepod download' has it; the others are recorded as seen, and 'vepod
update' announces the ones that come later.
)",
     cmd_subscribe, o_net | o_keep_new | o_result, "URL", k_listener},
    {"update", nullptr, "fetch every subscription and show the new episodes",
     "usage: vepod update [options]\n",
     R"(Fetches every subscription, --jobs at once (at most 6 from one host), with a
conditional request when the feed was fetched before and none at all within
--max-age ('up to date (checked 2 h ago)'); records each one's episodes in the
order of the subscriptions and prints the ones new since the last update,
newest first, with the references download, played and show take (3.12). A
feed that moved permanently (HTTP 301/308), or that names its new URL and is
found there, keeps its subscription under the new URL. Each failure is named
with its subscription: '3 Harbor Lights: HTTP 404'. With --download, or with
'vepod config auto-download on', the new episodes are downloaded afterwards
as 'vepod download' takes them; without, nothing is downloaded.
)",
     cmd_update, o_net | o_jobs | o_then_download, "", k_listener},
    {"episodes", nullptr, "list the recorded episodes of one or every feed",
     "usage: vepod episodes [options] [N|URL]\n",
     R"(Lists the episodes recorded for a subscription (its number or URL), or for
all of them, newest first, from the database: no request is made. REF names
an episode for download, played and show (3.12: subscription 3, its episode
12; the numbers stay as they are when new episodes come). D marks the
downloaded ones, P the played ones. --json gives each episode's reference,
its played and downloaded marks and its file.
)",
     cmd_episodes, o_json | o_select, "N|URL", k_listener},
    {"show", nullptr, "an episode's details and show notes", "usage: vepod show [options] REF\n",
     R"(Shows an episode's details: title, feed, date, length, size, link, season and
episode, chapters, transcripts, people, and the show notes as text. REF is the
reference 'vepod episodes' prints (3.12). The details come from the feed,
fetched unless the stored copy is younger than --max-age.
)",
     cmd_show, o_net | o_json, "REF", k_listener},
    {"play", nullptr, "play an episode with the listener's player",
     "usage: vepod play [options] REF\n",
     R"(Plays an episode: its downloaded file when there is one, else its stream
URL. The player is 'vepod config player', a command line such as 'mpv
--no-video' (split as a shell would, never run by one), else the first found
of mpv, ffplay, cvlc and mpg123. The player has the terminal; vepod waits and
exits with the player's status. With --mark, or with 'vepod config
mark-played-after-play on', the episode is marked played when the player
exits with 0.
)",
     cmd_play, o_net | o_mark, "REF", k_listener},
    {"download", nullptr, "download episodes", "usage: vepod download [options] [REF...]\n",
     R"(Downloads episodes recorded by 'vepod update': the ones named by reference
(3.12, as 'vepod episodes' and 'vepod update' print them), --episode M of
--feed, every one not downloaded yet (--all), or by default the new ones, of
every subscription or of --feed. Files go to DIR/<feed title>/<date> <episode
title>.<ext> (DIR: -o, else 'vepod config download-dir', else the current
folder) through a .part file, renamed only when whole; a .part left by an
interrupted download (Ctrl-C exits 130) is resumed, by default too, new or
not. --jobs episodes download at once (at most 6 from one host), each with a
progress line on a terminal. Downloaded episodes are skipped and marked D in
'vepod episodes'; a failure names the episode by reference and title.
)",
     cmd_download, o_net | o_choose | o_download | o_jobs, "REF", k_listener},
    {"played", nullptr, "mark episodes played, or not played",
     "usage: vepod played [options] REF...\n       vepod played [options] --feed N --episode M\n"
     "       vepod played [options] [--feed N] --all\n",
     R"(Marks episodes as played, so that 'vepod episodes --new' and 'vepod download'
leave them out: the ones named by reference (3.12, as 'vepod episodes' prints
them), --episode M of --feed, or every one (--all) of every subscription or of
--feed. --unplayed takes the mark away. P marks the played ones in 'vepod
episodes'.
)",
     cmd_played, o_choose | o_unplayed, "REF", k_listener},
    {"clean", nullptr, "delete the downloaded files of played episodes",
     "usage: vepod clean [options]\n",
     R"(Deletes the downloaded files of played episodes, of every subscription or of
--feed, played more than --older-than DAYS ago when given; --dry-run prints
what would go. Only files vepod downloaded are touched, and a link in their
place is taken away, never followed. The episodes stay in the database,
marked not downloaded.
)",
     cmd_clean, o_clean, "", k_listener},
    {"subscriptions", nullptr, "list the subscriptions", "usage: vepod subscriptions\n",
     R"(Lists the subscriptions: number, title, URL, episodes recorded, date of the
last update and the last update's error.
)",
     cmd_subscriptions, o_json, "", k_listener},
    {"unsubscribe", nullptr, "drop subscriptions and their episodes",
     "usage: vepod unsubscribe N|URL...\n",
     R"(Drops subscriptions, named by their number in 'vepod subscriptions' or their
URL, with the episodes recorded for them. Downloaded files stay.
)",
     cmd_unsubscribe, 0, "N|URL", k_listener},
    {"import", nullptr, "subscribe to the feeds of an OPML file",
     "usage: vepod import [options] FILE.opml\n",
     R"(Subscribes to every feed of an OPML file (outlines with an xmlUrl, at any
depth). URLs already subscribed and ones that are not http(s) are named on
standard error and skipped; a file that cannot be read changes nothing. The
first 'vepod update' leaves the newest episode of each feed new (--new N: the
newest N; --new 0: none).
)",
     cmd_import, o_keep_new, "FILE", k_listener},
    {"export", nullptr, "write the subscriptions as OPML", "usage: vepod export [FILE]\n",
     R"(Writes the subscriptions as an OPML 2.0 document to FILE, or to standard
output; 'vepod import' reads it back.
)",
     cmd_export, 0, "FILE", k_listener},
    {"config", nullptr, "show or set the settings kept in the database",
     "usage: vepod config [KEY [VALUE]]\n",
     R"(Without arguments, prints every setting; with KEY, that one; with KEY and
VALUE, sets it ('' unsets it). Settings:
  download-dir      the folder 'vepod download' writes to when -o is not given
  auto-download     on: 'vepod update' downloads the new episodes (default off)
  player            the command line 'vepod play' runs, e.g. 'mpv --no-video'
  mark-played-after-play  on: 'vepod play' marks what it played (default off)
  search-url        the iTunes Search API (https://itunes.apple.com/search)
  podcastindex-url  the Podcast Index API (https://api.podcastindex.org)
  podcastindex-key, podcastindex-secret  the Podcast Index credentials
)",
     cmd_config, 0, "KEY VALUE", k_listener},
    // For the developers of players: the library's operations one by one.
    {"validate", nullptr, "check URLs as one source and print its description",
     "usage: vepod validate [options] URL...\n",
     R"(Checks feed or web-page URLs as one source, the way a player does when the user
saves it, and prints the source description the library answers: the settings'
members, "RuntimeType", the title of the last feed with episodes and, for a
source without one, a new "ID".
)",
     cmd_validate, o_json | o_net, "URL", k_developer},
    {"list", nullptr, "list the feeds, or with --feed the episodes of one",
     "usage: vepod list [options] URL...\n       vepod list [options] --feed FEED URL...\n",
     R"(Without --feed, lists the root folder: one folder per feed, the feeds that a
page announces included. With --feed, lists that feed's episodes, newest first:
date, length (h:mm:ss), size and title.
)",
     cmd_list, o_json | o_net | o_feed, "URL", k_developer},
    {"stream", "resolve", "resolve an episode's stream URL",
     "usage: vepod stream [options] URL...\n       vepod stream [options] --entry JSON [URL...]\n",
     R"(Resolves the stream URL of an episode of a feed listing and prints it, followed
by the request headers to send with it (one "Name: value" line each; none for
most feeds).
)",
     cmd_stream, o_json | o_net | o_feed | o_episode | o_entry, "URL", k_developer},
    {"parse", nullptr, "convert a feed file or standard input to the feed JSON",
     "usage: vepod parse [--pretty] [FILE]\n",
     R"(Reads an RSS 2.0, RDF or Atom document from FILE (standard input when FILE is
absent or "-") and prints the library's feed JSON: title, image, format and
every episode.
)",
     cmd_parse, o_json, "FILE", k_developer},
    {"discover", nullptr, "find the feed links an HTML page announces",
     "usage: vepod discover [options] FILE|URL\n",
     R"(Finds the feed links that an HTML page announces (<link rel="alternate"
type="application/rss+xml" ...> and the like) and resolves them. A URL is
fetched; a local FILE ("-" for standard input) is read.
)",
     cmd_discover, o_json | o_net | o_base, "FILE|URL", k_developer},
    {"stats", nullptr, "walk the sources and print the library's counters",
     "usage: vepod stats [options] [URL...]\n",
     R"(Lists the root folder of the given URLs and every feed folder in it, then
prints the library's counters: HTTP fetches, 304 answers and errors, cache
entries, hits and misses, feeds parsed, episodes listed and those with a
made-up id.
)",
     cmd_stats, o_json | o_net, "URL", k_developer},
    {"demo", nullptr, "the whole walk on bundled samples, without network", "usage: vepod demo\n",
     R"(Walks the sequence a media player goes through, on bundled sample documents
that the library's fake transport serves, without network: validate a source,
list its feeds, list a feed's episodes, resolve a stream URL and show the
statistics.
)",
     cmd_demo, 0, "", k_developer},
};

const command *find_command(std::string_view name) {
  for (const command &c : k_commands)
    if (name == c.name || (c.alias != nullptr && name == c.alias)) return &c;
  return nullptr;
}

// Edit distance, for naming the command or option a user probably meant.
size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); j++) row[j] = j;
  for (size_t i = 1; i <= a.size(); i++) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); j++) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1] ? 1 : 0)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "; did you mean 'x'?" for the nearest candidate close enough to be a slip, else "".
std::string nearest_hint(std::string_view typed, const std::vector<std::string> &candidates) {
  const std::string *best = nullptr;
  size_t best_distance = 0;
  for (const std::string &candidate : candidates) {
    size_t d = edit_distance(typed, candidate);
    if (best == nullptr || d < best_distance) {
      best = &candidate;
      best_distance = d;
    }
  }
  // A slip changes a third of the word at most, and always one letter: "lst", "--jsno".
  size_t allowed = std::max<size_t>(1, typed.size() / 3);
  if (best == nullptr || best_distance > allowed) return {};
  return "; did you mean '" + *best + "'?";
}

std::vector<std::string> command_names() {
  std::vector<std::string> names{"help"};
  for (const command &c : k_commands) {
    names.emplace_back(c.name);
    if (c.alias != nullptr) names.emplace_back(c.alias);
  }
  return names;
}

// The long names of the options an app accepts, with its parents' (they fall through).
std::vector<std::string> option_names(const CLI::App *app) {
  std::vector<std::string> names;
  for (; app != nullptr; app = app->get_parent())
    for (const CLI::Option *opt : app->get_options())
      for (const std::string &name : opt->get_lnames()) names.push_back("--" + name);
  return names;
}

// The program's and each command's help: fixed usage and prose around CLI11's option lists.
class help_formatter : public CLI::Formatter {
 public:
  help_formatter() { column_width(23); }

  std::string make_help(const CLI::App *app, std::string, CLI::AppFormatMode) const override {
    const command *c = app->get_parent() == nullptr ? nullptr : find_command(app->get_name());
    std::string text = c != nullptr ? c->usage : k_program_usage;
    text += '\n';
    text += c != nullptr ? c->prose : k_program_prose;
    if (c == nullptr) text += make_subcommands(app, CLI::AppFormatMode::Normal);
    std::string groups = make_groups(app, CLI::AppFormatMode::Normal);
    if (!groups.empty()) text += "\n" + groups;
    if (c == nullptr) text += std::string("\n") + k_program_footer;
    // CLI11 opens each group with an empty line of its own.
    for (size_t at; (at = text.find("\n\n\n")) != std::string::npos;) text.erase(at, 1);
    return text;
  }

  std::string make_option_name(const CLI::Option *opt, bool positional) const override {
    std::string name = CLI::Formatter::make_option_name(opt, positional);
    if (size_t comma = name.find(','); comma != std::string::npos) name.insert(comma + 1, " ");
    return name;
  }

  // The value's name alone: CLI11 would add its validators' descriptions.
  std::string make_option_opts(const CLI::Option *opt) const override {
    if (!opt->get_option_text().empty()) return " " + opt->get_option_text();
    return opt->get_type_size() == 0 ? std::string() : " " + opt->get_type_name();
  }
};

void add_command_options(CLI::App &sub, const command &c, options &o) {
  bool parse = std::string_view(c.name) == "parse";
  if (c.allowed & o_json) {
    sub.add_flag("--json", o.json, "print the library's JSON answer instead of a table");
    sub.add_flag_callback(
        "--pretty", [&o] { o.json = o.pretty = true; },
        parse ? "indent the JSON" : "print the JSON indented (implies --json)");
  }
  if (c.allowed & o_feed)
    sub.add_option("--feed", o.feed,
                   "a feed: its URL as the root folder lists it, or its\nnumber there (1: first)")
        ->type_name("FEED");
  if (c.allowed & o_episode)
    sub.add_option("--episode", o.episode,
                   "an episode: its number in the feed listing (default 1,\nthe newest) or its "
                   "\"id\"")
        ->type_name("EPISODE");
  if (c.allowed & o_entry)
    sub.add_option("--entry", o.entry,
                   "an entry as 'vepod list --json' prints it, instead of\n--feed and --episode")
        ->type_name("JSON");
  if (c.allowed & o_base)
    sub.add_option("--base", o.base, "the page's own URL, against which relative links\nresolve")
        ->type_name("URL");
  if (c.allowed & o_net) {
    const char *group = "Network options";
    sub.add_option("--offline", o.offline_specs,
                   "answer URL from the local FILE (repeatable); with any\n--offline, nothing is "
                   "fetched from the network")
        ->type_name("URL=FILE")
        ->allow_extra_args(false)
        ->group(group);
    sub.add_option("--timeout", o.timeout_text, "give up a request after SECONDS (default 30)")
        ->type_name("SECONDS")
        ->group(group);
    sub.add_option("--max-age", o.max_age_text,
                   "reuse a fetched answer for SECONDS (default 21600;\n0: fetch every time)")
        ->type_name("SECONDS")
        ->group(group);
  }
  if (c.allowed & o_select) {
    sub.add_flag(
        "--new", o.only_new,
        "only the episodes new since they were first seen, and\nneither played nor downloaded");
    sub.add_option("--limit", o.limit_text, "at most N episodes")->type_name("N");
  }
  const bool download = (c.allowed & o_download) != 0;
  if (c.allowed & o_choose) {
    sub.add_option("--feed", o.feed, "a subscription: its number or URL (default: all)")
        ->type_name("N|URL");
    sub.add_option("--episode", o.episode,
                   "an episode of --feed: its number M in the reference N.M\n'vepod episodes' "
                   "prints, or its id")
        ->type_name("M");
    if (download)
      sub.add_flag("--new", o.only_new, "every new episode, neither downloaded nor played");
    sub.add_flag("--all", o.all, download ? "every episode not downloaded yet" : "every episode");
  }
  if (download) {
    sub.add_option("-o,--output", o.out_dir,
                   "the folder for the feeds' folders (default: 'vepod\nconfig download-dir', "
                   "else .)")
        ->type_name("DIR");
    sub.add_option(
           "--max-size", o.max_size_text,
           "refuse files above this size (default 2G; k, M, G\ncount 1000, KiB, MiB, GiB 1024)")
        ->type_name("SIZE");
  }
  if (c.allowed & o_jobs)
    sub.add_option("--jobs", o.jobs_text,
                   download ? "download N episodes at once (default 3; at most 6\nfrom one host)"
                            : "fetch N feeds at once (default 8; at most 6 from one\nhost)")
        ->type_name("N")
        ->group("Network options");
  if (c.allowed & o_keep_new)
    sub.add_option("--new", o.keep_new_text,
                   "leave the newest N episodes of each feed new (default\n1; 0: none)")
        ->type_name("N");
  if (c.allowed & o_result)
    sub.add_option("--result", o.result_text, "result N of the last 'vepod search'")
        ->type_name("N");
  if (c.allowed & o_search) {
    sub.add_option("--directory", o.directory,
                   "itunes or podcastindex (default: podcastindex when\nits key is set)")
        ->type_name("NAME");
    sub.add_option("--limit", o.limit_text, "at most N results (default 20)")->type_name("N");
    sub.add_option("--timeout", o.timeout_text, "give up the request after SECONDS (default 30)")
        ->type_name("SECONDS");
  }
  if (c.allowed & o_mark)
    sub.add_flag("--mark", o.mark, "mark the episode played when the player exits with 0");
  if (c.allowed & o_clean) {
    sub.add_option("--feed", o.feed, "a subscription: its number or URL (default: all)")
        ->type_name("N|URL");
    sub.add_option("--older-than", o.older_than_text,
                   "only episodes played more than DAYS days ago")
        ->type_name("DAYS");
    sub.add_flag("--dry-run", o.dry_run, "print what would be deleted, delete nothing");
  }
  if (c.allowed & o_then_download)
    sub.add_flag("--download", o.download, "download the new episodes after the update");
  if (c.allowed & o_unplayed)
    sub.add_flag("--unplayed", o.unplayed, "take the played mark away instead");
  if (c.arguments[0] != '\0') sub.add_option("arguments", o.args)->type_name(c.arguments);
}

// "500M", "2G", "1024", "3MiB": a size with an optional k, M, G or T (powers of 1000, as sizes are
// shown), or KiB, MiB, GiB or TiB (powers of 1024); an optional "B" after the first kind. False
// for anything else, zero or a size that does not fit.
bool parse_size(std::string_view text, uint64_t &bytes) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') digits++;
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + digits, value);
  if (digits == 0 || ec != std::errc() || value == 0) return false;
  std::string unit(text.substr(digits));
  for (char &c : unit) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // As sizes are shown: k, M, G and T (kB, MB, ...) count 1000; KiB, MiB, ... count 1024.
  uint64_t base = 1000;
  if (unit.ends_with("ib")) {
    unit.resize(unit.size() - 2);
    base = 1024;
    if (unit.empty()) return false;
  } else if (unit.ends_with("b")) {
    unit.resize(unit.size() - 1);
  }
  static constexpr std::string_view k_units = "kmgt";
  uint64_t scale = 1;
  if (unit.size() == 1 && k_units.find(unit[0]) != std::string_view::npos)
    for (size_t i = 0; i <= k_units.find(unit[0]); i++) scale *= base;
  else if (!unit.empty())
    return false;
  if (value > UINT64_MAX / scale) return false;
  bytes = value * scale;
  return true;
}

// More transfers at once than this gain nothing for feeds and look like an attack to a server.
constexpr size_t k_max_jobs = 64;

// Converts the option values CLI11 collected as texts; false with `error` set.
bool check_values(options &o, std::string &error) {
  for (const std::string &route : o.offline_specs) {
    size_t eq = route.rfind('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == route.size()) {
      error = "--offline needs URL=FILE";
      return false;
    }
    o.offline.emplace_back(route.substr(0, eq), route.substr(eq + 1));
  }
  // A feed goes by its number or its URL; a number that can name none (0, -1, +2, beyond any
  // count) is an error here rather than a "not found" from a lookup by URL.
  if (o.feed.find_first_not_of("+-0123456789") == std::string::npos &&
      o.feed.find_first_of("0123456789") != std::string::npos) {
    size_t number = 0;
    if (!parse_count(o.feed, number)) {
      error = "--feed must be a positive number or a URL";
      return false;
    }
  }
  if (!o.timeout_text.empty()) {
    // Plain decimals only: strtod would also take "0x10", "1e2" and leading blanks.
    const std::string &v = o.timeout_text;
    const size_t dot = v.find('.');
    const bool decimal = v.find_first_not_of("0123456789.") == std::string::npos &&
                         v.find_first_of("0123456789") != std::string::npos &&
                         (dot == std::string::npos || v.find('.', dot + 1) == std::string::npos);
    char *end = nullptr;
    double seconds = decimal ? std::strtod(v.c_str(), &end) : 0;
    if (!(seconds > 0 && seconds <= 86400)) {
      error = "--timeout needs a number of seconds above 0, at most 86400";
      return false;
    }
    o.timeout_ms = std::max(1L, static_cast<long>(seconds * 1000));
  }
  if (!o.limit_text.empty()) {
    size_t limit = 0;
    if (!parse_count(o.limit_text, limit) || limit > INT64_MAX) {
      error = "--limit must be a positive number";
      return false;
    }
    o.limit = static_cast<int64_t>(limit);
  }
  if (!o.max_size_text.empty() && !parse_size(o.max_size_text, o.max_size)) {
    error =
        "--max-size must be a size such as 500M or 2G (k, M, G and T count 1000; KiB, MiB, "
        "GiB and TiB 1024)";
    return false;
  }
  if (!o.jobs_text.empty()) {
    size_t jobs = 0;
    if (!parse_count(o.jobs_text, jobs) || jobs > k_max_jobs) {
      error = "--jobs must be a whole number from 1 to " + std::to_string(k_max_jobs);
      return false;
    }
    o.jobs = static_cast<int>(jobs);
  }
  if (!o.keep_new_text.empty()) {
    size_t count = 0;
    if (o.keep_new_text != "0" && (!parse_count(o.keep_new_text, count) || count > INT32_MAX)) {
      error = "--new must be a whole number of episodes (0: none)";
      return false;
    }
    o.keep_new = static_cast<int64_t>(count);
  }
  if (!o.result_text.empty()) {
    size_t number = 0;
    if (!parse_count(o.result_text, number) || number > INT32_MAX) {
      error = "--result must be a positive number, as 'vepod search' prints it";
      return false;
    }
    o.result = static_cast<int64_t>(number);
  }
  if (!o.older_than_text.empty()) {
    size_t days = 0;
    if (o.older_than_text != "0" && (!parse_count(o.older_than_text, days) || days > 100000)) {
      error = "--older-than must be a whole number of days";
      return false;
    }
    o.older_than_days = static_cast<int64_t>(days);
  }
  if (!o.max_age_text.empty()) {
    int32_t seconds = 0;
    const std::string &v = o.max_age_text;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
    if (ec != std::errc() || end != v.data() + v.size() || seconds < 0) {
      error = "--max-age needs a whole number of seconds, from 0 (fetch every time) to " +
              std::to_string(INT32_MAX);
      return false;
    }
    o.max_age = seconds;
  }
  return true;
}

int unknown_command(const std::string &word) {
  return report("", k_exit_usage,
                "unknown command '" + word + "'" + nearest_hint(word, command_names()) +
                    " (see 'vepod --help')");
}

// Words what CLI11 left over: an unknown command or option, or an option of another command.
int report_leftover(const CLI::App &app, const CLI::App *chosen, const options &o,
                    const std::string &word) {
  if (word.size() < 2 || word[0] != '-') {
    if (chosen == nullptr) return unknown_command(word);
    return usage_error(o, "unexpected argument '" + word + "'");
  }
  std::string name = word.substr(0, word.find('='));
  if (chosen == nullptr)
    return report("", k_exit_usage,
                  "unknown option '" + name + "'" + nearest_hint(name, option_names(&app)) +
                      " (see 'vepod --help')");
  std::vector<std::string> known = option_names(chosen);
  bool before_command =
      std::find(app.remaining().begin(), app.remaining().end(), word) != app.remaining().end();
  if (before_command && std::find(known.begin(), known.end(), name) != known.end())
    return usage_error(
        o, name + " goes after the command: 'vepod " + o.command + " " + name + " ...'");
  for (const CLI::App *sub : app.get_subcommands({}))
    for (const std::string &other : option_names(sub))
      if (other == name) return usage_error(o, name + " does not apply to this command");
  return usage_error(o, "unknown option '" + name + "'" + nearest_hint(name, known));
}

int run(int argc, char **argv) {
  options o;
  CLI::App app{"", "vepod"};
  app.formatter(std::make_shared<help_formatter>());
  app.set_help_flag("-h,--help", "show this help, or a command's help after the command");
  bool version = false;
  app.add_flag("--version", version, "print the program's and the library's versions");
  app.add_option(
         "--db", o.db,
         "the database (default $XDG_DATA_HOME/vepod/vepod.db,\nor ~/.local/share/vepod/vepod.db)")
      ->type_name("PATH");
  app.add_flag("--utc", o.utc, "dates in UTC instead of local time");
  app.add_flag("--wide", o.wide, "never cut table cells to the terminal's width");
  // Unknown words are worded below, naming the nearest known one; options given before the
  // command reach it, and the program's options may follow it.
  app.allow_extras();
  app.fallthrough();
  app.require_subcommand(0, 1);
  for (const command &c : k_commands) {
    CLI::App *sub = app.add_subcommand(c.name, c.summary)->group(c.group);
    if (c.alias != nullptr) sub->alias(c.alias);
    add_command_options(*sub, c, o);
  }
  std::string topic;
  CLI::App *help = app.add_subcommand("help", "a command's help")->group("");
  help->add_option("command", topic);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &) {
    print_document(app.help());
    return k_exit_ok;
  } catch (const CLI::ArgumentMismatch &e) {
    // An option last on the line without its value: CLI11 says "--limit: 1 required N missing".
    const std::string what = e.what();
    const size_t colon = what.find(": ");
    if (colon == std::string::npos || !what.ends_with(" missing"))
      return report("", k_exit_usage, what + " (see 'vepod --help')");
    const std::string name = what.substr(0, colon);
    for (const command &c : k_commands)
      if (app.got_subcommand(c.name)) o.command = c.name;
    if (o.command.empty())
      return report("", k_exit_usage, name + " needs a value (see 'vepod --help')");
    return usage_error(o, name + " needs a value");
  } catch (const CLI::ParseError &e) {
    return report("", k_exit_usage, std::string(e.what()) + " (see 'vepod --help')");
  }
  const CLI::App *chosen = nullptr;
  for (const command &c : k_commands)
    if (app.got_subcommand(c.name)) {
      chosen = app.get_subcommand(c.name);
      o.command = c.name;
    }
  // An empty value ("--limit ''") would read as no option at all: say so instead.
  if (chosen != nullptr)
    for (const CLI::Option *opt : chosen->get_options())
      if (opt->nonpositional() && opt->get_type_size() != 0)
        for (const std::string &value : opt->results())
          if (value.empty()) return usage_error(o, opt->get_name() + " needs a value");
  std::vector<std::string> leftover = app.remaining();
  if (chosen != nullptr)
    for (const std::string &word : chosen->remaining()) leftover.push_back(word);
  if (!leftover.empty()) return report_leftover(app, chosen, o, leftover.front());
  if (version) {
    print_version(k_program_version, vepod_version());
    return k_exit_ok;
  }
  if (help->parsed()) {
    if (topic.empty()) {
      // The program's help, not that of the help command CLI11 would hand over to.
      app.clear();
      print_document(app.help());
      return k_exit_ok;
    }
    const command *c = find_command(topic);
    if (c == nullptr) return unknown_command(topic);
    print_document(app.get_subcommand(c->name)->help());
    return k_exit_ok;
  }
  if (chosen == nullptr) return report("", k_exit_usage, "missing command (see 'vepod --help')");
  std::string error;
  if (!check_values(o, error)) return usage_error(o, error);
  set_display({o.utc, o.wide});
  try {
    return find_command(o.command)->run(o);
  } catch (const store_error &e) {
    return report(o.command, k_exit_failure, e.what());
  } catch (const std::bad_alloc &) {
    return report(o.command, k_exit_failure, "out of memory");
  } catch (const std::exception &e) {
    // A fault of vepod's own: said, and ended like any failure, never with an abort.
    return report("", k_exit_failure, std::string("internal error: ") + e.what());
  }
}

}  // namespace

int main(int argc, char **argv) {
#if defined(__GLIBC__)
  // Feed bodies, answers and show notes run to megabytes. Blocks that large get mappings of their
  // own, so that freeing one gives its memory back: after the first such free glibc would raise
  // this bound and keep the later ones in the heap, and a command's peak would add them up.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
    return report("", k_exit_failure, "cannot initialise libcurl");
  int rc = run(argc, argv);
  curl_global_cleanup();
  // Output lost to a full disk or a closed pipe is a failure, not a success without output.
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    return report("", k_exit_failure,
                  std::string("cannot write standard output") +
                      (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string()));
  return rc;
}
