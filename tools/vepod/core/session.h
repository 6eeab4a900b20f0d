// The transport a fetching command runs on, and the preferences the core works by.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "core/http_transport.h"

class store;

// What the core works by, as plain values: the commands fill it from the command line.
struct preferences {
  long timeout_ms = 30000;
  int32_t max_age = -1;    // seconds a stored body is answered without asking; -1: the defaults
  int jobs = 8;            // feeds fetched at once by update
  std::string user_agent;  // sent with every request; "": the transport's own
  // With any, these local files (URL, file) answer instead of the network.
  std::vector<std::pair<std::string, std::string>> offline;
  // Downloads: the folder ("": the configured one, else the current one), transfers at once,
  // the largest file taken, and whether dates in file names are in UTC.
  std::string download_dir;
  int download_jobs = 3;
  uint64_t max_size = 2'000'000'000;
  bool utc = false;
};

// The transport every fetching command runs on: libcurl, or the fake transport for --offline.
class session {
 public:
  ~session();
  // `bodies` may be null. The max-age applies to the stored bodies, and to the library's
  // response cache unless `library_max_age` is false: commands that list each feed twice in a row
  // keep the library's default then.
  failure open(const preferences &p, store *bodies, bool library_max_age = true);
  // Fetches a page for the host itself (discovery), by the same rules as the library's fetches.
  failure fetch(const std::string &url, std::string &page);
  // Offline, why `url` cannot be fetched: it has no --offline file ("" otherwise).
  std::string unrouted(const std::string &url) const;
  // Where permanent redirects from `url` ended, or "".
  std::string moved_to(const std::string &url);
  // Fetches `urls` at once, `jobs` at a time, ahead of the library's calls for them, and calls
  // `ready(i)` in their order as each is done (see http_transport::prefetch); offline there is
  // nothing to fetch and `ready` runs for each at once.
  void prefetch(const std::vector<std::string> &urls, int jobs,
                const std::function<void(size_t)> &ready);
  // Drops what the session keeps of `url`'s fetch (what prefetch kept, the last outcome), its
  // body first of all.
  void forget(const std::string &url);
  // What the transport got for `url`; false offline or when it was not fetched.
  bool outcome(const std::string &url, fetch_outcome &out);

 private:
  std::unique_ptr<http_transport> http_;
  std::map<std::string, std::string> offline_;
};
