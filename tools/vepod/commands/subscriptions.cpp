// The commands that keep state: subscriptions, updates, episodes and their marks, OPML. Feeds are
// reached only through the library's exports.

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "commands/commands.h"
#include "core/opml.h"
#include "core/subscribe.h"
#include "core/update.h"
#include "vepod.h"

namespace {

// A subscription by its number in 'vepod subscriptions' or its URL; null when there is none.
const subscription *find_subscription(const std::vector<subscription> &all,
                                      const std::string &which) {
  size_t number = 0;
  bool by_number = parse_count(which, number);
  for (const subscription &s : all)
    if (by_number ? s.number == static_cast<int64_t>(number) : s.url == which) return &s;
  return nullptr;
}

}  // namespace

// MARK: Choosing episodes

namespace {

// "3.12" read as subscription 3 and episode 12; false when it is not of that form.
bool parse_ref(std::string_view text, size_t &feed, int64_t &number) {
  size_t dot = text.find('.');
  size_t episode = 0;
  if (dot == std::string_view::npos || !parse_count(text.substr(0, dot), feed) ||
      !parse_count(text.substr(dot + 1), episode))
    return false;
  number = static_cast<int64_t>(episode);
  return true;
}

int pick_by_ref(const options &o, store &db, const std::vector<subscription> &all,
                const std::string &ref, std::vector<picked_episode> &chosen) {
  size_t feed = 0;
  int64_t number = 0;
  if (!parse_ref(ref, feed, number))
    return usage_error(o, "'" + ref + "' is not an episode reference such as 3.12 (subscription " +
                              "3, its episode 12, as 'vepod episodes' numbers them)");
  const subscription *s = find_subscription(all, std::to_string(feed));
  if (s == nullptr)
    return report(o.command, k_exit_nothing,
                  "no subscription " + std::to_string(feed) + " (see 'vepod subscriptions')");
  picked_episode p{*s, {}};
  if (!db.episode_by_number(p.feed.id, number, p.item))
    return report(o.command, k_exit_nothing,
                  "no episode " + ref + " (see 'vepod episodes " + std::to_string(feed) + "')");
  chosen.push_back(std::move(p));
  return k_exit_ok;
}

// --episode M of one subscription: its number in the feed, or its id.
int pick_in_feed(const options &o, store &db, const subscription &s,
                 std::vector<picked_episode> &chosen) {
  size_t number = 0;
  picked_episode p{s, {}};
  bool found = false;
  if (parse_count(o.episode, number)) {
    found = db.episode_by_number(s.id, static_cast<int64_t>(number), p.item);
  } else {
    for (episode &e : db.episodes(s.id, false, -1))
      if (!found && e.guid == o.episode) {
        p.item = std::move(e);
        found = true;
      }
  }
  if (!found)
    return report(o.command, k_exit_nothing,
                  "no episode " + o.episode + " in " +
                      terminal_text(s.title.empty() ? s.url : s.title) + " (see 'vepod episodes')");
  chosen.push_back(std::move(p));
  return k_exit_ok;
}

}  // namespace

int choose_episodes(const options &o, std::unique_ptr<store> &db, bool default_new,
                    std::vector<picked_episode> &chosen, store::access mode) {
  std::vector<std::string> given;
  if (!o.episode.empty()) given.emplace_back("--episode");
  if (o.only_new) given.emplace_back("--new");
  if (o.all) given.emplace_back("--all");
  if (given.size() > 1) {
    std::string names = given[0];
    for (size_t i = 1; i < given.size(); i++)
      names += (i + 1 == given.size() ? " and " : ", ") + given[i];
    return usage_error(o, names + " exclude each other");
  }
  if (!o.args.empty() && (!given.empty() || !o.feed.empty()))
    return usage_error(o, "episode references replace --feed, --episode, --new and --all");
  if (!o.episode.empty() && o.feed.empty()) return usage_error(o, "--episode needs --feed");
  if (o.args.empty() && given.empty() && !default_new)
    return usage_error(o,
                       "choose the episodes: a reference as 'vepod episodes' prints it "
                       "(3.12), --feed N --episode M, or --all (of every subscription, or "
                       "of --feed N)");
  db = open_store(o, mode);
  std::vector<subscription> all = db->subscriptions();
  if (all.empty()) return report(o.command, k_exit_nothing, "no subscriptions yet");
  for (const std::string &ref : o.args)
    if (int rc = pick_by_ref(o, *db, all, ref, chosen)) return rc;
  if (!o.args.empty()) return k_exit_ok;
  if (!o.feed.empty()) {
    const subscription *s = find_subscription(all, o.feed);
    if (s == nullptr)
      return report(o.command, k_exit_nothing,
                    "no subscription " + o.feed + " (see 'vepod subscriptions')");
    subscription one = *s;  // `s` points into `all`, which it replaces
    if (!o.episode.empty()) return pick_in_feed(o, *db, one, chosen);
    all = {std::move(one)};
  }
  // --new takes what 'vepod episodes --new' lists.
  for (const subscription &s : all)
    for (episode &e : db->episodes(s.id, !o.all, -1)) chosen.push_back({s, std::move(e)});
  return k_exit_ok;
}

