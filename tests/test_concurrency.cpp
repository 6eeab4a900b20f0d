// Operations on several threads at once: no data race on library state, counters that add up, and
// results that belong to the thread that asked. Built and run under ThreadSanitizer by the test
// script as well.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fetch/vepod_fetch.h"
#include "support.h"
#include "util/vepod_date.h"
#include "vepod.h"

namespace {

using vepod_test::counters;

constexpr const char *kFeed = R"(<rss><channel><title>Shared</title>
  <item><title>One</title><guid>1</guid><enclosure url="http://m/1.mp3"/></item>
  <item><title>Two</title><enclosure url="http://m/2.mp3"/></item>
</channel></rss>)";

// Dates and durations keep no state between calls: each thread reads its own values and gets its
// own answers (and ThreadSanitizer sees no shared buffer).
TEST(Concurrency, DatesAndDurationsParseOnSeveralThreads) {
  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  std::vector<int> wrong(kThreads, 0);
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&wrong, t] {
      const std::string duration = "0" + std::to_string(t) + ":02:03";
      const std::string date = "2006-01-0" + std::to_string(2 + t) + "T15:04:05Z";
      const std::string rfc822 = "Mon, 0" + std::to_string(2 + t) + " Jan 2006 15:04:05 GMT";
      const int64_t day = 86400000;
      for (int i = 0; i < 2000; i++) {
        wrong[t] += vepod_parse_duration(duration.c_str()) != t * 3600 + 123;
        wrong[t] += vepod_parse_date(date.c_str()) != 1136214245000 + t * day;
        wrong[t] += vepod_parse_date(rfc822.c_str()) != 1136214245000 + t * day;
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  for (int t = 0; t < kThreads; t++) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

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

// A transport that holds its answer until `waiters` other callers wait for the same URL, so that
// only sharing the fetch in flight keeps it to one call. It gives up waiting after a while, so that
// a library that does not share fails the count instead of hanging.
struct slow_transport {
  int rc;
  int status;
  const char *body;   // handed out as a malloc'ed copy, or NULL
  const char *error;  // kept by the transport (the record has no free)
  size_t waiters;
  std::atomic<int> calls{0};
  bool throws = false;  // as a C++ host's transport might
};

int slow_get(void *ctx, const char *url, char **body_out, int *status_out, char **error_out) {
  auto *t = static_cast<slow_transport *>(ctx);
  t->calls++;
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (vepod_fetch_waiters(url) < t->waiters && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (t->throws) throw std::runtime_error("transport bug");
  if (t->body) *body_out = strdup(t->body);
  *error_out = const_cast<char *>(t->error);
  *status_out = t->status;
  return t->rc;
}

constexpr int kCallers = 8;

TEST(Concurrency, EightListingsOfOneFeedMakeOneTransportCall) {
  vepod_cache_clear();
  vepod_cache_set_max_age(0);  // nothing may come from the cache: only sharing saves calls
  slow_transport slow{0, 200, kFeed, nullptr, kCallers - 1};
  tervala_io io = {&slow, slow_get, nullptr, nullptr};
  vepod_set_io(&io);
  const char *settings = R"({"URL":"http://h/feed"})";
  auto before = counters();

  std::vector<vepod_test::Answer> answers(kCallers);
  std::vector<std::thread> threads;
  for (int t = 0; t < kCallers; t++) {
    threads.emplace_back([&, t] { answers[t] = vepod_test::list(settings, "http://h/feed"); });
  }
  for (std::thread &thread : threads) thread.join();

  EXPECT_EQ(slow.calls, 1);
  for (const vepod_test::Answer &a : answers) {
    EXPECT_EQ(a.code, 0) << a.text;
    EXPECT_EQ(a.text, answers[0].text);
  }
  auto after = counters();
  auto grew = [&](const char *key) { return after[key] - before[key]; };
  EXPECT_EQ(grew("http.gets"), 1);
  EXPECT_EQ(grew("cache.misses"), 1);
  EXPECT_EQ(grew("cache.hits"), kCallers - 1);
  EXPECT_EQ(grew("feeds.parsed"), kCallers);
  vepod_set_io(nullptr);
  vepod_cache_set_max_age(21600);
  vepod_cache_clear();
}

// Whatever the fetch in flight comes to, every waiter wakes with it; a failure is not kept, so
// the next caller asks the transport again.
TEST(Concurrency, WaitersShareEveryOutcomeOfTheFetch) {
  const char *url = "http://h/shared?k=1";
  struct {
    int rc, status;
    const char *body, *error;
    int code;
    const char *message;
  } cases[] = {
      {0, 200, "<rss/>", nullptr, 0, ""},
      {0, 200, nullptr, nullptr, 0, ""},
      {0, 503, "busy", nullptr, -4, "HTTP 503 from http://h/shared?<redacted>"},
      {-1, 0, nullptr, "connection reset", -4,
       "transport failure for http://h/shared?<redacted>: connection reset"},
      {0, 304, nullptr, nullptr, -5, "304 without a cached body"},
  };
  vepod_cache_set_max_age(0);
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.rc) + " " + std::to_string(c.status));
    vepod_cache_clear();
    slow_transport slow{c.rc, c.status, c.body, c.error, kCallers - 1};
    tervala_io io = {&slow, slow_get, nullptr, nullptr};
    struct result {
      int code;
      std::string body, message;
      bool has_body;
    };
    std::vector<result> results(kCallers);
    std::vector<std::thread> threads;
    for (int t = 0; t < kCallers; t++) {
      threads.emplace_back([&, t] {
        const char *body = nullptr;
        size_t len = 0;
        int status = 0;
        vepod_failure failure;
        results[t].code = vepod_get(&io, url, &body, &len, &status, &failure);
        results[t].has_body = body != nullptr;
        results[t].body = body ? body : "";
        results[t].message = failure.message;
        vepod_body_release(body);
      });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(slow.calls, 1);
    for (const result &r : results) {
      EXPECT_EQ(r.code, c.code);
      EXPECT_EQ(r.has_body, c.code == 0);
      EXPECT_EQ(r.body, c.body && c.code == 0 ? c.body : "");
      EXPECT_EQ(r.message, c.message);
    }
    EXPECT_EQ(vepod_fetch_waiters(url), 0u);

    slow.waiters = 0;
    const char *body = nullptr;
    size_t len = 0;
    int status = 0;
    vepod_failure failure;
    EXPECT_EQ(vepod_get(&io, url, &body, &len, &status, &failure), c.code);
    vepod_body_release(body);
    EXPECT_EQ(slow.calls, 2);
  }
  vepod_cache_set_max_age(21600);
  vepod_cache_clear();
}

// The operations catch whatever a host's transport throws; the callers waiting for that fetch are
// woken with a failure instead of waiting for ever.
TEST(Concurrency, ThrowingTransportStillWakesTheWaiters) {
  const char *url = "http://h/throws";
  vepod_cache_clear();
  slow_transport slow{0, 200, "<rss/>", nullptr, kCallers - 1};
  slow.throws = true;
  tervala_io io = {&slow, slow_get, nullptr, nullptr};
  std::atomic<int> thrown{0}, failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kCallers; t++) {
    threads.emplace_back([&] {
      const char *body = nullptr;
      size_t len = 0;
      int status = 0;
      vepod_failure failure;
      try {
        failed += vepod_get(&io, url, &body, &len, &status, &failure) == -4 &&
                  std::string(failure.message) == "transport failure" && !body;
      } catch (const std::runtime_error &) {
        thrown++;
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(slow.calls, 1);
  EXPECT_EQ(thrown, 1);
  EXPECT_EQ(failed, kCallers - 1);
  EXPECT_EQ(vepod_fetch_waiters(url), 0u);
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
