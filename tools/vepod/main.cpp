// vepod: a command-line host of the podcast source library. It is what a media player would be:
// it supplies a transport, calls the exports and shows their answers.

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli.h"
#include "http_transport.h"
#include "vepod.h"

namespace {

constexpr const char *k_program_version = VEPOD_TOOL_VERSION;
// Local documents above this are refused before reading on; the library stops at 16 MiB anyway.
constexpr size_t k_max_file = http_transport::k_max_body;

struct options {
  std::string command;
  std::vector<std::string> args;
  bool json = false;
  bool pretty = false;
  std::vector<std::pair<std::string, std::string>> offline;  // URL, file
  long timeout_ms = 30000;
  int32_t max_age = -1;  // -1: the library's default
  std::string feed, episode, entry, base;
  // Option values as given, checked once parsing is done so that each gets its own message.
  std::vector<std::string> offline_specs;
  std::string timeout_text, max_age_text;
};

// MARK: Reading files and URLs

bool is_http_url(std::string_view text) {
  auto starts = [text](std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); i++)
      if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
  };
  return starts("http://") || starts("https://");
}

// Reads a whole file, or standard input for "-". On failure `error` says why.
bool read_file(const std::string &path, std::string &data, std::string &error) {
  bool use_stdin = path == "-";
  std::FILE *file = use_stdin ? stdin : std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  data.clear();
  char chunk[65536];
  size_t n;
  errno = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    if (data.size() + n > k_max_file) {
      error = path + ": larger than 17 MiB";
      break;
    }
    data.append(chunk, n);
  }
  bool ok = error.empty() && !std::ferror(file);
  if (error.empty() && !ok)
    error = path + ": " + (errno != 0 ? std::strerror(errno) : "read error");
  if (!use_stdin) std::fclose(file);
  return ok;
}

// The transport every fetching command runs on: libcurl, or the fake transport for --offline.
class session {
 public:
  ~session() {
    vepod_set_io(nullptr);
    if (!offline_.empty()) vepod_fake_reset();
  }

  // Returns 0, or the exit code after reporting the failure.
  int open(const options &o) {
    if (o.max_age >= 0) vepod_cache_set_max_age(o.max_age);
    if (o.offline.empty()) {
      http_options http;
      http.timeout_ms = o.timeout_ms;
      http.connect_timeout_ms = std::min(o.timeout_ms, http.connect_timeout_ms);
      http.user_agent = std::string("vepod/") + k_program_version;
      http_ = std::make_unique<http_transport>(std::move(http));
      vepod_set_io(http_->io());
      return k_exit_ok;
    }
    for (const auto &[url, path] : o.offline) {
      std::string data, error;
      if (!read_file(path, data, error)) return report(o.command, k_exit_failure, error);
      if (vepod_fake_set(url.c_str(), 200, data.c_str()) != 0)
        return report(o.command, k_exit_failure, "out of memory");
      offline_[url] = std::move(data);
    }
    vepod_use_fake();
    return k_exit_ok;
  }

  // Fetches a page for the host itself (discovery), by the same rules as the library's fetches.
  int fetch(const options &o, const std::string &url, std::string &page) {
    if (http_ == nullptr) {
      auto found = offline_.find(url);
      if (found == offline_.end())
        return report(o.command, k_exit_network, "no --offline file for " + url);
      page = found->second;
      return k_exit_ok;
    }
    const tervala_io *io = http_->io();
    char *body = nullptr, *error = nullptr;
    int status = 0;
    if (io->get(io->ctx, url.c_str(), &body, &status, &error) != 0) {
      std::string message = std::string("transport failure for ") + url + ": " +
                            (error != nullptr ? error : "(no message)");
      io->free(io->ctx, error);
      return report(o.command, k_exit_network, message);
    }
    if (body != nullptr) page = body;
    io->free(io->ctx, body);
    if (status >= 200 && status <= 299) return k_exit_ok;
    int code = status == 404 || status == 410                    ? -2
               : status == 401 || status == 403 || status == 429 ? -1
               : status >= 500                                   ? -4
                                                                 : -5;
    return report(o.command, exit_for(code), "HTTP " + std::to_string(status) + " from " + url);
  }

 private:
  std::unique_ptr<http_transport> http_;
  std::map<std::string, std::string> offline_;
};

// MARK: Picking feeds and episodes

bool parse_count(std::string_view text, size_t &value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value > 0;
}

