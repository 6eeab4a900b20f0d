// Subscribing: a URL checked as a player checks a source it saves (a feed with episodes, or a page
// announcing feeds), each feed recorded with what it holds now.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/library.h"
#include "core/store.h"

class session;

// What subscribing did for one feed (or, when the source failed, for the source).
struct subscribed_feed {
  std::string url;         // the feed's URL as kept, or the URL whose listing failed
  std::string title;       // the feed's title
  bool already = false;    // a subscription follows it already: nothing was changed
  size_t episodes = 0;     // recorded, all but the newest `keep_new` as known, not new
  failure problem;         // none when subscribed or already subscribed
  bool by_source = false;  // the problem is the library's answer for `url`, not the feed's own
                           // URL being refused
  std::vector<source_failure> failed;  // by_source: each URL that failed, as the library named it
};

// Subscribes to `url` through the library (answered over `net`): a feed, or each feed the page at
// `url` announces, whose URLs are checked like any other. What a feed holds now is known, not new;
// its newest `keep_new` episodes are left new, for a first download. Each feed is recorded in a
// transaction of its own. Throws store_error.
std::vector<subscribed_feed> subscribe_source(store &db, session &net, const std::string &url,
                                              int64_t keep_new);
