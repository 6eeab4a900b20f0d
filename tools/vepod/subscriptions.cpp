// The commands that keep state: subscriptions, updates, episodes and their marks, OPML. Feeds are
// reached only through the library's exports.

#include <pugixml.hpp>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "vepod.h"

namespace {

// An OPML file is a list of addresses: 16 MiB holds far more than any listener's, and 10,000
// subscriptions are more than anyone follows.
constexpr size_t k_max_opml_bytes = size_t{16} << 20;
constexpr size_t k_max_import = 10000;

// MARK: Keeping episodes

// The episodes of a feed listing as the database keeps them.
std::vector<episode> episodes_of(const std::string &listing, int64_t subscription, int64_t seen,
                                 bool is_new) {
  std::vector<episode> found;
  json_doc doc = read_json(listing);
  size_t index, max;
  yyjson_val *entry;
  yyjson_arr_foreach(yyjson_doc_get_root(doc.get()), index, max, entry) {
    // Newest first: what lies beyond the bound would be trimmed at once.
    if (found.size() == store::k_max_episodes) break;
    episode e;
    e.subscription = subscription;
    e.guid = text_member(entry, "id");
    // The whole title: "name" is the library's display form of it, cut short and with '/'
    // replaced. An untitled episode goes by its guid, or by nothing when that is made up.
    e.title = text_member(entry, "title");
    if (e.title.empty() && !yyjson_is_true(yyjson_obj_get(entry, "guid_fallback")))
      e.title = e.guid;
    e.media_url = text_member(entry, "locator");
    auto number = [entry](const char *key) {
      yyjson_val *v = yyjson_obj_get(entry, key);
      return yyjson_is_int(v) ? yyjson_get_sint(v) : int64_t{-1};
    };
    e.published_ms = number("mtime_ms");
    e.size = number("size");
    e.duration_s = number("duration_s");
    e.entry = write_json(entry);
    e.first_seen = seen;
    e.is_new = is_new;
    found.push_back(std::move(e));
  }
  return found;
}

// The feeds of a source's root listing: (URL, title).
std::vector<std::pair<std::string, std::string>> feeds_of(const std::string &listing) {
  std::vector<std::pair<std::string, std::string>> feeds;
  json_doc doc = read_json(listing);
  size_t index, max;
  yyjson_val *folder;
  yyjson_arr_foreach(yyjson_doc_get_root(doc.get()), index, max, folder) {
    feeds.emplace_back(text_member(folder, "path"), real_title(text_member(folder, "name")));
  }
  return feeds;
}

// A subscription by its number in 'vepod subscriptions' or its URL; null when there is none.
const subscription *find_subscription(const std::vector<subscription> &all,
                                      const std::string &which) {
  size_t number = 0;
  if (parse_count(which, number)) return number <= all.size() ? &all[number - 1] : nullptr;
  for (const subscription &s : all)
    if (s.url == which) return &s;
  return nullptr;
}

}  // namespace

// MARK: Choosing episodes

int choose_feeds(const options &o, std::unique_ptr<store> &db, std::vector<subscription> &feeds) {
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
  if (!o.episode.empty() && o.feed.empty()) return usage_error(o, "--episode needs --feed");
  db = open_store(o);
  feeds = db->subscriptions();
  if (!o.feed.empty()) {
    const subscription *s = find_subscription(feeds, o.feed);
    if (s == nullptr)
      return report(o.command, k_exit_nothing,
                    "no subscription " + o.feed + " (see 'vepod subscriptions')");
    feeds = {*s};
  }
  if (feeds.empty()) return report(o.command, k_exit_nothing, "no subscriptions yet");
  return k_exit_ok;
}

int choose_episodes(const options &o, store &db, const subscription &s,
                    std::vector<episode> &chosen) {
  // --new takes what 'vepod episodes --new' lists.
  std::vector<episode> all = db.episodes(s.id, o.only_new, -1);
  if (o.only_new || o.all) {
    chosen = std::move(all);
    return k_exit_ok;
  }
  // A number counts as 'vepod episodes N' lists them, else it is an episode's id.
  const std::string which = o.episode.empty() ? std::string("1") : o.episode;
  size_t number = 0;
  bool by_number = parse_count(which, number);
  for (size_t i = 0; i < all.size(); i++)
    if (by_number ? i + 1 == number : all[i].guid == which) {
      chosen.push_back(std::move(all[i]));
      return k_exit_ok;
    }
  return report(o.command, k_exit_nothing,
                "no episode " + which + " in " + redact_url(s.url) + " (" +
                    std::to_string(all.size()) + " recorded)");
}