// The folder path of a feed: a URL as given, or the n-th folder of the root listing.
int pick_feed(const options &o, const std::string &settings, std::string &path) {
  size_t number = 1;
  if (!o.feed.empty() && !parse_count(o.feed, number)) {
    path = o.feed;
    return k_exit_ok;
  }
  answer root = call_list(settings, "");
  if (root.code != 0) return report_failure(o.command, root);
  json_doc doc = read_json(root.json);
  yyjson_val *folders = yyjson_doc_get_root(doc.get());
  yyjson_val *folder = yyjson_arr_get(folders, number - 1);
  if (folder == nullptr)
    return report(o.command, k_exit_nothing,
                  "no feed number " + std::to_string(number) + ": the root folder lists " +
                      std::to_string(yyjson_arr_size(folders)));
  path = text_member(folder, "path");
  return k_exit_ok;
}

// The entry of a feed listing chosen by its number or its id, as a JSON object text.
int pick_episode(const options &o, const std::string &settings, const std::string &path,
                 std::string &entry) {
  answer folder = call_list(settings, path);
  if (folder.code != 0) return report_failure(o.command, folder);
  json_doc doc = read_json(folder.json);
  yyjson_val *entries = yyjson_doc_get_root(doc.get());
  size_t number = 1;
  yyjson_val *chosen = nullptr;
  if (o.episode.empty() || parse_count(o.episode, number)) {
    chosen = yyjson_arr_get(entries, number - 1);
  } else {
    size_t index, max;
    yyjson_val *candidate;
    yyjson_arr_foreach(entries, index, max, candidate) {
      if (chosen == nullptr &&
          yyjson_equals_str(yyjson_obj_get(candidate, "id"), o.episode.c_str()))
        chosen = candidate;
    }
  }
  if (chosen == nullptr)
    return report(o.command, k_exit_nothing,
                  "no episode " + (o.episode.empty() ? std::string("1") : o.episode) + " in " +
                      path + " (" + std::to_string(yyjson_arr_size(entries)) + " listed)");
  entry = write_json(chosen);
  return k_exit_ok;
}

int show(const options &o, const std::string &json, void (*printer)(std::FILE *, yyjson_val *)) {
  if (o.json) {
    print_json(stdout, json, o.pretty);
  } else {
    json_doc doc = read_json(json);
    printer(stdout, yyjson_doc_get_root(doc.get()));
  }
  return k_exit_ok;
}

int usage_error(const options &o, const std::string &message) {
  return report(o.command, k_exit_usage, message + " (see 'vepod " + o.command + " --help')");
}

// MARK: Commands

int cmd_validate(const options &o) {
  if (o.args.empty()) return usage_error(o, "needs at least one URL");
  session net;
  if (int rc = net.open(o)) return rc;
  answer validated = call_validate(make_settings(o.args));
  if (validated.code != 0) return report_failure(o.command, validated);
  return show(o, validated.json, print_source);
}

int cmd_list(const options &o) {
  if (o.args.empty()) return usage_error(o, "needs at least one URL");
  session net;
  if (int rc = net.open(o)) return rc;
  const std::string settings = make_settings(o.args);
  if (o.feed.empty()) {
    answer root = call_list(settings, "");
    if (root.code != 0) return report_failure(o.command, root);
    return show(o, root.json, print_feeds);
  }
  std::string path;
  if (int rc = pick_feed(o, settings, path)) return rc;
  answer folder = call_list(settings, path);
  if (folder.code != 0) return report_failure(o.command, folder);
  if (folder.json != "[]") return show(o, folder.json, print_episodes);
  if (o.json) print_json(stdout, folder.json, o.pretty);
  return report(o.command, k_exit_nothing, "no episodes in " + path);
}

int cmd_stream(const options &o) {
  if (o.args.empty() && o.entry.empty()) return usage_error(o, "needs a URL or --entry");
  if (!o.entry.empty() && (!o.feed.empty() || !o.episode.empty()))
    return usage_error(o, "--entry replaces --feed and --episode");
  session net;
  if (int rc = net.open(o)) return rc;
  const std::string settings = o.args.empty() ? std::string() : make_settings(o.args);
  std::string entry = o.entry;
  if (entry.empty()) {
    std::string path;
    if (int rc = pick_feed(o, settings, path)) return rc;
    if (int rc = pick_episode(o, settings, path, entry)) return rc;
  }
  answer stream = call_stream_url(o.args.empty() ? nullptr : settings.c_str(), entry);
  if (stream.code != 0) return report_failure(o.command, stream);
  if (o.json) {
    print_json(stdout, stream.json, o.pretty);
    return k_exit_ok;
  }
  // The URL alone on the first line, so that scripts can take it; then one header a line.
  json_doc doc = read_json(stream.json);
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  std::printf("%s\n", text_member(root, "url").c_str());
  yyjson_val *key;
  yyjson_obj_iter it = yyjson_obj_iter_with(yyjson_obj_get(root, "headers"));
  while ((key = yyjson_obj_iter_next(&it)))
    std::printf("%s: %s\n", yyjson_get_str(key),
                text_member(yyjson_obj_get(root, "headers"), yyjson_get_str(key)).c_str());
  return k_exit_ok;
}

