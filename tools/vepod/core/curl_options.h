// Options on one libcurl handle, set in a row: the first that fails is kept and the rest are not
// tried, so that a request is sent only when all of them hold (a libcurl that cannot keep a
// transfer to http(s) must not make it).
#pragma once

#include <curl/curl.h>

class curl_options {
 public:
  explicit curl_options(CURL *curl) : curl_(curl) {}

  template <class T>
  curl_options &set(CURLoption option, T value) {
    if (result_ == CURLE_OK) result_ = curl_easy_setopt(curl_, option, value);
    return *this;
  }
  // What every request of the client sets: its URL, where libcurl's message goes, no signals
  // (transfers run on several threads), and http(s) only, after a redirect too.
  curl_options &request(const char *url, char *errbuf) {
    return set(CURLOPT_URL, url)
        .set(CURLOPT_ERRORBUFFER, errbuf)
        .set(CURLOPT_NOSIGNAL, 1L)
        .set(CURLOPT_PROTOCOLS_STR, "http,https")
        .set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  }
  // libcurl follows up to `max` redirects itself.
  curl_options &follow(long max) {
    return set(CURLOPT_FOLLOWLOCATION, 1L).set(CURLOPT_MAXREDIRS, max);
  }

  bool ok() const { return result_ == CURLE_OK; }
  CURLcode result() const { return result_; }

 private:
  CURL *curl_;
  CURLcode result_ = CURLE_OK;
};
