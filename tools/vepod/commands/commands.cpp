// The commands that show what the library answers: validate, list, stream, parse, discover,
// stats, demo. The fetching ones reach feeds only through the library's exports.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "commands/commands.h"
#include "vepod.h"

namespace {

// The folder path of a feed: a URL as given, or the n-th folder of the root listing.
int pick_feed(const options &o, context &c, const std::string &settings, std::string &path) {
  size_t number = 1;
  if (!o.feed.empty() && !parse_count(o.feed, number)) {
    path = o.feed;
    return k_exit_ok;
  }
  answer root = call_list(settings, "");
  if (root.code != 0) return report_sources(o.command, c.net, root);
  // Feeds are numbered as the root folder shows them: the URLs that failed are not among them.
  std::vector<std::pair<std::string, std::string>> feeds = feeds_of(root.json);
  if (number > feeds.size())
    return report(o.command, k_exit_nothing,
                  "no feed number " + std::to_string(number) + ": the root folder lists " +
                      std::to_string(feeds.size()));
  path = feeds[number - 1].first;
  return k_exit_ok;
}

// The entry of a feed listing chosen by its number or its id, as a JSON object text.
int pick_episode(const options &o, const std::string &settings, const std::string &path,
                 std::string &entry) {
  answer folder = call_list(settings, path);
  if (folder.code != 0) return fail(o.command, folder.problem());
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

}  // namespace

// MARK: The library's operations

int cmd_validate(const options &o) {
  if (o.args.empty()) return usage_error(o, "needs at least one URL");
  context c;
  if (int rc = c.open(o, false)) return rc;
  answer validated = call_validate(make_settings(c.urls));
  int rc = report_sources(o.command, c.net, validated);
  if (validated.code == 0) show(o, validated.json, print_source);
  return rc;
}

int cmd_list(const options &o) {
  context c;
  if (int rc = c.open(o, true)) return rc;
  const std::string settings = make_settings(c.urls);
  if (o.feed.empty()) {
    answer root = call_list(settings, "");
    int rc = report_sources(o.command, c.net, root);
    if (root.code == 0) show(o, root.json, print_feeds);
    return rc;
  }
  std::string path;
  if (int rc = pick_feed(o, c, settings, path)) return rc;
  answer folder = call_list(settings, path);
  if (folder.code != 0) return fail(o.command, folder.problem());
  if (folder.json != "[]") return show(o, folder.json, print_episodes);
  if (o.json) print_json(stdout, folder.json, o.pretty);
  return report(o.command, k_exit_nothing, "no episodes in " + path);
}

int cmd_stream(const options &o) {
  if (!o.entry.empty() && (!o.feed.empty() || !o.episode.empty()))
    return usage_error(o, "--entry replaces --feed and --episode");
  context c;
  if (int rc = c.open(o, o.entry.empty())) return rc;
  const std::string settings = c.urls.empty() ? std::string() : make_settings(c.urls);
  std::string entry = o.entry;
  if (entry.empty()) {
    std::string path;
    if (int rc = pick_feed(o, c, settings, path)) return rc;
    if (int rc = pick_episode(o, settings, path, entry)) return rc;
  }
  answer stream = call_stream_url(c.urls.empty() ? nullptr : settings.c_str(), entry);
  if (stream.code != 0) return fail(o.command, stream.problem());
  if (o.json) {
    print_json(stdout, stream.json, o.pretty);
    return k_exit_ok;
  }
  json_doc doc = read_json(stream.json);
  print_stream(yyjson_doc_get_root(doc.get()));
  return k_exit_ok;
}

int cmd_parse(const options &o) {
  if (o.args.size() > 1) return usage_error(o, "takes one FILE at most");
  std::string data, error;
  if (!read_file(o.args.empty() ? "-" : o.args[0], data, error))
    return report(o.command, k_exit_failure, error);
  char *json = nullptr;
  char message[VEPOD_MESSAGE_MAX];
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
    context c;
    if (int rc = c.open(o, false)) return rc;
    if (failure f = c.net.fetch(c.urls.front(), page)) return fail(o.command, f);
    if (page_url.empty()) page_url = c.urls.front();
  } else {
    std::string error;
    if (!read_file(target, page, error)) return report(o.command, k_exit_failure, error);
  }
  char *json = nullptr;
  char message[VEPOD_MESSAGE_MAX];
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
  context c;
  if (int rc = c.open(o, true)) return rc;
  const std::string settings = make_settings(c.urls);
  answer root = call_list(settings, "");
  int result = report_sources(o.command, c.net, root);
  // The URLs that failed are not listed again: the root listing said why, and another fetch would
  // count twice.
  for (const auto &feed : feeds_of(root.json)) {
    answer episodes = call_list(settings, feed.first);
    if (episodes.code != 0 && result == k_exit_ok) result = fail(o.command, episodes.problem());
  }
  show(o, vepod_stats_json(), print_stats);
  return result;
}

int cmd_demo(const options &o) {
  if (!o.args.empty()) return usage_error(o, "takes no arguments");
  return run_demo();
}
