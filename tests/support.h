// What several test programs share: the statistics reader, the catalogue fixtures and the feed
// reader's parse fixture.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "xml/vepod_xml.h"

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

// One feed parse whose record is released when the test ends; err is filled with 'x' first, so a
// message that is not terminated shows.
struct parsed {
  vepod_feed feed;
  int32_t rc;
  vepod_failure failure;
  const char *err = failure.message;

  explicit parsed(std::string_view doc);
  ~parsed() { vepod_feed_free(&feed); }
  parsed(const parsed &) = delete;
  parsed &operator=(const parsed &) = delete;

  const vepod_item &item(int i) const { return feed.items[i]; }
};

std::string text_or_null(const char *text);

// Whether a record is as a failed parse leaves it.
bool cleared(const vepod_feed &f);

// Parses doc with each of its allocations failing in turn: every one must fail the parse with
// "out of memory" and leave the record cleared. Returns how many allocations the parse makes.
long expect_each_allocation_failure_fails_the_parse(const std::string &doc);

}  // namespace vepod_test