int cmd_parse(const options &o) {
  if (o.args.size() > 1) return usage_error(o, "takes one FILE at most");
  std::string data, error;
  if (!read_file(o.args.empty() ? "-" : o.args[0], data, error))
    return report(o.command, k_exit_failure, error);
  char *json = nullptr;
  char message[512];
  if (vepod_parse_feed(data.data(), data.size(), &json, message, sizeof message) != 0)
    return report(o.command, k_exit_failure, message);
  print_json(stdout, json, o.pretty);
  std::free(json);
  return k_exit_ok;
}

int cmd_discover(const options &o) {
  if (o.args.size() != 1) return usage_error(o, "takes one FILE or URL");
  const std::string &target = o.args[0];
  std::string page, page_url = o.base;
  if (is_http_url(target)) {
    session net;
    if (int rc = net.open(o)) return rc;
    if (int rc = net.fetch(o, target, page)) return rc;
    if (page_url.empty()) page_url = target;
  } else {
    std::string error;
    if (!read_file(target, page, error)) return report(o.command, k_exit_failure, error);
  }
  char *json = nullptr;
  char message[512];
  if (vepod_discover_feeds(page.data(), page.size(), page_url.empty() ? nullptr : page_url.c_str(),
                           &json, message, sizeof message) != 0)
    return report(o.command, k_exit_failure, message);
  std::string links = json;
  std::free(json);
  if (links != "[]") return show(o, links, print_links);
  if (o.json) print_json(stdout, links, o.pretty);
  return report(o.command, k_exit_nothing, "no feed links in " + target);
}

int cmd_stats(const options &o) {
  session net;
  if (int rc = net.open(o)) return rc;
  int result = k_exit_ok;
  if (!o.args.empty()) {
    const std::string settings = make_settings(o.args);
    answer root = call_list(settings, "");
    if (root.code != 0) result = report_failure(o.command, root);
    json_doc doc = read_json(root.json);
    size_t index, max;
    yyjson_val *folder;
    yyjson_arr_foreach(yyjson_doc_get_root(doc.get()), index, max, folder) {
      answer episodes = call_list(settings, text_member(folder, "path"));
      if (episodes.code != 0 && result == k_exit_ok) result = report_failure(o.command, episodes);
    }
  }
  show(o, vepod_stats_json(), print_stats);
  return result;
}

int cmd_demo(const options &o) {
  if (!o.args.empty()) return usage_error(o, "takes no arguments");
  return run_demo();
}

// MARK: Command line

// What `vepod --help` and each command's help print around the option lists CLI11 writes. Every
// line fits 80 columns.
constexpr const char *k_program_usage = "usage: vepod [options] <command> [arguments]\n";
constexpr const char *k_program_prose =
    R"(A command-line host of the podcast source library: it fetches podcast feeds, or
web pages that announce feeds, over HTTP(S) and shows what a media player sees.
)";
constexpr const char *k_program_footer =
    R"(Each command's options: 'vepod COMMAND --help'.

Exit status: 0 success; 1 failure (unreadable file, invalid feed, other error);
2 usage error (bad command line, a URL that is not http(s)); 3 network failure
(no connection, time-out, oversized body, HTTP 401/403/429/5xx); 4 nothing found
(HTTP 404/410, no feeds or episodes, unknown feed or episode, no feed links).
)";

enum option_bit : unsigned {
  o_json = 1u << 0,
  o_net = 1u << 1,
  o_feed = 1u << 2,
  o_episode = 1u << 3,
  o_entry = 1u << 4,
  o_base = 1u << 5,
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
};