// MARK: Subscriptions

int cmd_subscribe(const options &o) {
  options chosen = o;
  if (o.result > 0) {
    if (!o.args.empty()) return usage_error(o, "takes URLs or --result N, not both");
    std::vector<search_result> found = open_store(o, store::access::read)->last_search();
    if (found.empty())
      return report(o.command, k_exit_nothing, "no search results (see 'vepod search')");
    if (static_cast<size_t>(o.result) > found.size())
      return report(o.command, k_exit_nothing,
                    "no result " + std::to_string(o.result) + " in the last search (it found " +
                        std::to_string(found.size()) + ")");
    chosen.args = {found[static_cast<size_t>(o.result) - 1].url};
  }
  if (chosen.args.empty()) return usage_error(o, "needs at least one URL, or --result N");
  context c;
  if (int rc = c.open(chosen, false, true, false)) return rc;
  int failed = 0, last_exit = k_exit_ok;
  for (const std::string &url : c.urls) {
    for (const subscribed_feed &f : subscribe_source(*c.db, c.net, url, o.keep_new)) {
      if (f.problem) {
        failed++;
        last_exit = f.by_source ? report_sources(o.command, c.net, f.problem, f.failed)
                                : fail(o.command, f.problem);
      } else {
        print_subscribed(f);
      }
    }
  }
  if (failed == 0) return k_exit_ok;
  return failed == static_cast<int>(c.urls.size()) ? last_exit : k_exit_partial;
}

int cmd_unsubscribe(const options &o) {
  if (o.args.empty()) return usage_error(o, "needs a subscription's number or URL");
  std::unique_ptr<store> db = open_store(o);
  store::transaction t(*db);
  std::vector<subscription> all = db->subscriptions();
  std::vector<const subscription *> gone;
  for (const std::string &which : o.args) {
    const subscription *s = find_subscription(all, which);
    if (s == nullptr)
      return report(o.command, k_exit_nothing,
                    "no subscription " + which + " (see 'vepod subscriptions')");
    gone.push_back(s);
  }
  for (const subscription *s : gone) db->unsubscribe(s->id);
  t.commit();
  for (const subscription *s : gone) print_unsubscribed(*s);
  return k_exit_ok;
}

int cmd_subscriptions(const options &o) {
  if (!o.args.empty()) return usage_error(o, "takes no arguments");
  std::unique_ptr<store> db = open_store(o, store::access::read);
  std::vector<subscription> all = db->subscriptions();
  if (o.json) {
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *list = yyjson_mut_arr(doc);
    yyjson_mut_doc_set_root(doc, list);
    for (const subscription &s : all) {
      yyjson_mut_val *item = yyjson_mut_arr_add_obj(doc, list);
      yyjson_mut_obj_add_int(doc, item, "number", s.number);
      yyjson_mut_obj_add_strcpy(doc, item, "title", s.title.c_str());
      yyjson_mut_obj_add_strcpy(doc, item, "url", s.url.c_str());
      yyjson_mut_obj_add_int(doc, item, "episodes", s.episodes);
      yyjson_mut_obj_add_int(doc, item, "added", s.added);
      yyjson_mut_obj_add_int(doc, item, "last_update", s.last_update);  // -1: never
      if (!s.last_error.empty())
        yyjson_mut_obj_add_strcpy(doc, item, "last_error", s.last_error.c_str());
    }
    if (int rc = print_built_json(o, doc)) return rc;
    return all.empty() ? k_exit_nothing : k_exit_ok;
  }
  if (all.empty()) return report(o.command, k_exit_nothing, "no subscriptions yet");
  print_subscriptions(stdout, all);
  return k_exit_ok;
}

