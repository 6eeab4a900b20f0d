// The command-line host's HTTP transport: a tervala_io record backed by libcurl.
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <string>

#include "vepod.h"

struct http_options {
  long connect_timeout_ms = 10000;
  long timeout_ms = 30000;
  std::string user_agent = "vepod";
};

// One transport for the whole process; the library may call `get` from several threads at once.
// curl_global_init must have run before the first request (the program's main does it).
class http_transport {
 public:
  // Redirects followed per request: enough for http->https and a moved feed, short of a loop.
  static constexpr long k_max_redirects = 5;
  // Bodies above this fail in the transport; the library refuses documents above 16 MiB itself,
  // with its own message, so the cap sits a little above that.
  static constexpr size_t k_max_body = 17u << 20;
  // The library's response cache holds 64 answers and drops the one stored longest ago. Keeping
  // validators for the same URLs, in the same order, means a 304 never asks it for a body it has
  // already dropped.
  static constexpr size_t k_validator_slots = 64;

  explicit http_transport(http_options options);
  http_transport(const http_transport &) = delete;
  http_transport &operator=(const http_transport &) = delete;

  // The record to hand to vepod_set_io(); valid while this object lives.
  const tervala_io *io() const { return &io_; }

 private:
  struct validators {
    std::string url;
    std::string etag;
    std::string last_modified;
  };

  static int get(void *ctx, const char *url, char **body_out, int *status_out, char **error_out);
  static int post(void *ctx, const char *url, const void *request_a, const void *request_b,
                  char **body_out, int *status_out, char **error_out);
  static void release(void *ctx, void *p);

  int fetch(const char *url, char **body_out, int *status_out, char **error_out);
  validators find_validators(const std::string &url);
  void remember(validators entry);

  http_options options_;
  tervala_io io_;
  std::mutex mutex_;
  std::list<validators> validators_;  // oldest store first
};
