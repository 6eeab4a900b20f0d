// Operations on several threads at once: no data race on library state, counters that add up, and
// results that belong to the thread that asked. Built and run under ThreadSanitizer by the test
// script as well.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support.h"
#include "vepod.h"

namespace {

using vepod_test::counters;

constexpr const char *kFeed = R"(<rss><channel><title>Shared</title>
  <item><title>One</title><guid>1</guid><enclosure url="http://m/1.mp3"/></item>
  <item><title>Two</title><enclosure url="http://m/2.mp3"/></item>
</channel></rss>)";

TEST(Concurrency, OperationsOnFourThreadsCountExactly) {
  vepod_fake_reset();
  vepod_cache_clear();
  ASSERT_EQ(vepod_fake_set("http://h/feed", 200, kFeed), 0);
  const char *settings = R"({"URL":"http://h/feed"})";
  auto before = counters();

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
  auto after = counters();
  auto grew = [&](const char *key) { return after[key] - before[key]; };
  EXPECT_EQ(grew("items.kept"), 2 * kCalls);
  EXPECT_EQ(grew("items.guid_fallback"), kCalls);
  EXPECT_EQ(grew("feeds.parsed"), 3 * kCalls);
  // Every operation fetched the feed once, from the cache or the transport.
  EXPECT_EQ(grew("cache.hits") + grew("cache.misses"), 3 * kCalls);
  EXPECT_EQ(grew("cache.misses"), vepod_fake_calls("http://h/feed"));
  vepod_fake_reset();
  vepod_cache_clear();
}

// Each thread lists its own feed into a buffer too small for the answer and takes the answer back
// through vepod_result_json(); vepod_last_error() names the size of its own answer. A thread that
// ran no operation sees neither.
TEST(Concurrency, ResultsBelongToTheCallingThread) {
  vepod_fake_reset();
  vepod_cache_clear();
  constexpr int kThreads = 4, kRounds = 2000;
  struct Feed {
    std::string url, settings, answer, error;
  };
  std::vector<Feed> feeds(kThreads);
  for (int t = 0; t < kThreads; t++) {
    Feed &f = feeds[t];
    f.url = "http://h/feed" + std::to_string(t);
    f.settings = vepod_test::settings_for(f.url);
    std::string doc = "<rss><channel><title>Show " + std::to_string(t) + "</title>";
    for (int i = 0; i <= t; i++) {
      doc += "<item><title>Episode " + std::to_string(i) + "</title><guid>" + std::to_string(i) +
             "</guid><enclosure url=\"http://m/" + std::to_string(t) + ".mp3\"/></item>";
    }
    ASSERT_EQ(vepod_fake_set(f.url.c_str(), 200, (doc + "</channel></rss>").c_str()), 0);
    vepod_test::Answer full = vepod_test::list(f.settings, f.url.c_str());
    ASSERT_EQ(full.code, 0) << full.text;
    f.answer = full.text;
    f.error = "output buffer too small: need " + std::to_string(f.answer.size() + 1) + " bytes";
  }

  std::vector<int> strangers(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      const Feed &f = feeds[t];
      for (int r = 0; r < kRounds; r++) {
        char out[8];
        int code = vepod_list(f.settings.c_str(), f.url.c_str(), out, sizeof out);
        strangers[t] +=
            code != -9 || vepod_result_json() != f.answer || vepod_last_error() != f.error;
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  for (int t = 0; t < kThreads; t++) EXPECT_EQ(strangers[t], 0) << "thread " << t;

  std::thread([] {
    EXPECT_STREQ(vepod_result_json(), "");
    EXPECT_STREQ(vepod_last_error(), "");
  }).join();
  vepod_fake_reset();
  vepod_cache_clear();
}

}  // namespace
