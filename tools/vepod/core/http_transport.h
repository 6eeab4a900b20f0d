// The command-line host's HTTP transport: a tervala_io record backed by libcurl, keeping bodies
// and validators in the program's database so that conditional requests work across runs.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "vepod.h"

class store;

struct http_options {
  long connect_timeout_ms = 10000;
  long timeout_ms = 30000;
  std::string user_agent = "vepod";
  // A stored body younger than this is answered without a request (the library's default).
  int64_t max_age_s = 21600;
};

// What the last request for a URL came to, for naming each failed URL with its cause.
struct fetch_outcome {
  bool answered = false;  // a response arrived (else `error` says why not)
  int status = 0;
  std::string error;
  std::string body;
  std::string moved_to;  // where a chain of permanent redirects (301/308) from the URL ended
  bool stored = false;   // answered from the database within max-age, without a request
  int64_t fetched = 0;   // when the body last came from the server (Unix seconds)
};

struct curl_multi_deleter {
  void operator()(CURLM *multi) const { curl_multi_cleanup(multi); }
};

// One transport for the whole process; the library may call `get` from several threads at once.
// curl_global_init must have run before the first request (the program's main does it).
class http_transport {
 public:
  // Redirects followed per request: chains of tracking prefixes in front of a host run long, a
  // loop still ends.
  static constexpr int k_max_redirects = 20;
  // Requests at once to one host, as browsers do: many shows share one hosting platform, and a
  // server should not see a burst from one client.
  static constexpr int k_max_per_host = 6;
  // Bodies above this fail in the transport; the library refuses documents above 16 MiB itself,
  // with its own message, so the cap sits a little above that.
  static constexpr size_t k_max_body = 17u << 20;

  // `bodies` may be null: then nothing is kept between runs; a read-only store is read only.
  http_transport(http_options options, store *bodies);
  http_transport(const http_transport &) = delete;
  http_transport &operator=(const http_transport &) = delete;

  // The record to hand to vepod_set_io(); valid while this object lives.
  const tervala_io *io() const { return &io_; }

  // The last request's outcome for `url`; false when it was not requested.
  bool outcome(const std::string &url, fetch_outcome &out);

  // Fetches every URL at once, at most `jobs` transfers and k_max_per_host to one host, over
  // shared connections; the library's get of one of them is answered from what came back (until
  // forget), without another request. `ready(i)` runs, in the order of the URLs, as soon as
  // URL i and every one before it are done: what it writes is kept if the run is cut short.
  // It may call the library, which may fetch other URLs.
  void prefetch(const std::vector<std::string> &urls, int jobs,
                const std::function<void(size_t)> &ready);
  // Drops what is kept for `url`, with its body: the outcome, and what prefetch kept (a later
  // get fetches it again).
  void forget(const std::string &url);

 private:
  static int get(void *ctx, const char *url, char **body_out, int *status_out, char **error_out);
  static int post(void *ctx, const char *url, const void *request_a, const void *request_b,
                  char **body_out, int *status_out, char **error_out);
  static void release(void *ctx, void *p);

  int fetch(const std::string &url, char **body_out, int *status_out, char **error_out);
  // The fetch engine: stored bodies within max-age answer at once, the others go over the
  // network with their validators; each URL's outcome is kept in outcomes_ and `done(i)` runs,
  // in the order given, once it and those before it are there. A stored body is read from the
  // database only then, and no transfer starts while `jobs` bodies wait for their turn, so that
  // the bodies in memory stay as many as the transfers at once, however many URLs there are.
  void run(const std::vector<std::string> &urls, int jobs, const std::function<void(size_t)> &done);

  http_options options_;
  store *bodies_;
  tervala_io io_;
  std::mutex mutex_;  // guards bodies_, outcomes_ and prepared_
  std::map<std::string, fetch_outcome> outcomes_;
  std::set<std::string> prepared_;  // URLs a prefetch answered, their outcome in outcomes_
  // One multi handle for the process, so that connections are reused from one request to the
  // next; one engine run at a time uses it.
  std::mutex engine_mutex_;
  std::unique_ptr<CURLM, curl_multi_deleter> multi_;
};