// MARK: Subscriptions

int cmd_subscribe(const options &o) {
  if (o.args.empty()) return usage_error(o, "needs at least one URL");
  context c;
  if (int rc = c.open(o, false, true, false)) return rc;
  int failed = 0, last_exit = k_exit_ok;
  for (const std::string &url : c.urls) {
    const std::string settings = make_settings({url});
    // The check a player makes when a source is saved: a feed with episodes or a page with feeds.
    answer checked = call_validate(settings);
    answer root = checked.code == 0 ? call_list(settings, "") : checked;
    if (root.code != 0) {
      failed++;
      last_exit = report_sources(o.command, c.net, {url}, root);
      continue;
    }
    // A page subscribes the feeds it announces.
    for (auto [feed, title] : feeds_of(root.json)) {
      answer listing = call_list(settings, feed);
      if (listing.code != 0) {
        failed++;
        last_exit = report_sources(o.command, c.net, {feed}, listing);
        continue;
      }
      // A page names its feeds itself: their URLs are checked like any other before one is kept.
      std::string moved = c.net.moved_to(feed), kept, why;
      if (!check_url(moved.empty() ? feed : moved, kept, why)) {
        failed++;
        last_exit = report(o.command, k_exit_failure,
                           "skipped " + redact_url(moved.empty() ? feed : moved) + ": it " + why);
        continue;
      }
      const int64_t now = now_s();
      store::transaction t(*c.db);
      int64_t id = c.db->subscribe(kept, title);
      if (id == 0) {
        std::printf("already subscribed: %s\n", shown_url(kept).c_str());
        continue;
      }
      // What the feed holds now is known, not new: updates announce what comes after.
      std::vector<episode> episodes = episodes_of(listing.json, id, now, false);
      for (const episode &e : episodes) c.db->add_episode(e);
      c.db->set_updated(id, now, "");
      t.commit();
      std::printf("subscribed: %s (%s), %s\n", terminal_text(title).c_str(),
                  shown_url(kept).c_str(),
                  counted(static_cast<int64_t>(episodes.size()), "episode").c_str());
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
  for (const subscription *s : gone)
    std::printf("unsubscribed: %s (%s)\n", terminal_text(s->title).c_str(),
                shown_url(s->url).c_str());
  return k_exit_ok;
}

int cmd_subscriptions(const options &o) {
  if (!o.args.empty()) return usage_error(o, "takes no arguments");
  std::unique_ptr<store> db = open_store(o);
  std::vector<subscription> all = db->subscriptions();
  if (all.empty()) return report(o.command, k_exit_nothing, "no subscriptions yet");
  print_subscriptions(stdout, all);
  return k_exit_ok;
}

int cmd_update(const options &o) {
  if (!o.args.empty()) return usage_error(o, "takes no arguments (it updates every subscription)");
  context c;
  if (int rc = c.open(o, true, true, false)) return rc;
  std::vector<episode> fresh;
  int failed = 0, last_exit = k_exit_ok;
  for (const subscription &s : c.subscribed) {
    const std::string settings = make_settings({s.url});
    answer root = call_list(settings, "");
    answer listing = root.code == 0 ? call_list(settings, s.url) : root;
    const int64_t now = now_s();
    // What the library answered is the whole story: its message names the failure.
    if (listing.code != 0) {
      failed++;
      // Most of its messages name the URL already.
      const std::string shown = redact_url(s.url);
      last_exit =
          report(o.command, exit_for(listing.code),
                 listing.error.find(shown) == std::string::npos ? shown + ": " + listing.error
                                                                : listing.error);
      store::transaction t(*c.db);
      c.db->set_updated(s.id, now, listing.error);
      t.commit();
      c.net.forget(s.url);
      continue;
    }
    std::vector<std::pair<std::string, std::string>> feeds = feeds_of(root.json);
    std::string moved = c.net.moved_to(s.url);
    store::transaction t(*c.db);
    if (!feeds.empty() && !feeds.front().second.empty() && feeds.front().second != s.title)
      c.db->set_title(s.id, feeds.front().second);
    // Episodes of a feed that was never fetched (imported) are known, not new.
    for (episode &e : episodes_of(listing.json, s.id, now, s.last_update >= 0)) {
      if (!c.db->add_episode(e) || !e.is_new) continue;
      e.feed_title = feeds.empty() ? s.title : feeds.front().second;
      fresh.push_back(std::move(e));
    }
    c.db->trim_episodes(s.id);
    c.db->set_updated(s.id, now, "");
    bool moved_now = !moved.empty() && moved != s.url && c.db->move(s.id, moved);
    t.commit();
    // The body is in the database now: neither the transport nor the library's response cache
    // needs to hold it for the rest of the run.
    c.net.forget(s.url);
    vepod_cache_clear();
    if (moved_now)
      std::printf("moved permanently: %s -> %s\n", shown_url(s.url).c_str(),
                  shown_url(moved).c_str());
  }
  std::stable_sort(fresh.begin(), fresh.end(), [](const episode &a, const episode &b) {
    return a.published_ms > b.published_ms;
  });
  if (fresh.empty())
    std::printf("no new episodes\n");
  else
    print_stored_episodes(stdout, fresh, true);
  if (failed == 0) return k_exit_ok;
  return failed == static_cast<int>(c.subscribed.size()) ? last_exit : k_exit_partial;
}

int cmd_episodes(const options &o) {
  if (o.args.size() > 1) return usage_error(o, "takes one feed at most");
  std::unique_ptr<store> db = open_store(o);
  int64_t feed = 0;
  if (!o.args.empty()) {
    std::vector<subscription> all = db->subscriptions();
    const subscription *s = find_subscription(all, o.args[0]);
    if (s == nullptr)
      return report(o.command, k_exit_nothing,
                    "no subscription " + o.args[0] + " (see 'vepod subscriptions')");
    feed = s->id;
  }
  std::vector<episode> found = db->episodes(feed, o.only_new, o.limit);
  if (o.json) {
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *list = yyjson_mut_arr(doc);
    yyjson_mut_doc_set_root(doc, list);
    for (const episode &e : found) {
      yyjson_mut_val *item = yyjson_mut_arr_add_obj(doc, list);
      yyjson_mut_obj_add_strcpy(doc, item, "feed", e.feed_title.c_str());
      yyjson_mut_obj_add_strcpy(doc, item, "id", e.guid.c_str());
      yyjson_mut_obj_add_strcpy(doc, item, "title", e.title.c_str());
      yyjson_mut_obj_add_int(doc, item, "mtime_ms", e.published_ms);
      yyjson_mut_obj_add_int(doc, item, "duration_s", e.duration_s);
      yyjson_mut_obj_add_int(doc, item, "size", e.size);
      yyjson_mut_obj_add_strcpy(doc, item, "url", e.media_url.c_str());
      yyjson_mut_obj_add_bool(doc, item, "new", e.is_new && e.downloaded < 0 && e.played < 0);
      yyjson_mut_obj_add_bool(doc, item, "played", e.played >= 0);
      if (e.downloaded >= 0) yyjson_mut_obj_add_strcpy(doc, item, "file", e.file.c_str());
    }
    char *text = yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr);
    yyjson_mut_doc_free(doc);
    if (text == nullptr) return report(o.command, k_exit_failure, "out of memory");
    print_json(stdout, text, o.pretty);
    std::free(text);
    return found.empty() ? k_exit_nothing : k_exit_ok;
  }
  if (found.empty())
    return report(o.command, k_exit_nothing, o.only_new ? "no new episodes" : "no episodes");
  print_stored_episodes(stdout, found, feed == 0);
  return k_exit_ok;
}

int cmd_played(const options &o) {
  if (!o.args.empty()) return usage_error(o, "takes no arguments (choose with --feed)");
  std::unique_ptr<store> db;
  std::vector<subscription> feeds;
  if (int rc = choose_feeds(o, db, feeds)) return rc;
  const char *mark = o.unplayed ? "unplayed" : "played";
  int changed = 0, failed = 0, last_exit = k_exit_ok;
  const int64_t now = now_s();
  for (const subscription &s : feeds) {
    std::vector<episode> chosen;
    if (int rc = choose_episodes(o, *db, s, chosen)) {
      failed++;
      last_exit = rc;
      continue;
    }
    int marked = 0;
    store::transaction t(*db);
    for (const episode &e : chosen) {
      if (!db->mark_played(e.id, !o.unplayed, now)) continue;
      marked++;
      // --all may mark hundreds: one line for the feed then, else one for each episode.
      if (!o.all)
        std::printf("%s: %s (%s)\n", mark, terminal_text(e.title).c_str(),
                    terminal_text(e.feed_title).c_str());
    }
    t.commit();
    if (o.all && marked > 0)
      std::printf("%s: %s of %s\n", mark, counted(marked, "episode").c_str(),
                  s.title.empty() ? shown_url(s.url).c_str() : terminal_text(s.title).c_str());
    changed += marked;
  }
  if (changed == 0 && failed == 0) std::printf("nothing to change\n");
  if (failed == 0) return k_exit_ok;
  return failed == static_cast<int>(feeds.size()) ? last_exit : k_exit_partial;
}

// MARK: OPML

int cmd_import(const options &o) {
  if (o.args.size() != 1) return usage_error(o, "takes one OPML FILE");
  const std::string &path = o.args[0];
  std::string data, error;
  if (!read_file(path, data, error, k_max_opml_bytes))
    return report(o.command, k_exit_failure, error);
  pugi::xml_document doc;
  pugi::xml_parse_result parsed = doc.load_buffer(data.data(), data.size());
  if (!parsed)
    return report(o.command, k_exit_failure,
                  path + ": " + parsed.description() + " at byte " + std::to_string(parsed.offset));
  if (!doc.child("opml")) return report(o.command, k_exit_failure, path + ": not an OPML document");
  // Outlines nest in folders of any depth; every one with a feed URL counts.
  pugi::xpath_node_set outlines = doc.select_nodes("/opml/body//outline[@xmlUrl]");
  if (outlines.size() > k_max_import)
    return report(o.command, k_exit_failure,
                  path + ": " + std::to_string(outlines.size()) + " feeds, more than the " +
                      std::to_string(k_max_import) + " one import takes");
  std::unique_ptr<store> db = open_store(o);
  store::transaction t(*db);
  std::set<std::string> seen;
  for (const subscription &s : db->subscriptions()) seen.insert(url_key(s.url));
  int added = 0, skipped = 0;
  size_t number = 0;
  for (const pugi::xpath_node &node : outlines) {
    pugi::xml_node outline = node.node();
    std::string title = outline.attribute("title").value();
    if (title.empty()) title = outline.attribute("text").value();
    title = cut_bytes(title, store::k_max_title);
    number++;
    const std::string name = title.empty()
                                 ? "outline " + std::to_string(number)
                                 : "outline '" + fit_width(terminal_text(title), 60) + "'";
    std::string url, why;
    if (!check_url(outline.attribute("xmlUrl").value(), url, why)) {
      skipped++;
      report(o.command, k_exit_ok, "skipped " + name + ": its URL " + why);
      continue;
    }
    if (!seen.insert(url_key(url)).second) {
      skipped++;
      report(o.command, k_exit_ok,
             "skipped " + name + ": already subscribed (" + redact_url(url) + ")");
      continue;
    }
    db->subscribe(url, title);
    added++;
  }
  t.commit();
  std::printf("imported %s (%d skipped); 'vepod update' fetches them\n",
              counted(added, "subscription").c_str(), skipped);
  return added == 0 && skipped == 0 ? report(o.command, k_exit_nothing, "no feeds in " + path)
                                    : k_exit_ok;
}

int cmd_export(const options &o) {
  if (o.args.size() > 1) return usage_error(o, "takes one FILE at most");
  std::unique_ptr<store> db = open_store(o);
  pugi::xml_document doc;
  pugi::xml_node decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
  pugi::xml_node opml = doc.append_child("opml");
  opml.append_attribute("version") = "2.0";
  pugi::xml_node head = opml.append_child("head");
  head.append_child("title").text() = "vepod subscriptions";
  char created[64];
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  std::strftime(created, sizeof created, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  head.append_child("dateCreated").text() = created;
  pugi::xml_node body = opml.append_child("body");
  for (const subscription &s : db->subscriptions()) {
    pugi::xml_node outline = body.append_child("outline");
    // terminal_text leaves nothing XML 1.0 forbids (its C0 characters), and nothing a terminal
    // acts on when the document goes to standard output.
    const std::string title = terminal_text(s.title.empty() ? s.url : s.title);
    outline.append_attribute("type") = "rss";
    outline.append_attribute("text") = title.c_str();
    outline.append_attribute("title") = title.c_str();
    outline.append_attribute("xmlUrl") = terminal_text(s.url).c_str();
  }
  std::ostringstream text;
  doc.save(text, "  ");
  if (o.args.empty()) {
    std::fputs(text.str().c_str(), stdout);
    return k_exit_ok;
  }
  std::string error;
  if (!write_whole_file(o.args[0], text.str(), error))
    return report(o.command, k_exit_failure, error);
  return k_exit_ok;
}
