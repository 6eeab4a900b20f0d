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

#include "cli.h"
#include "http_transport.h"
#include "vepod.h"

namespace {

constexpr const char *k_program_version = VEPOD_TOOL_VERSION;
// Local documents above this are refused before reading on; the library stops at 16 MiB anyway.
constexpr size_t k_max_file = http_transport::k_max_body;

enum option_bit : unsigned {
  o_json = 1u << 0,
  o_net = 1u << 1,
  o_feed = 1u << 2,
  o_episode = 1u << 3,
  o_entry = 1u << 4,
  o_base = 1u << 5,
};

struct options {
  std::string command;
  std::vector<std::string> args;
  bool json = false;
  bool pretty = false;
  bool help = false;
  bool version = false;
  std::vector<std::pair<std::string, std::string>> offline;  // URL, file
  long timeout_ms = 30000;
  int32_t max_age = -1;  // -1: the library's default
  std::string feed, episode, entry, base;
  std::vector<std::pair<std::string, unsigned>> used;  // every option given, for the check
};

struct command {
  const char *name;
  const char *alias;
  int (*run)(const options &);
  unsigned allowed;
  const char *help;
};

constexpr const char *k_program_help = R"(usage: vepod [options] <command> [arguments]

A command-line host of the podcast source library: it fetches podcast feeds, or web pages that
announce feeds, over HTTP(S) and shows what a media player sees.

Commands:
  validate URL...      check feed or page URLs as one source and print its description
  list URL...          list the feeds (the root folder), or with --feed the episodes of one
  stream URL...        resolve an episode's stream URL (alias: resolve)
  parse [FILE]         convert a feed file or standard input to the feed JSON
  discover FILE|URL    find the feed links an HTML page announces
  stats [URL...]       walk the sources and print the library's counters
  demo                 the whole walk on bundled samples, without network

Options:
  --json               print the library's JSON answer instead of a table
  --pretty             print JSON indented (implies --json)
)";

// The options of every command that fetches; both help texts list them.
constexpr const char *k_net_options =
    R"(  --offline URL=FILE   answer URL from the local FILE (repeatable); with any --offline, nothing
                       is fetched from the network
  --timeout SECONDS    give up a request after SECONDS (default 30)
  --max-age SECONDS    reuse a fetched answer for SECONDS (default 21600; 0: fetch every time)
)";

constexpr const char *k_program_help_end =
    R"(  -h, --help           show this help, or a command's help after the command
  --version            print the program's and the library's versions

Exit status: 0 success; 1 failure (unreadable file, invalid feed, other error); 2 usage error
(bad command line, a URL that is not http(s)); 3 network failure (no connection, time-out,
oversized body, HTTP 401/403/429/5xx); 4 nothing found (HTTP 404/410, no feeds or episodes,
unknown feed or episode, no feed links).
)";

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

constexpr command k_commands[] = {
    {"validate", nullptr, cmd_validate, o_json | o_net, R"(usage: vepod validate [options] URL...

Checks feed or web-page URLs as one source, the way a player does when the user saves it, and
prints the source description the library answers: the settings' members, "RuntimeType", the
title of the last feed with episodes and, for a source without one, a new "ID".

Options:
  --json, --pretty     print the library's JSON answer
)"},
    {"list", nullptr, cmd_list, o_json | o_net | o_feed, R"(usage: vepod list [options] URL...
       vepod list [options] --feed FEED URL...

Without --feed, lists the root folder: one folder per feed, the feeds that a page announces
included. With --feed, lists that feed's episodes, newest first: date, length (h:mm:ss), size
and title.

Options:
  --feed FEED          a feed's URL as the root folder lists it, or its number there (1: first)
  --json, --pretty     print the library's JSON answer
)"},
    {"stream", "resolve", cmd_stream, o_json | o_net | o_feed | o_episode | o_entry,
     R"(usage: vepod stream [options] URL...
       vepod stream [options] --entry JSON [URL...]

Resolves the stream URL of an episode of a feed listing and prints it, followed by the request
headers to send with it (one "Name: value" line each; none for most feeds).

Options:
  --feed FEED          the feed: its URL or its number in the root folder (default 1)
  --episode EPISODE    the episode: its number in the feed listing (default 1, the newest) or
                       its "id"
  --entry JSON         an entry as 'vepod list --json' prints it, instead of --feed/--episode
  --json, --pretty     print the library's JSON answer
)"},
    {"parse", nullptr, cmd_parse, o_json, R"(usage: vepod parse [--pretty] [FILE]

Reads an RSS 2.0, RDF or Atom document from FILE (standard input when FILE is absent or "-")
and prints the library's feed JSON: title, image, format and every episode.

Options:
  --pretty             indent the JSON
)"},
    {"discover", nullptr, cmd_discover, o_json | o_net | o_base,
     R"(usage: vepod discover [options] FILE|URL

Finds the feed links that an HTML page announces (<link rel="alternate"
type="application/rss+xml" ...> and the like) and resolves them. A URL is fetched; a local FILE
("-" for standard input) is read.

Options:
  --base URL           the page's own URL, against which relative links resolve
  --json, --pretty     print the library's JSON answer
)"},
    {"stats", nullptr, cmd_stats, o_json | o_net, R"(usage: vepod stats [options] [URL...]

Lists the root folder of the given URLs and every feed folder in it, then prints the library's
counters: HTTP fetches, 304 answers and errors, cache entries, hits and misses, feeds parsed,
episodes listed and those with a made-up id.

Options:
  --json, --pretty     print the library's statistics text
)"},
    {"demo", nullptr, cmd_demo, 0, R"(usage: vepod demo

Walks the sequence a media player goes through, on bundled sample documents that the library's
fake transport serves, without network: validate a source, list its feeds, list a feed's
episodes, resolve a stream URL and show the statistics.
)"},
};

