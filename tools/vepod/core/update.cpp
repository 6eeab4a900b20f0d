#include "core/update.h"

#include <cstdlib>
#include <memory>
#include <new>
#include <string_view>

#include "core/library.h"
#include "core/session.h"
#include "core/text.h"
#include "core/url.h"
#include "vepod.h"

// The entry as the database keeps it: what hands the episode back to the library (its path,
// id and media URL) and what a table shows, each text bounded; the rest the feed says again.
std::string stored_entry(yyjson_val *entry) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  if (doc == nullptr) throw std::bad_alloc();
  std::unique_ptr<yyjson_mut_doc, void (*)(yyjson_mut_doc *)> owner(doc, yyjson_mut_doc_free);
  yyjson_mut_val *kept = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, kept);
  size_t index, max;
  yyjson_val *key, *value;
  yyjson_obj_foreach(entry, index, max, key, value) {
    const std::string_view name(yyjson_get_str(key), yyjson_get_len(key));
    const bool handle = name == "path" || name == "id" || name == "locator";
    const bool shown = name == "name" || name == "title" || name == "enclosure_type";
    if (yyjson_is_str(value) && (handle || shown)) {
      std::string text(yyjson_get_str(value), yyjson_get_len(value));
      // The path holds the feed's URL and the id, percent-encoded: at most three bytes each.
      const size_t most = name == "path" ? 4 * store::k_max_identifier
                          : handle       ? store::k_max_identifier
                                         : store::k_max_title;
      if (text.size() > most) {
        if (handle) return {};
        text = cut_bytes(text, most);
      }
      yyjson_mut_obj_add_strncpy(doc, kept, yyjson_get_str(key), text.data(), text.size());
    } else if (yyjson_is_num(value) || yyjson_is_bool(value)) {
      yyjson_mut_obj_add(kept, yyjson_val_mut_copy(doc, key), yyjson_val_mut_copy(doc, value));
    }
  }
  char *text = yyjson_mut_write(doc, 0, nullptr);
  if (text == nullptr) throw std::bad_alloc();
  std::string written(text);
  std::free(text);
  return written;
}

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
    if (e.guid.size() > store::k_max_identifier || e.media_url.size() > store::k_max_identifier)
      continue;
    e.entry = stored_entry(entry);
    if (e.entry.empty()) continue;
    e.first_seen = seen;
    e.is_new = is_new;
    found.push_back(std::move(e));
  }
  return found;
}

std::vector<std::pair<std::string, std::string>> feeds_of(const std::string &listing) {
  std::vector<std::pair<std::string, std::string>> feeds;
  json_doc doc = read_json(listing);
  size_t index, max;
  yyjson_val *folder;
  yyjson_arr_foreach(yyjson_doc_get_root(doc.get()), index, max, folder) {
    if (!failed_folder(folder))
      feeds.emplace_back(text_member(folder, "path"), real_title(text_member(folder, "name")));
  }
  return feeds;
}

namespace {

// Why a subscription failed, in the transport's words when the transport saw the failure (a
// status or no answer), else in the library's.
failure explain_failure(session &net, const std::string &url, const answer &listing) {
  fetch_outcome got;
  if (net.outcome(url, got) && !got.answered) return failure::transport(got.error);
  if (net.outcome(url, got) && (got.status < 200 || got.status > 299))
    return failure::http(got.status, "HTTP " + std::to_string(got.status));
  return failure::library(listing.code,
                          listing.error.empty() ? std::string("no answer") : listing.error);
}

// The URL a feed announces as its new home (itunes:new-feed-url), when it is another http(s)
// URL than `own` and answers with a feed itself; "" otherwise. An announcement that does not
// answer yet is tried again at the next update.
std::string announced_move(const std::string &root_listing, const std::string &own) {
  json_doc doc = read_json(root_listing);
  std::string announced, url, why;
  announced = text_member(yyjson_arr_get(yyjson_doc_get_root(doc.get()), 0), "new_feed_url");
  if (announced.empty() || announced.size() > store::k_max_identifier ||
      !check_url(announced, url, why) || url_key(url) == url_key(own))
    return {};
  answer there = call_list(make_settings({url}), "");
  json_doc found = read_json(there.json);
  yyjson_val *first = yyjson_arr_get(yyjson_doc_get_root(found.get()), 0);
  // A page that announces feeds is no feed: its listing names other URLs.
  if (there.code != 0 || text_member(first, "path") != url) return {};
  answer listing = call_list(make_settings({url}), url);
  return listing.code == 0 ? url : std::string();
}

// What the library lists of one subscription now, recorded in one call; what the recording changed
// comes back as the subscription's update.
feed_update update_one(store &db, session &net, size_t number, const subscription &s) {
  feed_update u;
  u.number = number;
  u.before = s;
  u.title = s.title;
  const std::string settings = make_settings({s.url});
  answer root = call_list(settings, "");
  answer listing = root.code == 0 ? call_list(settings, s.url) : root;
  feed_report report;
  report.subscription = s.id;
  report.when = now_s();
  if (listing.code != 0) {
    u.problem = explain_failure(net, s.url, listing);
    report.error = u.problem.text;
    db.record_update(report);
    return u;
  }
  fetch_outcome got;
  if (net.outcome(s.url, got) && got.stored) u.checked = got.fetched;
  std::vector<std::pair<std::string, std::string>> feeds = feeds_of(root.json);
  if (!feeds.empty() && !feeds.front().second.empty()) u.title = feeds.front().second;
  report.title = u.title;
  report.moved_to = net.moved_to(s.url);
  if (report.moved_to.empty() || report.moved_to == s.url) {
    report.moved_to = announced_move(root.json, s.url);
    u.moved_by_feed = !report.moved_to.empty();
  }
  // Episodes of a feed that was never fetched (imported) are known, not new.
  report.first = s.last_update < 0;
  report.listed = episodes_of(listing.json, s.id, report.when, !report.first);
  recorded_update done = db.record_update(report);
  u.moved_to = std::move(done.moved_to);
  u.merged_into = done.merged_into;
  u.move_refused = std::move(done.move_refused);
  for (episode &e : done.fresh) {
    e.feed_title = u.title;
    e.feed_number = static_cast<int64_t>(number);
    u.fresh.push_back(std::move(e));
  }
  return u;
}

}  // namespace

update_result update_subscriptions(store &db, session &net, const std::vector<subscription> &all,
                                   int jobs) {
  std::vector<std::string> urls;
  for (const subscription &s : all) urls.push_back(s.url);
  update_result result;
  // Each subscription is written as soon as it and those before it are fetched, so that a run
  // cut short keeps what it had.
  net.prefetch(urls, jobs, [&](size_t i) {
    result.feeds.push_back(update_one(db, net, static_cast<size_t>(all[i].number), all[i]));
    // The body is in the database now: neither the transport nor the library's response cache
    // needs to hold it for the rest of the run.
    net.forget(all[i].url);
    vepod_cache_clear();
  });
  return result;
}