int cmd_update(const options &o) {
  if (!o.args.empty()) return usage_error(o, "takes no arguments (it updates every subscription)");
  context c;
  if (int rc = c.open(o, true, true, false)) return rc;
  update_result result = update_subscriptions(*c.db, c.net, c.subscribed, o.jobs);
  std::vector<episode> fresh;
  int failed = 0, last_exit = k_exit_ok;
  int64_t oldest_check = -1;
  bool all_stored = true;
  for (feed_update &u : result.feeds) {
    if (u.problem) {
      failed++;
      last_exit = report(o.command, exit_for(u.problem),
                         subscription_name(u.number, u.before, u.title) + ": " + u.problem.text);
      continue;
    }
    print_move(u);
    if (u.checked < 0)
      all_stored = false;
    else if (oldest_check < 0 || u.checked < oldest_check)
      oldest_check = u.checked;
    for (episode &e : u.fresh) fresh.push_back(std::move(e));
  }
  std::stable_sort(fresh.begin(), fresh.end(), [](const episode &a, const episode &b) {
    return a.published_ms > b.published_ms;
  });
  if (!fresh.empty())
    print_stored_episodes(stdout, fresh, true);
  else if (failed == 0 && all_stored)
    // Nothing was asked of any server: say when they were asked, not that nothing came.
    print_up_to_date(now_s() - oldest_check);
  else if (failed < static_cast<int>(result.feeds.size()))
    print_no_new_episodes();
  const int updated = failed == 0                                       ? k_exit_ok
                      : failed == static_cast<int>(c.subscribed.size()) ? last_exit
                                                                        : k_exit_partial;
  if (!o.download && c.db->setting("auto-download") != "on") return updated;
  std::vector<picked_episode> chosen = default_downloads(*c.db);
  const int downloaded = chosen.empty() ? k_exit_ok : download_chosen(o, *c.db, chosen);
  return downloaded == k_exit_interrupted || updated == k_exit_ok ? downloaded : updated;
}

int cmd_episodes(const options &o) {
  if (o.args.size() > 1) return usage_error(o, "takes one feed at most");
  std::unique_ptr<store> db = open_store(o, store::access::read);
  int64_t feed = 0;
  if (!o.args.empty()) {
    std::vector<subscription> all = db->subscriptions();
    const subscription *s = find_subscription(all, o.args[0]);
    if (s == nullptr)
      return report(o.command, k_exit_nothing,
                    "no subscription " + o.args[0] + " (see 'vepod subscriptions')");
    feed = s->id;
  }
  std::vector<episode> found = db->episodes(feed, o.only_new, o.limit, false);
  if (o.json) {
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *list = yyjson_mut_arr(doc);
    yyjson_mut_doc_set_root(doc, list);
    for (const episode &e : found) {
      yyjson_mut_val *item = yyjson_mut_arr_add_obj(doc, list);
      yyjson_mut_obj_add_strcpy(doc, item, "ref", episode_ref(e).c_str());
      yyjson_mut_obj_add_strcpy(doc, item, "feed", e.feed_title.c_str());
      yyjson_mut_obj_add_strcpy(doc, item, "id", e.guid.c_str());
      yyjson_mut_obj_add_strcpy(doc, item, "title", e.title.c_str());
      yyjson_mut_obj_add_int(doc, item, "mtime_ms", e.published_ms);
      yyjson_mut_obj_add_int(doc, item, "duration_s", e.duration_s);
      yyjson_mut_obj_add_int(doc, item, "size", e.size);
      yyjson_mut_obj_add_strcpy(doc, item, "url", e.media_url.c_str());
      yyjson_mut_obj_add_bool(doc, item, "new", e.is_new && e.downloaded < 0 && e.played < 0);
      yyjson_mut_obj_add_bool(doc, item, "played", e.played >= 0);
      yyjson_mut_obj_add_bool(doc, item, "downloaded", e.downloaded >= 0);
      if (e.downloaded >= 0) yyjson_mut_obj_add_strcpy(doc, item, "file", e.file.c_str());
    }
    if (int rc = print_built_json(o, doc)) return rc;
    return found.empty() ? k_exit_nothing : k_exit_ok;
  }
  if (found.empty())
    return report(o.command, k_exit_nothing, o.only_new ? "no new episodes" : "no episodes");
  print_stored_episodes(stdout, found, feed == 0);
  return k_exit_ok;
}

int cmd_played(const options &o) {
  std::unique_ptr<store> db;
  std::vector<picked_episode> chosen;
  if (int rc = choose_episodes(o, db, false, chosen)) return rc;
  const char *mark = o.unplayed ? "unplayed" : "played";
  const int64_t now = now_s();
  std::map<int64_t, int> marked;  // per subscription, for --all
  int changed = 0;
  store::transaction t(*db);
  for (const picked_episode &p : chosen) {
    if (!db->mark_played(p.item.id, !o.unplayed, now)) continue;
    marked[p.feed.id]++;
    changed++;
    // --all may mark hundreds: one line for each feed then, else one for each episode.
    if (!o.all) print_marked(mark, p);
  }
  t.commit();
  if (o.all)
    for (const picked_episode &p : chosen)
      if (auto n = marked.find(p.feed.id); n != marked.end()) {
        print_marked_feed(mark, n->second, p.feed);
        marked.erase(n);
      }
  if (changed == 0) print_nothing_to_change();
  return k_exit_ok;
}