const command *find_command(std::string_view name) {
  for (const command &c : k_commands)
    if (name == c.name || (c.alias != nullptr && name == c.alias)) return &c;
  return nullptr;
}

void print_command_help(const command &c) {
  std::fputs(c.help, stdout);
  if (c.allowed & o_net) {
    std::fputs("\nNetwork options:\n", stdout);
    std::fputs(k_net_options, stdout);
  }
}

// MARK: Command line

struct option_def {
  std::string_view name;
  bool takes_value;
  unsigned bit;
};
constexpr option_def k_options[] = {
    {"--json", false, o_json},
    {"--pretty", false, o_json},
    {"--offline", true, o_net},
    {"--timeout", true, o_net},
    {"--max-age", true, o_net},
    {"--feed", true, o_feed},
    {"--episode", true, o_episode},
    {"--entry", true, o_entry},
    {"--base", true, o_base},
    {"--help", false, 0},
    {"-h", false, 0},
    {"--version", false, 0},
};

// Stores one option's value; false with `error` set when the value is unusable.
bool apply_option(options &o, std::string_view name, const std::string &value, std::string &error) {
  if (name == "--json") {
    o.json = true;
  } else if (name == "--pretty") {
    o.json = o.pretty = true;
  } else if (name == "--help" || name == "-h") {
    o.help = true;
  } else if (name == "--version") {
    o.version = true;
  } else if (name == "--offline") {
    size_t eq = value.rfind('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == value.size()) {
      error = "--offline needs URL=FILE";
      return false;
    }
    o.offline.emplace_back(value.substr(0, eq), value.substr(eq + 1));
  } else if (name == "--timeout") {
    char *end = nullptr;
    double seconds = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !(seconds > 0 && seconds <= 86400)) {
      error = "--timeout needs a number of seconds above 0, at most 86400";
      return false;
    }
    o.timeout_ms = std::max(1L, static_cast<long>(seconds * 1000));
  } else if (name == "--max-age") {
    int32_t seconds = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (ec != std::errc() || end != value.data() + value.size() || seconds < 0) {
      error = "--max-age needs a whole number of seconds";
      return false;
    }
    o.max_age = seconds;
  } else if (name == "--feed") {
    o.feed = value;
  } else if (name == "--episode") {
    o.episode = value;
  } else if (name == "--entry") {
    o.entry = value;
  } else if (name == "--base") {
    o.base = value;
  }
  return true;
}

// Fills `o` from the arguments; options may stand before or after the command.
bool parse_command_line(int argc, char **argv, options &o, std::string &error) {
  bool options_done = false;
  for (int i = 1; i < argc; i++) {
    std::string_view arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      if (o.command.empty())
        o.command = arg;
      else
        o.args.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    std::string_view name = arg.substr(0, arg.find('='));
    const option_def *known = nullptr;
    for (const option_def &candidate : k_options)
      if (candidate.name == name) known = &candidate;
    if (known == nullptr) {
      error = "unknown option " + std::string(name);
      return false;
    }
    std::string value;
    if (known->takes_value) {
      if (name.size() < arg.size()) {
        value = arg.substr(name.size() + 1);
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        error = std::string(name) + " needs a value";
        return false;
      }
    } else if (name.size() < arg.size()) {
      error = std::string(name) + " takes no value";
      return false;
    }
    if (!apply_option(o, name, value, error)) return false;
    o.used.emplace_back(name, known->bit);
  }
  return true;
}

int run(int argc, char **argv) {
  options o;
  std::string error;
  if (!parse_command_line(argc, argv, o, error))
    return report("", k_exit_usage, error + " (see 'vepod --help')");
  if (o.version) {
    std::printf("vepod %s (library %s)\n", k_program_version, vepod_version());
    return k_exit_ok;
  }
  if (o.command == "help") {
    o.command = o.args.empty() ? "" : o.args[0];
    o.help = true;
  }
  if (o.command.empty()) {
    if (!o.help) return report("", k_exit_usage, "missing command (see 'vepod --help')");
    std::fputs(k_program_help, stdout);
    std::fputs(k_net_options, stdout);
    std::fputs(k_program_help_end, stdout);
    return k_exit_ok;
  }
  const command *c = find_command(o.command);
  if (c == nullptr)
    return report("", k_exit_usage, "unknown command " + o.command + " (see 'vepod --help')");
  o.command = c->name;
  if (o.help) {
    print_command_help(*c);
    return k_exit_ok;
  }
  for (const auto &[name, bit] : o.used)
    if (bit != 0 && (c->allowed & bit) == 0)
      return usage_error(o, name + " does not apply to this command");
  return c->run(o);
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
