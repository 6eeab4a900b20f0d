#include "http_transport.h"

#include <curl/curl.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

namespace {

// Every text handed to the library is malloc'ed: the record's free releases it with free().
char *heap_text(std::string_view text) {
  auto *p = static_cast<char *>(std::malloc(text.size() + 1));
  if (p) {
    std::memcpy(p, text.data(), text.size());
    p[text.size()] = '\0';
  }
  return p;
}

struct body_sink {
  std::string data;
  bool too_large = false;
  bool no_memory = false;
};

// Counts decoded bytes, so a small compressed response cannot inflate past the cap.
size_t on_body(char *ptr, size_t size, size_t nmemb, void *userdata) {
  auto *sink = static_cast<body_sink *>(userdata);
  size_t n = size * nmemb;
  if (n > http_transport::k_max_body - sink->data.size()) {
    sink->too_large = true;
    return 0;
  }
  try {
    sink->data.append(ptr, n);
  } catch (const std::bad_alloc &) {
    sink->no_memory = true;
    return 0;
  }
  return n;
}

// A header of the final response (after redirects), or "" when it has none.
std::string final_header(CURL *curl, const char *name) {
  curl_header *header = nullptr;
  if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return {};
  return header->value;
}

struct curl_deleter {
  void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
};
struct slist_deleter {
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

}  // namespace

http_transport::http_transport(http_options options)
    : options_(std::move(options)), io_{this, &get, &post, &release} {}

int http_transport::get(void *ctx, const char *url, char **body_out, int *status_out,
                        char **error_out) {
  // The library calls through a C record: nothing may propagate out of here.
  try {
    return static_cast<http_transport *>(ctx)->fetch(url, body_out, status_out, error_out);
  } catch (...) {
    *error_out = heap_text("out of memory");
    return -1;
  }
}

int http_transport::post(void *, const char *, const void *, const void *, char **, int *,
                         char **error_out) {
  *error_out = heap_text("POST is not supported by this transport");
  return -1;
}

void http_transport::release(void *, void *p) { std::free(p); }

int http_transport::fetch(const char *url, char **body_out, int *status_out, char **error_out) {
  if (url == nullptr) {
    *error_out = heap_text("no URL");
    return -1;
  }
  std::unique_ptr<CURL, curl_deleter> curl(curl_easy_init());
  if (!curl) {
    *error_out = heap_text("cannot start an HTTP request");
    return -1;
  }

  std::unique_ptr<curl_slist, slist_deleter> headers;
  auto add_header = [&headers](const std::string &line) {
    if (curl_slist *list = curl_slist_append(headers.get(), line.c_str())) {
      (void)headers.release();
      headers.reset(list);
    }
  };
  validators known = find_validators(url);
  if (!known.etag.empty()) add_header("If-None-Match: " + known.etag);
  if (!known.last_modified.empty()) add_header("If-Modified-Since: " + known.last_modified);

  char errbuf[CURL_ERROR_SIZE] = "";
  body_sink sink;
  CURL *c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, k_max_redirects);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, options_.connect_timeout_ms);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, options_.timeout_ms);
  curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");  // every encoding this libcurl decodes
  curl_easy_setopt(c, CURLOPT_USERAGENT, options_.user_agent.c_str());
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(k_max_body));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &on_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);

  CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) {
    std::string_view message = sink.too_large || rc == CURLE_FILESIZE_EXCEEDED
                                   ? "response body exceeds the 17 MiB limit"
                               : sink.no_memory ? "out of memory"
                               : errbuf[0]      ? errbuf
                                                : curl_easy_strerror(rc);
    *error_out = heap_text(message);
    return -1;
  }

  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status == 304) {
    *status_out = 304;  // the library answers from its own cache
    return 0;
  }
  *body_out = heap_text(sink.data);
  if (*body_out == nullptr) {
    *error_out = heap_text("out of memory");
    return -1;
  }
  *status_out = static_cast<int>(status);
  // The library stores every 2xx body; remember validators for exactly those answers. Without
  // memory for them the next request is simply unconditional.
  if (status >= 200 && status <= 299) {
    try {
      remember({url, final_header(c, "ETag"), final_header(c, "Last-Modified")});
    } catch (const std::bad_alloc &) {
    }
  }
  return 0;
}

http_transport::validators http_transport::find_validators(const std::string &url) {
  std::lock_guard hold(mutex_);
  for (const validators &entry : validators_)
    if (entry.url == url) return entry;
  return {};
}

void http_transport::remember(validators entry) {
  std::lock_guard hold(mutex_);
  validators_.remove_if([&entry](const validators &known) { return known.url == entry.url; });
  validators_.push_back(std::move(entry));
  if (validators_.size() > k_validator_slots) validators_.pop_front();
}