constexpr command k_commands[] = {
    {"validate", nullptr, "check URLs as one source and print its description",
     "usage: vepod validate [options] URL...\n",
     R"(Checks feed or web-page URLs as one source, the way a player does when the user
saves it, and prints the source description the library answers: the settings'
members, "RuntimeType", the title of the last feed with episodes and, for a
source without one, a new "ID".
)",
     cmd_validate, o_json | o_net, "URL"},
    {"list", nullptr, "list the feeds, or with --feed the episodes of one",
     "usage: vepod list [options] URL...\n       vepod list [options] --feed FEED URL...\n",
     R"(Without --feed, lists the root folder: one folder per feed, the feeds that a
page announces included. With --feed, lists that feed's episodes, newest first:
date, length (h:mm:ss), size and title.
)",
     cmd_list, o_json | o_net | o_feed, "URL"},
    {"stream", "resolve", "resolve an episode's stream URL",
     "usage: vepod stream [options] URL...\n       vepod stream [options] --entry JSON [URL...]\n",
     R"(Resolves the stream URL of an episode of a feed listing and prints it, followed
by the request headers to send with it (one "Name: value" line each; none for
most feeds).
)",
     cmd_stream, o_json | o_net | o_feed | o_episode | o_entry, "URL"},
    {"parse", nullptr, "convert a feed file or standard input to the feed JSON",
     "usage: vepod parse [--pretty] [FILE]\n",
     R"(Reads an RSS 2.0, RDF or Atom document from FILE (standard input when FILE is
absent or "-") and prints the library's feed JSON: title, image, format and
every episode.
)",
     cmd_parse, o_json, "FILE"},
    {"discover", nullptr, "find the feed links an HTML page announces",
     "usage: vepod discover [options] FILE|URL\n",
     R"(Finds the feed links that an HTML page announces (<link rel="alternate"
type="application/rss+xml" ...> and the like) and resolves them. A URL is
fetched; a local FILE ("-" for standard input) is read.
)",
     cmd_discover, o_json | o_net | o_base, "FILE|URL"},
    {"stats", nullptr, "walk the sources and print the library's counters",
     "usage: vepod stats [options] [URL...]\n",
     R"(Lists the root folder of the given URLs and every feed folder in it, then
prints the library's counters: HTTP fetches, 304 answers and errors, cache
entries, hits and misses, feeds parsed, episodes listed and those with a
made-up id.
)",
     cmd_stats, o_json | o_net, "URL"},
    {"demo", nullptr, "the whole walk on bundled samples, without network", "usage: vepod demo\n",
     R"(Walks the sequence a media player goes through, on bundled sample documents
that the library's fake transport serves, without network: validate a source,
list its feeds, list a feed's episodes, resolve a stream URL and show the
statistics.
)",
     cmd_demo, 0, ""},
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

  std::string make_option_opts(const CLI::Option *opt) const override {
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
  if (c.arguments[0] != '\0') sub.add_option("arguments", o.args)->type_name(c.arguments);
}

// Converts the option values CLI11 collected as texts; false with `error` set.
bool check_values(options &o, std::string &error) {
  for (const std::string &spec : o.offline_specs) {
    size_t eq = spec.rfind('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == spec.size()) {
      error = "--offline needs URL=FILE";
      return false;
    }
    o.offline.emplace_back(spec.substr(0, eq), spec.substr(eq + 1));
  }
  if (!o.timeout_text.empty()) {
    char *end = nullptr;
    double seconds = std::strtod(o.timeout_text.c_str(), &end);
    if (*end != '\0' || !(seconds > 0 && seconds <= 86400)) {
      error = "--timeout needs a number of seconds above 0, at most 86400";
      return false;
    }
    o.timeout_ms = std::max(1L, static_cast<long>(seconds * 1000));
  }
  if (!o.max_age_text.empty()) {
    int32_t seconds = 0;
    const std::string &v = o.max_age_text;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
    if (ec != std::errc() || end != v.data() + v.size() || seconds < 0) {
      error = "--max-age needs a whole number of seconds";
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
  // Unknown words are worded below, naming the nearest known one; options given before the
  // command reach it, and the program's options may follow it.
  app.allow_extras();
  app.fallthrough();
  app.require_subcommand(0, 1);
  for (const command &c : k_commands) {
    CLI::App *sub = app.add_subcommand(c.name, c.summary)->group("Commands");
    if (c.alias != nullptr) sub->alias(c.alias);
    add_command_options(*sub, c, o);
  }
  std::string topic;
  CLI::App *help = app.add_subcommand("help", "a command's help")->group("");
  help->add_option("command", topic);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &) {
    std::fputs(app.help().c_str(), stdout);
    return k_exit_ok;
  } catch (const CLI::ParseError &e) {
    return report("", k_exit_usage, std::string(e.what()) + " (see 'vepod --help')");
  }
  const CLI::App *chosen = nullptr;
  for (const command &c : k_commands)
    if (app.got_subcommand(c.name)) {
      chosen = app.get_subcommand(c.name);
      o.command = c.name;
    }
  std::vector<std::string> leftover = app.remaining();
  if (chosen != nullptr)
    for (const std::string &word : chosen->remaining()) leftover.push_back(word);
  if (!leftover.empty()) return report_leftover(app, chosen, o, leftover.front());
  if (version) {
    std::printf("vepod %s (library %s)\n", k_program_version, vepod_version());
    return k_exit_ok;
  }
  if (help->parsed()) {
    if (topic.empty()) {
      std::fputs(app.help().c_str(), stdout);
      return k_exit_ok;
    }
    const command *c = find_command(topic);
    if (c == nullptr) return unknown_command(topic);
    std::fputs(app.get_subcommand(c->name)->help().c_str(), stdout);
    return k_exit_ok;
  }
  if (chosen == nullptr) return report("", k_exit_usage, "missing command (see 'vepod --help')");
  std::string error;
  if (!check_values(o, error)) return usage_error(o, error);
  return find_command(o.command)->run(o);
}

}  // namespace

int main(int argc, char **argv) {
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
