// What several test programs share: the statistics reader and the catalogue fixtures.
#pragma once

#include <map>
#include <string>

namespace vepod_test {

// The counters of vepod_stats_json() by key path ("http.gets", "feeds.rejected", ...).
std::map<std::string, long> counters();

// A settings document whose "URL" holds urls (lines joined by '\n').
std::string settings_for(const std::string &urls);

// An operation's code and the text it wrote into its buffer.
struct Answer {
  int code;
  std::string text;
};

// The exports run with a buffer large enough for every fixture.
Answer validate(const std::string &settings);
Answer list(const std::string &settings, const char *path);

// The "error" member of an error document, or a marker when the document is not one.
std::string error_member(const char *doc);

}  // namespace vepod_test
