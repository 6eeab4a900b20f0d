// What went wrong, as the core hands it back: one record whatever failed. The core never prints
// and names no exit code; the commands choose the exit code from the record (exit_for) and the
// view says its text.
#pragma once

#include <string>
#include <utility>

enum class failure_kind {
  none,
  other,        // a local file, the database, a refused name or URL, any other error
  transport,    // no answer: no connection, time-out, oversized body, too many redirects
  http,         // the server answered with a status that is not 2xx (`status`)
  library,      // one of the library's operations failed (`code`, enum vepod_code)
  interrupted,  // Ctrl-C
};

struct failure {
  failure_kind kind = failure_kind::none;
  int status = 0;    // http: the HTTP status
  int code = 0;      // library: the library's code
  std::string text;  // one line for people; URLs in it are redacted

  explicit operator bool() const { return kind != failure_kind::none; }

  static failure other(std::string text) { return {failure_kind::other, 0, 0, std::move(text)}; }
  static failure transport(std::string text) {
    return {failure_kind::transport, 0, 0, std::move(text)};
  }
  static failure http(int status, std::string text) {
    return {failure_kind::http, status, 0, std::move(text)};
  }
  static failure library(int code, std::string text) {
    return {failure_kind::library, 0, code, std::move(text)};
  }
  static failure interrupted(std::string text) {
    return {failure_kind::interrupted, 0, 0, std::move(text)};
  }
};

// The library's code for an HTTP status that is not 2xx, as the library's own fetch names it.
int code_for_status(int status);
