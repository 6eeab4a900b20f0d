#include "core/search.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <new>

#include "core/curl_options.h"
#include "core/library.h"
#include "core/text.h"
#include "core/url.h"

namespace {

constexpr const char *k_itunes_url = "https://itunes.apple.com/search";
constexpr const char *k_podcastindex_url = "https://api.podcastindex.org";
// A directory's answer for a few hundred podcasts is well under this.
constexpr size_t k_max_answer = size_t{4} << 20;

struct curl_deleter {
  void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
};
struct slist_deleter {
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

struct sink {
  std::string data;
  bool too_large = false;
};

size_t on_body(char *data, size_t size, size_t count, void *user) {
  auto &s = *static_cast<sink *>(user);
  size_t n = size * count;
  if (n > k_max_answer - s.data.size()) {
    s.too_large = true;
    return 0;
  }
  try {
    s.data.append(data, n);
  } catch (const std::bad_alloc &) {
    return 0;
  }
  return n;
}

std::string escaped(const std::string &text) {
  char *e = curl_easy_escape(nullptr, text.c_str(), static_cast<int>(text.size()));
  std::string out = e != nullptr ? e : "";
  curl_free(e);
  return out;
}

// The lowercase hex SHA-1 of `text`: the Podcast Index's request signature.
std::string sha1_hex(const std::string &text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha1(), nullptr) != 1) return {};
  static constexpr char k_hex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; i++) {
    hex += k_hex[digest[i] >> 4];
    hex += k_hex[digest[i] & 0xF];
  }
  return hex;
}

// GETs the directory's answer into `body`.
failure ask(const directory &d, long timeout_ms, std::string &body) {
  std::unique_ptr<CURL, curl_deleter> handle(curl_easy_init());
  std::unique_ptr<curl_slist, slist_deleter> headers;
  for (const std::string &h : d.headers) {
    curl_slist *list = curl_slist_append(headers.get(), h.c_str());
    if (list == nullptr) return failure::other("out of memory");
    (void)headers.release();
    headers.reset(list);
  }
  if (!handle) return failure::other("cannot start an HTTP request");
  CURL *c = handle.get();
  char errbuf[CURL_ERROR_SIZE] = "";
  sink got;
  curl_options option(c);
  option.request(d.url.c_str(), errbuf).follow(5);
  option.set(CURLOPT_CONNECTTIMEOUT_MS, std::min(timeout_ms, 10000L));
  option.set(CURLOPT_TIMEOUT_MS, timeout_ms);
  option.set(CURLOPT_ACCEPT_ENCODING, "");
  option.set(CURLOPT_USERAGENT, "vepod/" VEPOD_TOOL_VERSION);
  option.set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(k_max_answer));
  option.set(CURLOPT_HTTPHEADER, headers.get());
  option.set(CURLOPT_WRITEFUNCTION, &on_body);
  option.set(CURLOPT_WRITEDATA, &got);
  if (!option.ok())
    return failure::other(std::string("cannot set up the HTTP request: ") +
                          curl_easy_strerror(option.result()));
  CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) {
    std::string cause = got.too_large || rc == CURLE_FILESIZE_EXCEEDED
                            ? "its answer exceeds " + std::to_string(k_max_answer >> 20) + " MiB"
                        : errbuf[0] ? errbuf
                                    : curl_easy_strerror(rc);
    return failure::transport(d.name + ": " + cause);
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200)
    return failure::http(static_cast<int>(status), d.name + ": HTTP " + std::to_string(status));
  body = std::move(got.data);
  return {};
}

// The results of an answer, at most `limit`; false when the answer is not the directory's JSON.
bool read_results(const directory &d, const std::string &body, int64_t limit,
                  std::vector<search_result> &results) {
  json_doc doc = read_json(body);
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  yyjson_val *list = yyjson_obj_get(root, d.itunes ? "results" : "feeds");
  if (!yyjson_is_arr(list)) return false;
  size_t index, max;
  yyjson_val *item;
  yyjson_arr_foreach(list, index, max, item) {
    if (static_cast<int64_t>(results.size()) == limit) break;
    search_result r;
    std::string why;
    if (!check_url(text_member(item, d.itunes ? "feedUrl" : "url"), r.url, why)) continue;
    r.title =
        cut_bytes(text_member(item, d.itunes ? "collectionName" : "title"), store::k_max_title);
    if (r.title.empty() && d.itunes)
      r.title = cut_bytes(text_member(item, "trackName"), store::k_max_title);
    r.author = cut_bytes(text_member(item, d.itunes ? "artistName" : "author"), store::k_max_title);
    yyjson_val *count = yyjson_obj_get(item, d.itunes ? "trackCount" : "episodeCount");
    if (yyjson_is_int(count) && yyjson_get_sint(count) >= 0) r.episodes = yyjson_get_sint(count);
    results.push_back(std::move(r));
  }
  return true;
}

}  // namespace

directory itunes_directory(std::string base, const std::string &terms, int64_t limit) {
  if (base.empty()) base = k_itunes_url;
  return {"iTunes Search API",
          base + (base.find('?') == std::string::npos ? "?" : "&") +
              "media=podcast&term=" + escaped(terms) + "&limit=" + std::to_string(limit),
          {},
          true};
}

directory podcastindex_directory(std::string base, const std::string &key,
                                 const std::string &secret, const std::string &terms,
                                 int64_t limit) {
  if (base.empty()) base = k_podcastindex_url;
  while (base.ends_with("/")) base.pop_back();
  const std::string date = std::to_string(static_cast<int64_t>(std::time(nullptr)));
  return {"Podcast Index",
          base + "/api/1.0/search/byterm?q=" + escaped(terms) + "&max=" + std::to_string(limit),
          {"X-Auth-Key: " + key, "X-Auth-Date: " + date,
           "Authorization: " + sha1_hex(key + secret + date)},
          false};
}

failure search_directory(const directory &d, long timeout_ms, int64_t limit,
                         std::vector<search_result> &results) {
  std::string body;
  if (failure f = ask(d, timeout_ms, body)) return f;
  if (!read_results(d, body, limit, results))
    return failure::other(d.name + ": the answer is not its JSON");
  return {};
}
