// `vepod search`: asks a podcast directory (the iTunes Search API, or the Podcast Index) for
// podcasts by name. The answer is a server's data like any feed: read with the JSON reader, every
// URL checked, every text shown through terminal_text, bounded in size and count.

#include <curl/curl.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "core/curl_options.h"

namespace {

constexpr const char *k_itunes_url = "https://itunes.apple.com/search";
constexpr const char *k_podcastindex_url = "https://api.podcastindex.org";
// A directory's answer for a few hundred podcasts is well under this.
constexpr size_t k_max_answer = size_t{4} << 20;
// Results asked for and kept: the iTunes Search API gives at most 200.
constexpr int64_t k_default_results = 20;
constexpr int64_t k_max_results = 200;

struct directory {
  std::string name;  // as messages name it
  std::string url;   // the request
  std::vector<std::string> headers;
  bool itunes = true;
};

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

// GETs the directory's answer: 0 with `body`, or the exit code after naming the directory and
// what went wrong.
int ask(const options &o, const directory &d, std::string &body) {
  std::string url, why;
  if (!check_url(d.url, url, why))
    return report(o.command, k_exit_usage, d.name + ": the URL " + redact_url(d.url) + " " + why);
  std::unique_ptr<CURL, curl_deleter> handle(curl_easy_init());
  std::unique_ptr<curl_slist, slist_deleter> headers;
  for (const std::string &h : d.headers) {
    curl_slist *list = curl_slist_append(headers.get(), h.c_str());
    if (list == nullptr) return report(o.command, k_exit_failure, "out of memory");
    (void)headers.release();
    headers.reset(list);
  }
  if (!handle) return report(o.command, k_exit_failure, "cannot start an HTTP request");
  CURL *c = handle.get();
  char errbuf[CURL_ERROR_SIZE] = "";
  sink got;
  curl_options option(c);
  option.set(CURLOPT_URL, url.c_str());
  option.set(CURLOPT_ERRORBUFFER, errbuf);
  option.set(CURLOPT_NOSIGNAL, 1L);
  option.set(CURLOPT_PROTOCOLS_STR, "http,https");
  option.set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  option.set(CURLOPT_FOLLOWLOCATION, 1L);
  option.set(CURLOPT_MAXREDIRS, 5L);
  option.set(CURLOPT_CONNECTTIMEOUT_MS, std::min(o.timeout_ms, 10000L));
  option.set(CURLOPT_TIMEOUT_MS, o.timeout_ms);
  option.set(CURLOPT_ACCEPT_ENCODING, "");
  option.set(CURLOPT_USERAGENT, "vepod/" VEPOD_TOOL_VERSION);
  option.set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(k_max_answer));
  option.set(CURLOPT_HTTPHEADER, headers.get());
  option.set(CURLOPT_WRITEFUNCTION, &on_body);
  option.set(CURLOPT_WRITEDATA, &got);
  if (!option.ok())
    return report(
        o.command, k_exit_failure,
        std::string("cannot set up the HTTP request: ") + curl_easy_strerror(option.result()));
  CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) {
    std::string cause = got.too_large || rc == CURLE_FILESIZE_EXCEEDED
                            ? "its answer exceeds " + std::to_string(k_max_answer >> 20) + " MiB"
                        : errbuf[0] ? errbuf
                                    : curl_easy_strerror(rc);
    return report(o.command, k_exit_network, d.name + ": " + cause);
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200)
    return report(o.command, exit_for(failure::http(static_cast<int>(status), {})),
                  d.name + ": HTTP " + std::to_string(status));
  body = std::move(got.data);
  return k_exit_ok;
}

// The results of an answer, at most `limit`, each with a feed URL that check_url takes; false
// when the answer is not the directory's JSON.
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

int cmd_search(const options &o) {
  std::string terms;
  for (const std::string &word : o.args) terms += (terms.empty() ? "" : " ") + word;
  if (terms.find_first_not_of(" \t") == std::string::npos)
    return usage_error(o, "needs the words to search for");
  if (!o.directory.empty() && o.directory != "itunes" && o.directory != "podcastindex")
    return usage_error(o, "--directory is itunes or podcastindex");
  std::unique_ptr<store> db = open_store(o);
  const int64_t limit = o.limit < 0 ? k_default_results : std::min(o.limit, k_max_results);
  const std::string key = db->setting("podcastindex-key"),
                    secret = db->setting("podcastindex-secret");
  const bool podcastindex =
      o.directory == "podcastindex" || (o.directory.empty() && !key.empty() && !secret.empty());
  directory d;
  if (podcastindex) {
    if (key.empty() || secret.empty())
      return usage_error(o,
                         "the Podcast Index needs a key and a secret: 'vepod config "
                         "podcastindex-key KEY' and 'vepod config podcastindex-secret SECRET'");
    std::string base = db->setting("podcastindex-url");
    if (base.empty()) base = k_podcastindex_url;
    while (base.ends_with("/")) base.pop_back();
    d = {"Podcast Index",
         base + "/api/1.0/search/byterm?q=" + escaped(terms) + "&max=" + std::to_string(limit),
         {},
         false};
    const std::string date = std::to_string(static_cast<int64_t>(std::time(nullptr)));
    d.headers = {"X-Auth-Key: " + key, "X-Auth-Date: " + date,
                 "Authorization: " + sha1_hex(key + secret + date)};
  } else {
    std::string base = db->setting("search-url");
    if (base.empty()) base = k_itunes_url;
    d = {"iTunes Search API",
         base + (base.find('?') == std::string::npos ? "?" : "&") +
             "media=podcast&term=" + escaped(terms) + "&limit=" + std::to_string(limit),
         {},
         true};
  }
  for (const std::string &h : d.headers)
    if (h.find_first_of("\r\n") != std::string::npos)
      return usage_error(o, "the Podcast Index key and secret must be one line each");
  std::string body;
  if (int rc = ask(o, d, body)) return rc;
  std::vector<search_result> results;
  if (!read_results(d, body, limit, results))
    return report(o.command, k_exit_failure, d.name + ": the answer is not its JSON");
  {
    store::transaction t(*db);
    db->save_search(results);
    t.commit();
  }
  if (o.json) {
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *list = yyjson_mut_arr(doc);
    yyjson_mut_doc_set_root(doc, list);
    for (size_t i = 0; i < results.size(); i++) {
      yyjson_mut_val *item = yyjson_mut_arr_add_obj(doc, list);
      yyjson_mut_obj_add_int(doc, item, "number", static_cast<int64_t>(i + 1));
      yyjson_mut_obj_add_strcpy(doc, item, "title", results[i].title.c_str());
      yyjson_mut_obj_add_strcpy(doc, item, "author", results[i].author.c_str());
      if (results[i].episodes >= 0)
        yyjson_mut_obj_add_int(doc, item, "episodes", results[i].episodes);
      yyjson_mut_obj_add_strcpy(doc, item, "url", results[i].url.c_str());
    }
    char *text = yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr);
    yyjson_mut_doc_free(doc);
    if (text == nullptr) return report(o.command, k_exit_failure, "out of memory");
    print_json(stdout, text, o.pretty);
    std::free(text);
    return results.empty() ? k_exit_nothing : k_exit_ok;
  }
  if (results.empty())
    return report(o.command, k_exit_nothing,
                  d.name + " found no podcasts for '" + terminal_text(terms) + "'");
  print_search_results(results);
  return k_exit_ok;
}
