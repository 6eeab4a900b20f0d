// Operations on several threads at once: no data race on library state, and counters that add up.
// Built and run under ThreadSanitizer by the test script as well.

#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "vepod.h"

namespace {

constexpr const char *kFeed = R"(<rss><channel><title>Shared</title>
  <item><title>One</title><guid>1</guid><enclosure url="http://m/1.mp3"/></item>
  <item><title>Two</title><enclosure url="http://m/2.mp3"/></item>
</channel></rss>)";

long counter(const char *group, const char *name) {
  const char *text = vepod_stats_json();
  yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
  long value =
      long(yyjson_get_sint(yyjson_obj_get(yyjson_obj_get(yyjson_doc_get_root(doc), group), name)));
  yyjson_doc_free(doc);
  return value;
}

TEST(Concurrency, OperationsOnFourThreadsCountExactly) {
  vepod_fake_reset();
  vepod_cache_clear();
  ASSERT_EQ(vepod_fake_set("http://h/feed", 200, kFeed), 0);
  const char *settings = R"({"URL":"http://h/feed"})";
  const long kept_before = counter("items", "kept");
  const long fallback_before = counter("items", "guid_fallback");
  const long parsed_before = counter("feeds", "parsed");
  const long hits_before = counter("cache", "hits");
  const long misses_before = counter("cache", "misses");

  constexpr int kThreads = 4, kRounds = 25;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      std::vector<char> out(1 << 14);
      for (int r = 0; r < kRounds; r++) {
        failures[t] += vepod_validate(settings, out.data(), int32_t(out.size())) != 0;
        failures[t] += vepod_list(settings, "http://h/feed", out.data(), int32_t(out.size())) != 0;
        failures[t] += vepod_stream_url(settings, R"({"id":"1","path":"http://h/feed"})",
                                        out.data(), int32_t(out.size())) != 0;
        failures[t] += std::string(out.data()) != R"({"url":"http://m/1.mp3","headers":{}})";
        vepod_last_error();
        vepod_result_json();
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  for (int f : failures) EXPECT_EQ(f, 0);

  constexpr long kCalls = kThreads * kRounds;
  EXPECT_EQ(counter("items", "kept") - kept_before, 2 * kCalls);
  EXPECT_EQ(counter("items", "guid_fallback") - fallback_before, kCalls);
  EXPECT_EQ(counter("feeds", "parsed") - parsed_before, 3 * kCalls);
  // Every operation fetched the feed once, from the cache or the transport.
  EXPECT_EQ((counter("cache", "hits") - hits_before) + (counter("cache", "misses") - misses_before),
            3 * kCalls);
  EXPECT_EQ(counter("cache", "misses") - misses_before, vepod_fake_calls("http://h/feed"));
  vepod_fake_reset();
  vepod_cache_clear();
}

}  // namespace