namespace {

// What a setting holds, and so how its value is checked and shown.
enum class setting_kind { folder, on_off, command_line, url, text, secret };

struct setting_key {
  const char *name;
  setting_kind kind;
};

// The settings a user sets once; each value is checked before it is kept.
constexpr setting_key k_settings[] = {
    {"download-dir", setting_kind::folder},   {"auto-download", setting_kind::on_off},
    {"player", setting_kind::command_line},   {"mark-played-after-play", setting_kind::on_off},
    {"search-url", setting_kind::url},        {"podcastindex-url", setting_kind::url},
    {"podcastindex-key", setting_kind::text}, {"podcastindex-secret", setting_kind::secret},
};

// The value to keep for `given` (a folder made absolute, a URL trimmed); `error` says why when it
// cannot be one.
std::string checked_setting(setting_kind kind, const std::string &given, std::string &error) {
  std::string value, why;
  std::error_code ec;
  switch (kind) {
    case setting_kind::folder:
      value = std::filesystem::absolute(given, ec).lexically_normal().string();
      if (ec) error = "'" + terminal_text(given) + "' is not a folder";
      return value;
    case setting_kind::on_off:
      if (given != "on" && given != "off") error = "takes on or off";
      return given;
    case setting_kind::command_line: {
      std::vector<std::string> words;
      if (!split_command_line(given, words, why))
        error = "'" + terminal_text(given) + "' is not a command line: " + why;
      return given;
    }
    case setting_kind::url:
      if (!check_url(given, value, why)) error = "'" + terminal_text(given) + "' " + why;
      return value;
    case setting_kind::text:
    case setting_kind::secret:
      if (given.find_first_of("\r\n") != std::string::npos) error = "takes one line";
      return given;
  }
  return given;
}

}  // namespace

int cmd_config(const options &o) {
  if (o.args.size() > 2) return usage_error(o, "takes a KEY and a VALUE at most");
  const setting_key *key = nullptr;
  std::string known;
  for (const setting_key &k : k_settings) {
    if (!o.args.empty() && o.args[0] == k.name) key = &k;
    known += (known.empty() ? "" : ", ") + std::string(k.name);
  }
  if (!o.args.empty() && key == nullptr)
    return usage_error(o, "unknown setting '" + o.args[0] + "' (known: " + known + ")");
  std::unique_ptr<store> db =
      open_store(o, o.args.size() == 2 ? store::access::write : store::access::read);
  auto shown = [](const setting_key &k, const std::string &value) {
    if (value.empty()) return std::string("(not set)");
    return k.kind == setting_kind::secret ? std::string("(set)") : terminal_text(value);
  };
  if (o.args.size() == 2) {
    std::string error, value;
    if (!o.args[1].empty()) value = checked_setting(key->kind, o.args[1], error);
    if (!error.empty()) return usage_error(o, key->name + (": " + error));
    store::transaction t(*db);
    db->set_setting(key->name, value);
    t.commit();
    print_setting(key->name, shown(*key, value));
    return k_exit_ok;
  }
  for (const setting_key &k : k_settings) {
    if (key != nullptr && key != &k) continue;
    print_setting(k.name, shown(k, db->setting(k.name)));
  }
  return k_exit_ok;
}

// MARK: OPML

int cmd_import(const options &o) {
  if (o.args.size() != 1) return usage_error(o, "takes one OPML FILE ('-' for standard input)");
  const std::string &path = o.args[0];
  const std::string name = path == "-" ? std::string("standard input") : path;
  std::string data, error;
  if (!read_file(path, data, error, k_max_opml_bytes))
    return report(o.command, k_exit_failure, error);
  std::vector<opml_feed> feeds;
  if (failure f = read_opml(data, name, feeds)) return fail(o.command, f);
  data.clear();
  std::unique_ptr<store> db = open_store(o);
  const opml_import done = import_feeds(*db, feeds, o.keep_new);
  for (const opml_import::skip &s : done.skipped)
    report(o.command, k_exit_ok, "skipped " + outline_name(s.number, s.title) + ": " + s.why);
  const int skipped = static_cast<int>(done.skipped.size());
  print_imported(done.added, skipped);
  return done.added == 0 && skipped == 0 ? report(o.command, k_exit_nothing, "no feeds in " + name)
                                         : k_exit_ok;
}

int cmd_export(const options &o) {
  if (o.args.size() > 1) return usage_error(o, "takes one FILE at most");
  std::unique_ptr<store> db = open_store(o, store::access::read);
  const std::string text = write_opml(db->subscriptions(), std::time(nullptr));
  if (o.args.empty()) {
    print_document(text);
    return k_exit_ok;
  }
  std::string error;
  if (!write_whole_file(o.args[0], text, error)) return report(o.command, k_exit_failure, error);
  return k_exit_ok;
}
