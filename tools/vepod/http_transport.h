// The command-line host's HTTP transport: a tervala_io record backed by libcurl, keeping bodies
// and validators in the program's database so that conditional requests work across runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

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
};

// One transport for the whole process; the library may call `get` from several threads at once.
// curl_global_init must have run before the first request (the program's main does it).
class http_transport {
 public:
  // Redirects followed per request: enough for http->https and a moved feed, short of a loop.
  static constexpr int k_max_redirects = 5;
  // Bodies above this fail in the transport; the library refuses documents above 16 MiB itself,
  // with its own message, so the cap sits a little above that.
  static constexpr size_t k_max_body = 17u << 20;

  // `bodies` may be null: then nothing is kept between runs.
  http_transport(http_options options, store *bodies);
  http_transport(const http_transport &) = delete;
  http_transport &operator=(const http_transport &) = delete;

  // The record to hand to vepod_set_io(); valid while this object lives.
  const tervala_io *io() const { return &io_; }

  // The last request's outcome for `url`; false when it was not requested.
  bool outcome(const std::string &url, fetch_outcome &out);
  // Drops the outcome kept for `url`, with its body.
  void forget(const std::string &url);

 private:
  static int get(void *ctx, const char *url, char **body_out, int *status_out, char **error_out);
  static int post(void *ctx, const char *url, const void *request_a, const void *request_b,
                  char **body_out, int *status_out, char **error_out);
  static void release(void *ctx, void *p);

  int fetch(const std::string &url, char **body_out, int *status_out, char **error_out);
  fetch_outcome request(const std::string &url, const std::string &etag,
                        const std::string &last_modified, std::string &new_etag,
                        std::string &new_last_modified);

  http_options options_;
  store *bodies_;
  tervala_io io_;
  std::mutex mutex_;
  std::map<std::string, fetch_outcome> outcomes_;
};
