#include "core/http_transport.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "core/curl_options.h"
#include "core/store.h"
#include "core/url.h"

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
  CURL *easy = nullptr;
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
    // A body whose length is announced gets its room once, not by doubling into twice its size.
    curl_off_t announced = -1;
    if (sink->data.empty() &&
        curl_easy_getinfo(sink->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
        announced > 0 && static_cast<uint64_t>(announced) <= http_transport::k_max_body)
      sink->data.reserve(static_cast<size_t>(announced));
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

void http_transport::prefetch(const std::vector<std::string> &urls, int jobs,
                              const std::function<void(size_t)> &ready) {
  run(urls, jobs, [&](size_t i) {
    {
      std::lock_guard hold(mutex_);
      prepared_.insert(urls[i]);
    }
    ready(i);
  });
}

void http_transport::forget(const std::string &url) {
  std::lock_guard hold(mutex_);
  prepared_.erase(url);
  outcomes_.erase(url);
}

int http_transport::fetch(const std::string &url, char **body_out, int *status_out,
                          char **error_out) {
  bool ready = false;
  {
    std::lock_guard hold(mutex_);
    ready = prepared_.contains(url) && outcomes_.contains(url);
  }
  if (!ready) run({url}, 1, [](size_t) {});
  // The body is copied once, into the text the library takes over, straight from the one kept.
  std::lock_guard hold(mutex_);
  auto found = outcomes_.find(url);
  if (found == outcomes_.end()) {
    *error_out = heap_text("no answer");
    return -1;
  }
  const fetch_outcome &result = found->second;
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
  // Only a prefetched answer is asked for again; the library keeps its own copy of the others.
  if (!ready) std::string().swap(found->second.body);
  return 0;
}

namespace {

// One URL on its way through the engine: the request of its current hop and what it came to.
struct transfer {
  std::string url;      // as asked
  std::string current;  // the URL of this hop
  std::string host;     // of this hop, for the per-host limit
  int hops = 0;
  bool permanent = true;    // every hop so far was 301 or 308
  bool have = false;        // a stored body with validators exists
  bool from_store = false;  // answered by the stored body, read when the outcome is handed over
  stored_body stored;       // its validators (the body stays in the database until then)
  body_sink sink;
  char errbuf[CURL_ERROR_SIZE] = "";
  std::unique_ptr<CURL, curl_deleter> easy;
  std::unique_ptr<curl_slist, slist_deleter> headers;
  fetch_outcome result;
};

}  // namespace

// Set while this thread drives the engine: a fetch made from a prefetch's `ready` (the library
// following a page's feed links) runs on a multi handle of its own.
thread_local bool t_in_engine = false;

void http_transport::run(const std::vector<std::string> &urls, int jobs,
                         const std::function<void(size_t)> &done) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  // Declared before the transfers: their easy handles leave it when they go, even on a throw.
  std::unique_ptr<CURLM, curl_multi_deleter> nested;
  std::vector<transfer> all(urls.size());
  std::vector<bool> finished(urls.size(), false);
  std::deque<transfer *> waiting;
  for (size_t i = 0; i < urls.size(); i++) {
    transfer &t = all[i];
    t.url = t.current = urls[i];
    t.host = url_host(t.current);
    if (bodies_ != nullptr) {
      std::lock_guard hold(mutex_);
      t.have = bodies_->load_validators(t.url, t.stored);
    }
    if (t.have && now - t.stored.fetched < options_.max_age_s) {
      t.result = {true, 200, {}, {}, {}, true, t.stored.fetched};
      t.from_store = true;
      finished[i] = true;
      continue;
    }
    waiting.push_back(&t);
  }

  std::unique_lock engine(engine_mutex_, std::defer_lock);
  if (t_in_engine) {
    nested.reset(curl_multi_init());
  } else {
    engine.lock();
    if (!multi_) multi_.reset(curl_multi_init());
  }
  CURLM *multi = nested ? nested.get() : multi_.get();
  struct engine_flag {
    bool outer = !t_in_engine;
    engine_flag() { t_in_engine = true; }
    ~engine_flag() {
      if (outer) t_in_engine = false;
    }
  } flag;
  std::map<std::string, int> per_host;
  int active = 0;
  size_t next = 0;  // the first URL not handed to `done` yet

  auto hand_over = [&] {
    for (; next < all.size() && finished[next]; next++) {
      transfer &t = all[next];
      {
        std::lock_guard hold(mutex_);
        stored_body stored;
        if (t.from_store && bodies_->load_body(t.url, stored)) {
          t.result.body = std::move(stored.body);
        } else if (t.from_store) {
          t.result = {};
          t.result.error = "the stored copy of the feed is gone; try again";
        }
        outcomes_[t.url] = std::move(t.result);
      }
      done(next);
    }
  };
  // Bodies that arrived and wait for an earlier URL: they count against `jobs` as transfers do.
  auto held = [&] {
    int count = 0;
    for (size_t i = next; i < all.size(); i++) count += finished[i] && !all[i].result.body.empty();
    return count;
  };

  auto start = [&](transfer &t) {
    t.easy.reset(curl_easy_init());
    t.sink = {};
    t.sink.easy = t.easy.get();
    t.errbuf[0] = '\0';
    CURL *c = t.easy.get();
    if (c == nullptr) {
      t.result.error = "cannot start an HTTP request";
      return false;
    }
    if (!t.headers) {
      auto add_header = [&t](const std::string &line) {
        if (curl_slist *list = curl_slist_append(t.headers.get(), line.c_str())) {
          (void)t.headers.release();
          t.headers.reset(list);
        }
      };
      if (t.have && !t.stored.etag.empty()) add_header("If-None-Match: " + t.stored.etag);
      if (t.have && !t.stored.last_modified.empty())
        add_header("If-Modified-Since: " + t.stored.last_modified);
    }
    curl_options option(c);
    option.set(CURLOPT_PRIVATE, &t);
    // Redirects are followed here, hop by hop, each checked before it is asked for.
    option.request(t.current.c_str(), t.errbuf);
    option.set(CURLOPT_CONNECTTIMEOUT_MS, options_.connect_timeout_ms);
    option.set(CURLOPT_TIMEOUT_MS, options_.timeout_ms);
    option.set(CURLOPT_ACCEPT_ENCODING, "");  // every encoding this libcurl decodes
    option.set(CURLOPT_USERAGENT, options_.user_agent.c_str());
    option.set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(k_max_body));
    option.set(CURLOPT_HTTPHEADER, t.headers.get());
    option.set(CURLOPT_WRITEFUNCTION, &on_body);
    option.set(CURLOPT_WRITEDATA, &t.sink);
    if (!option.ok()) {
      t.result.error =
          std::string("cannot set up the HTTP request: ") + curl_easy_strerror(option.result());
      t.easy.reset();
      return false;
    }
    if (multi == nullptr || curl_multi_add_handle(multi, c) != CURLM_OK) {
      t.result.error = "cannot start an HTTP request";
      t.easy.reset();
      return false;
    }
    active++;
    per_host[t.host]++;
    return true;
  };

  // Waiting transfers start in order as long as their host and the whole run have room.
  // The first URL not handed over always may start: every other one waits for it.
  auto start_ready = [&] {
    const int waiting_bodies = held();
    for (auto it = waiting.begin(); it != waiting.end() && active < jobs;) {
      transfer &t = **it;
      const bool first = next < all.size() && &t == &all[next];
      if (per_host[t.host] >= k_max_per_host || (!first && active + waiting_bodies >= jobs)) {
        ++it;
        continue;
      }
      it = waiting.erase(it);
      start(t);
    }
  };

  // Redirects are followed here, not by libcurl, so that the engine knows whether every hop was
  // permanent and each hop counts against its own host.
  auto finish = [&](transfer &t, CURLcode rc) {
    CURL *c = t.easy.get();
    curl_multi_remove_handle(multi, c);
    active--;
    per_host[t.host]--;
    if (rc != CURLE_OK) {
      t.result.error = t.sink.too_large || rc == CURLE_FILESIZE_EXCEEDED
                           ? "response body exceeds the 17 MiB limit"
                       : t.sink.no_memory ? "out of memory"
                       : t.errbuf[0]      ? t.errbuf
                                          : curl_easy_strerror(rc);
      t.easy.reset();
      finished[static_cast<size_t>(&t - all.data())] = true;
      return;
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    char *location = nullptr;
    curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location);
    if (is_redirect(status) && location != nullptr) {
      if (t.hops == k_max_redirects) {
        t.result.error = "more than " + std::to_string(k_max_redirects) + " redirects";
        t.easy.reset();
        finished[static_cast<size_t>(&t - all.data())] = true;
        return;
      }
      // A redirect is a URL the server hands over: checked like any other before it is
      // followed or stored as where a feed moved.
      std::string next, why;
      if (!check_url(location, next, why)) {
        t.result.error = "redirected to a URL that " + why;
        t.easy.reset();
        finished[static_cast<size_t>(&t - all.data())] = true;
        return;
      }
      t.hops++;
      t.permanent = t.permanent && (status == 301 || status == 308);
      t.current = std::move(next);
      t.host = url_host(t.current);
      if (t.permanent) t.result.moved_to = t.current;
      t.easy.reset();
      waiting.push_front(&t);
      return;
    }
    t.result.answered = true;
    t.result.status = static_cast<int>(status);
    t.result.body = std::move(t.sink.data);
    t.result.fetched = now;
    std::string etag = header_of(c, "ETag"), last_modified = header_of(c, "Last-Modified");
    t.easy.reset();
    finished[static_cast<size_t>(&t - all.data())] = true;
    // The 304 is resolved here, from the body on disk: the library never sees one, so it never
    // needs a body its own cache may have dropped.
    std::lock_guard hold(mutex_);
    if (t.result.status == 304 && t.have) {
      t.result.status = 200;
      t.from_store = true;
      if (bodies_->writable()) bodies_->touch_body(t.url, now);
    } else if (t.result.status >= 200 && t.result.status <= 299 && bodies_ != nullptr &&
               bodies_->writable()) {
      bodies_->save_body(t.url, {t.result.body, etag, last_modified, now});
    }
  };

  // A transfer that could not start is done with its error.
  auto start_ready_or_fail = [&] {
    start_ready();
    for (transfer &t : all)
      if (!t.easy && !t.result.error.empty()) finished[static_cast<size_t>(&t - all.data())] = true;
  };
  // Handing over makes room for waiting transfers, which may fail to start and be handed over.
  auto advance = [&] {
    for (size_t before = SIZE_MAX; before != next;) {
      before = next;
      start_ready_or_fail();
      hand_over();
    }
  };
  advance();
  while (active > 0) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) break;
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      transfer *t = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &t);
      finish(*t, message->data.result);
    }
    advance();
    if (active > 0) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  // Only a failing multi handle leaves transfers behind; each says so.
  for (transfer &t : all) {
    if (t.easy) {
      curl_multi_remove_handle(multi, t.easy.get());
      t.easy.reset();
    }
    size_t i = static_cast<size_t>(&t - all.data());
    if (!finished[i]) {
      t.result.error = "the HTTP engine failed";
      finished[i] = true;
    }
  }
  hand_over();
}
