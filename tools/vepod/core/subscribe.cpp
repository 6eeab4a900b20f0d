// Subscribing: the source checked and listed through the library, each feed recorded.

#include "core/subscribe.h"

#include "core/library.h"
#include "core/session.h"
#include "core/update.h"
#include "core/url.h"

std::vector<subscribed_feed> subscribe_source(store &db, session &net, const std::string &url,
                                              int64_t keep_new) {
  std::vector<subscribed_feed> done;
  const std::string settings = make_settings({url});
  // The check a player makes when a source is saved: a feed with episodes or a page with feeds.
  answer checked = call_validate(settings);
  answer root = checked.code == 0 ? call_list(settings, "") : checked;
  if (root.code != 0) {
    done.push_back({url, {}, false, 0, root.problem(), true, failed_sources(root)});
    return done;
  }
  // A page subscribes the feeds it announces.
  for (auto [feed, title] : feeds_of(root.json)) {
    answer listing = call_list(settings, feed);
    if (listing.code != 0) {
      done.push_back({feed, title, false, 0, listing.problem(), true, {{feed, listing.problem()}}});
      continue;
    }
    // A page names its feeds itself: their URLs are checked like any other before one is kept.
    std::string moved = net.moved_to(feed), kept, why;
    if (!check_url(moved.empty() ? feed : moved, kept, why)) {
      done.push_back(
          {feed,
           title,
           false,
           0,
           failure::other("skipped " + redact_url(moved.empty() ? feed : moved) + ": it " + why),
           false,
           {}});
      continue;
    }
    const int64_t now = now_s();
    store::transaction t(db);
    int64_t id = db.subscribe(kept, title);
    if (id == 0) {
      done.push_back({kept, title, true, 0, {}, false, {}});
      continue;
    }
    std::vector<episode> episodes = episodes_of(listing.json, id, now, false);
    for (size_t i = 0; i < episodes.size() && i < static_cast<size_t>(keep_new); i++)
      episodes[i].is_new = true;
    for (auto e = episodes.rbegin(); e != episodes.rend(); ++e) db.add_episode(*e);
    db.set_updated(id, now, "");
    t.commit();
    done.push_back({kept, title, false, episodes.size(), {}, false, {}});
  }
  return done;
}
