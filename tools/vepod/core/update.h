// The update core: fetches the subscriptions in parallel, records what they hold in the database
// in the subscriptions' order, and returns what happened to each as data; it prints nothing.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "core/store.h"

class session;

// What one update did to one subscription.
struct feed_update {
  size_t number = 0;    // its number in 'vepod subscriptions'
  subscription before;  // as it was before the update
  std::string title;    // the feed's title now
  failure
      problem;  // none when it was updated; its text "HTTP 404", the transport's or the library's
  std::vector<episode> fresh;  // episodes that came since the last update, newest first
  std::string moved_to;        // the URL the subscription moved to; "" when it stayed
  bool moved_by_feed = false;  // the feed announced its new URL (else the server redirected)
  int64_t merged_into = 0;     // the subscription it joined, which already followed moved_to
  std::string move_refused;    // a move back to where it moved from lately, said once
  int64_t checked = -1;        // answered from the database within --max-age: when it was fetched
};

struct update_result {
  std::vector<feed_update> feeds;
};

// Updates every subscription (`all`, as store::subscriptions gives them): fetches them `jobs` at
// a time through `net`, then lists each through the library and writes its episodes, one
// subscription after the other in their order. Throws store_error.
update_result update_subscriptions(store &db, session &net, const std::vector<subscription> &all,
                                   int jobs);

// The episodes of a feed listing as the database keeps them, seen at `seen`.
std::vector<episode> episodes_of(const std::string &listing, int64_t subscription, int64_t seen,
                                 bool is_new);

// The feeds of a source's root listing: (URL, title); the URLs that failed are left out.
std::vector<std::pair<std::string, std::string>> feeds_of(const std::string &listing);
