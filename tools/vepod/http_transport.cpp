#include "http_transport.h"

#include <curl/curl.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "store.h"
#include "url.h"

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

std::string header_of(CURL *curl, const char *name) {
  curl_header *header = nullptr;
  if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return {};
  return header->value;
}

bool is_redirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

struct curl_deleter {
  void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
};
struct slist_deleter {
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

}  // namespace

http_transport::http_transport(http_options options, store *bodies)
    : options_(std::move(options)), bodies_(bodies), io_{this, &get, &post, &release} {}

int http_transport::get(void *ctx, const char *url, char **body_out, int *status_out,
                        char **error_out) {
  // The library calls through a C record: nothing may propagate out of here.
  try {
    if (url == nullptr) {
      *error_out = heap_text("no URL");
      return -1;
    }
    return static_cast<http_transport *>(ctx)->fetch(url, body_out, status_out, error_out);
  } catch (const std::bad_alloc &) {
    *error_out = heap_text("out of memory");
  } catch (const std::exception &e) {
    *error_out = heap_text(e.what());
  }
  return -1;
}

int http_transport::post(void *, const char *, const void *, const void *, char **, int *,
                         char **error_out) {
  *error_out = heap_text("POST is not supported by this transport");
  return -1;
}

void http_transport::release(void *, void *p) { std::free(p); }

bool http_transport::outcome(const std::string &url, fetch_outcome &out) {
  std::lock_guard hold(mutex_);
  auto found = outcomes_.find(url);
  if (found == outcomes_.end()) return false;
  out = found->second;
  return true;
}

void http_transport::forget(const std::string &url) {
  std::lock_guard hold(mutex_);
  outcomes_.erase(url);
}

int http_transport::fetch(const std::string &url, char **body_out, int *status_out,
                          char **error_out) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  stored_body stored;
  bool have = false;
  if (bodies_ != nullptr) {
    std::lock_guard hold(mutex_);
    have = bodies_->load_body(url, stored);
  }
  fetch_outcome result;
  if (have && now - stored.fetched < options_.max_age_s) {
    result.answered = true;
    result.status = 200;
    result.body = std::move(stored.body);
  } else {
    std::string etag, last_modified;
    result = request(url, have ? stored.etag : "", have ? stored.last_modified : "", etag,
                     last_modified);
    // The 304 is resolved here, from the body on disk: the library never sees one, so it never
    // needs a body its own cache may have dropped.
    std::lock_guard hold(mutex_);
    if (result.answered && result.status == 304 && have) {
      result.status = 200;
      result.body = std::move(stored.body);
      bodies_->touch_body(url, now);
    } else if (result.answered && result.status >= 200 && result.status <= 299 &&
               bodies_ != nullptr) {
      bodies_->save_body(url, {result.body, etag, last_modified, now});
    }
  }
  {
    std::lock_guard hold(mutex_);
    outcomes_[url] = result;
  }
  if (!result.answered) {
    *error_out = heap_text(result.error);
    return -1;
  }
  *body_out = heap_text(result.body);
  if (*body_out == nullptr) {
    *error_out = heap_text("out of memory");
    return -1;
  }
  *status_out = result.status;
  return 0;
}

// Follows redirects itself, so that it knows whether every hop was permanent.
fetch_outcome http_transport::request(const std::string &url, const std::string &etag,
                                      const std::string &last_modified, std::string &new_etag,
                                      std::string &new_last_modified) {
  fetch_outcome result;
  std::unique_ptr<CURL, curl_deleter> curl(curl_easy_init());
  if (!curl) {
    result.error = "cannot start an HTTP request";
    return result;
  }
  std::unique_ptr<curl_slist, slist_deleter> headers;
  auto add_header = [&headers](const std::string &line) {
    if (curl_slist *list = curl_slist_append(headers.get(), line.c_str())) {
      (void)headers.release();
      headers.reset(list);
    }
  };
  if (!etag.empty()) add_header("If-None-Match: " + etag);
  if (!last_modified.empty()) add_header("If-Modified-Since: " + last_modified);

  char errbuf[CURL_ERROR_SIZE] = "";
  CURL *c = curl.get();
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, options_.connect_timeout_ms);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, options_.timeout_ms);
  curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");  // every encoding this libcurl decodes
  curl_easy_setopt(c, CURLOPT_USERAGENT, options_.user_agent.c_str());
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(k_max_body));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &on_body);

  std::string current = url;
  bool permanent = true;
  for (int hop = 0;; hop++) {
    body_sink sink;
    errbuf[0] = '\0';
    curl_easy_setopt(c, CURLOPT_URL, current.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
      result.error = sink.too_large || rc == CURLE_FILESIZE_EXCEEDED
                         ? "response body exceeds the 17 MiB limit"
                     : sink.no_memory ? "out of memory"
                     : errbuf[0]      ? errbuf
                                      : curl_easy_strerror(rc);
      return result;
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    char *location = nullptr;
    curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location);
    if (is_redirect(status) && location != nullptr) {
      if (hop == k_max_redirects) {
        result.error = "more than " + std::to_string(k_max_redirects) + " redirects";
        return result;
      }
      // A redirect is a URL the server hands over: checked like any other before it is
      // followed or stored as where a feed moved.
      std::string next, why;
      if (!check_url(location, next, why)) {
        result.error = "redirected to a URL that " + why;
        return result;
      }
      permanent = permanent && (status == 301 || status == 308);
      current = std::move(next);
      if (permanent) result.moved_to = current;
      continue;
    }
    result.answered = true;
    result.status = static_cast<int>(status);
    result.body = std::move(sink.data);
    new_etag = header_of(c, "ETag");
    new_last_modified = header_of(c, "Last-Modified");
    return result;
  }
}
