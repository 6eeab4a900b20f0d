// Asking a podcast directory (the iTunes Search API, or the Podcast Index) for podcasts by name.
// The answer is a server's data like any feed: read with the JSON reader, every URL checked,
// every text bounded, the answer bounded in size and the results in count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/store.h"

// Results asked for when the listener names no number, and at most (the iTunes Search API gives
// no more than 200).
constexpr int64_t k_default_search_results = 20;
constexpr int64_t k_max_search_results = 200;

struct directory {
  std::string name;  // as messages name it
  std::string url;   // the request
  std::vector<std::string> headers;
  bool itunes = true;
};

// The request for `terms` and at most `limit` results. `base` is the configured address, "" for
// the directory's own; the Podcast Index signs its request with `key`, `secret` and the time.
directory itunes_directory(std::string base, const std::string &terms, int64_t limit);
directory podcastindex_directory(std::string base, const std::string &key,
                                 const std::string &secret, const std::string &terms,
                                 int64_t limit);

// Asks `d`, whose URL check_url took, and reads at most `limit` results from its answer, each
// with a feed URL that check_url takes.
failure search_directory(const directory &d, long timeout_ms, int64_t limit,
                         std::vector<search_result> &results);
