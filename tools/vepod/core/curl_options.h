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
  bool ok() const { return result_ == CURLE_OK; }
  CURLcode result() const { return result_; }

 private:
  CURL *curl_;
  CURLcode result_ = CURLE_OK;
};
