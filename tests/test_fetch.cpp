// The cached fetch: status mapping and messages, freshness, the 304 and bodiless paths, eviction,
// counters, the release of transport buffers, and the statistics text.

#include <gtest/gtest.h>
#include <yyjson.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fetch/vepod_fetch.h"
#include "io/vepod_io.h"
#include "util/vepod_alloc.h"
#include "vepod.h"

namespace {

constexpr const char *k_url = "http://h/p?x=1";
constexpr const char *k_redacted = "http://h/p?<redacted>";
constexpr uint64_t k_start_ms = 5000000;

std::atomic<uint64_t> g_test_now{k_start_ms};
uint64_t test_clock() { return g_test_now.load(); }

// The counters vepod_get writes.
struct counts {
  uint32_t gets, not_modified, errors, hits, misses;
  bool operator==(const counts &) const = default;
};

std::ostream &operator<<(std::ostream &os, const counts &c) {
  return os << "{gets " << c.gets << ", 304 " << c.not_modified << ", errors " << c.errors
            << ", hits " << c.hits << ", misses " << c.misses << "}";
}

counts read_counts() {
  const vepod_stats *s = vepod_stats_get();
  return {s->http_gets, s->http_304, s->http_errors, s->cache_hits, s->cache_misses};
}

counts since(const counts &before) {
  counts now = read_counts();
  return {now.gets - before.gets, now.not_modified - before.not_modified,
          now.errors - before.errors, now.hits - before.hits, now.misses - before.misses};
}

struct fetched {
  int rc;
  bool has_body;
  std::string body;
  int status;
  std::string err;
};

fetched fetch(const char *url, const tervala_io *io = vepod_io_fake()) {
  const char *body = reinterpret_cast<char *>(1);
  int status = -1;
  vepod_failure failure;
  std::strcpy(failure.message, "stale");
  fetched f{};
  size_t len = 99;
  f.rc = vepod_get(io, url, &body, &len, &status, &failure);
  f.has_body = body != nullptr;
  if (body) f.body = body;
  EXPECT_EQ(len, f.body.size());
  vepod_body_release(body);
  f.status = status;
  f.err = failure.message;
  EXPECT_EQ(failure.code, f.rc);
  EXPECT_EQ(failure.line, 0u);  // a fetch has no place in a text
  return f;
}

// Whether fetching url now reaches the transport.
bool reaches_transport(const char *url) {
  int before = vepod_fake_calls(nullptr);
  fetch(url);
  return vepod_fake_calls(nullptr) != before;
}

class FetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vepod_cache_clear();
    vepod_fake_reset();
    vepod_cache_set_max_age(21600);
    g_test_now = k_start_ms;
    vepod_fetch_set_clock(test_clock);
  }
  void TearDown() override {
    vepod_fetch_set_clock(nullptr);
    vepod_cache_set_max_age(21600);
    vepod_cache_clear();
    vepod_fake_reset();
  }
};

int bodiless_get(void *ctx, const char *, char **, int *status_out, char **) {
  *status_out = *static_cast<int *>(ctx);
  return 0;
}

TEST_F(FetchTest, RefusesMissingTransportOrUrl) {
  tervala_io no_get = {nullptr, nullptr, nullptr, nullptr};
  struct {
    const tervala_io *io;
    const char *url;
  } cases[] = {{nullptr, k_url}, {&no_get, k_url}, {vepod_io_fake(), nullptr}};
  for (const auto &c : cases) {
    counts before = read_counts();
    fetched f = fetch(c.url, c.io);
    EXPECT_EQ(f.rc, -8);
    EXPECT_EQ(f.err, "no tervala_io transport");
    EXPECT_FALSE(f.has_body);
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(since(before), (counts{0, 0, 0, 0, 0}));
  }
  EXPECT_EQ(vepod_fake_calls(nullptr), 0);
}

TEST_F(FetchTest, RefusedStatusesMapToCodesAndRedactedMessages) {
  struct {
    int status;
    int rc;
  } cases[] = {{0, -5},   {100, -5}, {199, -5}, {300, -5}, {301, -5}, {302, -5}, {399, -5},
               {400, -5}, {401, -1}, {403, -1}, {404, -2}, {405, -5}, {410, -2}, {418, -5},
               {429, -3}, {499, -5}, {500, -4}, {503, -4}, {599, -4}, {600, -4}, {-7, -5}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.status);
    vepod_cache_clear();
    vepod_fake_set(k_url, c.status, "refused page");
    counts before = read_counts();
    fetched f = fetch(k_url);
    EXPECT_EQ(f.rc, c.rc);
    EXPECT_EQ(f.err, "HTTP " + std::to_string(c.status) + " from " + k_redacted);
    EXPECT_FALSE(f.has_body);
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(since(before), (counts{1, 0, 0, 0, 1}));
    EXPECT_EQ(vepod_cache_entry_count(), 0);
  }
}

TEST_F(FetchTest, RefusalKeepsTheEarlierEntry) {
  vepod_fake_set(k_url, 200, "kept");
  ASSERT_EQ(fetch(k_url).rc, 0);
  vepod_cache_set_max_age(0);
  vepod_fake_set(k_url, 503, "busy");
  EXPECT_EQ(fetch(k_url).rc, -4);
  vepod_cache_set_max_age(21600);
  fetched f = fetch(k_url);
  EXPECT_EQ(f.body, "kept");
  EXPECT_EQ(f.status, 200);
}

TEST_F(FetchTest, TransportFailureQuotesTheTransportText) {
  counts before = read_counts();
  fetched f = fetch(k_url);
  EXPECT_EQ(f.rc, -4);
  EXPECT_EQ(f.err,
            std::string("transport failure for ") + k_redacted + ": fake: no route for this URL");
  EXPECT_FALSE(f.has_body);
  EXPECT_EQ(since(before), (counts{1, 0, 1, 0, 1}));

  vepod_fake_fail(k_url, "connection reset");
  EXPECT_EQ(fetch(k_url).err,
            std::string("transport failure for ") + k_redacted + ": connection reset");
  EXPECT_EQ(vepod_cache_entry_count(), 0);
}

TEST_F(FetchTest, FreshEntryAnswersWithoutTheTransport) {
  vepod_fake_set(k_url, 203, "hello");
  counts before = read_counts();
  fetched first = fetch(k_url);
  fetched second = fetch(k_url);
  EXPECT_EQ(vepod_fake_calls(k_url), 1);
  EXPECT_EQ(since(before), (counts{1, 0, 0, 1, 1}));
  for (const fetched &f : {first, second}) {
    EXPECT_EQ(f.rc, 0);
    EXPECT_EQ(f.body, "hello");
    EXPECT_EQ(f.status, 203);
    EXPECT_EQ(f.err, "");
  }
}

TEST_F(FetchTest, EntryIsStaleExactlyAtMaxAge) {
  vepod_cache_set_max_age(10);
  struct {
    int64_t offset_ms;
    bool fetches;
  } cases[] = {{0, false}, {9999, false}, {10000, true}, {10001, true}, {-1, true}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.offset_ms);
    vepod_cache_clear();
    vepod_fake_set(k_url, 200, "body");
    g_test_now = k_start_ms;
    ASSERT_TRUE(reaches_transport(k_url));
    g_test_now = uint64_t(int64_t(k_start_ms) + c.offset_ms);
    EXPECT_EQ(reaches_transport(k_url), c.fetches);
  }
}

TEST_F(FetchTest, MaxAgeZeroFetchesEveryTimeAndStillStores) {
  vepod_cache_set_max_age(0);
  vepod_fake_set(k_url, 200, "v1");
  EXPECT_TRUE(reaches_transport(k_url));
  EXPECT_TRUE(reaches_transport(k_url));
  EXPECT_EQ(vepod_cache_entry_count(), 1);
  vepod_fake_set(k_url, 304, "");
  EXPECT_EQ(fetch(k_url).body, "v1");
}

TEST_F(FetchTest, MaxAgeIsClamped) {
  struct {
    int32_t set, stored;
  } cases[] = {
      {-5, 0}, {0, 0}, {1, 1}, {2592000, 2592000}, {2592001, 2592000}, {INT32_MAX, 2592000}};
  for (const auto &c : cases) {
    EXPECT_EQ(vepod_cache_set_max_age(c.set), 0);
    EXPECT_EQ(vepod_cache_max_age(), c.stored) << c.set;
  }
}

TEST_F(FetchTest, NotModifiedServesTheStoredBodyHoweverOld) {
  vepod_fake_set(k_url, 200, "v1");
  ASSERT_EQ(fetch(k_url).rc, 0);
  g_test_now = k_start_ms + 400ull * 24 * 3600 * 1000;
  vepod_fake_set(k_url, 304, "ignored");
  counts before = read_counts();
  fetched f = fetch(k_url);
  EXPECT_EQ(f.rc, 0);
  EXPECT_EQ(f.body, "v1");
  EXPECT_EQ(f.status, 200);
  EXPECT_EQ(since(before), (counts{0, 1, 0, 0, 1}));

  const char *other = "http://h/never-stored";
  vepod_fake_set(other, 304, "");
  before = read_counts();
  f = fetch(other);
  EXPECT_EQ(f.rc, -5);
  EXPECT_EQ(f.err, "304 without a cached body");
  EXPECT_FALSE(f.has_body);
  EXPECT_EQ(since(before), (counts{0, 0, 1, 0, 1}));
  EXPECT_EQ(vepod_cache_entry_count(), 1);
}

// A success without a body is an empty body, with or without an earlier one stored: it is
// neither a failure of the cache nor a licence to hand out what the server no longer says.
TEST_F(FetchTest, BodilessSuccessIsAnEmptyBody) {
  int status = 200;
  tervala_io bodiless = {&status, bodiless_get, nullptr, nullptr};
  vepod_cache_set_max_age(0);
  for (const char *earlier : {static_cast<const char *>(nullptr), "earlier"}) {
    SCOPED_TRACE(earlier ? earlier : "nothing stored before");
    vepod_cache_clear();
    if (earlier) {
      vepod_fake_set(k_url, 200, earlier);
      ASSERT_EQ(fetch(k_url).rc, 0);
    }
    for (int s : {200, 204}) {
      status = s;
      counts before = read_counts();
      fetched f = fetch(k_url, &bodiless);
      EXPECT_EQ(f.rc, 0);
      EXPECT_TRUE(f.has_body);
      EXPECT_EQ(f.body, "");
      EXPECT_EQ(f.status, s);
      EXPECT_EQ(f.err, "");
      EXPECT_EQ(since(before), (counts{1, 0, 0, 0, 1}));
    }
    vepod_fake_set(k_url, 304, "");
    EXPECT_EQ(fetch(k_url).body, "");
  }
}

// A transport that asks the library for its own URL from inside the call is answered, not left
// waiting for the fetch it is making itself.
int reentrant_get(void *ctx, const char *url, char **body_out, int *status_out, char **) {
  auto *depth = static_cast<int *>(ctx);
  if ((*depth)++ == 0) {
    tervala_io self = {ctx, reentrant_get, nullptr, nullptr};
    const char *inner = nullptr;
    size_t len = 0;
    int status = 0;
    vepod_failure failure;
    EXPECT_EQ(vepod_get(&self, url, &inner, &len, &status, &failure), 0);
    vepod_body_release(inner);
  }
  *body_out = strdup("body");
  *status_out = 200;
  return 0;
}

TEST_F(FetchTest, TransportMayFetchItsOwnUrlAgain) {
  int depth = 0;
  tervala_io io = {&depth, reentrant_get, nullptr, nullptr};
  vepod_cache_set_max_age(0);
  fetched f = fetch(k_url, &io);
  EXPECT_EQ(f.rc, 0);
  EXPECT_EQ(f.body, "body");
  EXPECT_EQ(depth, 2);
}

TEST_F(FetchTest, EvictsTheOldestStoreEvenAfterAHit) {
  auto url = [](int i) { return "http://h/feed/" + std::to_string(i); };
  for (int i = 0; i < 64; i++) {
    vepod_fake_set(url(i).c_str(), 200, ("body " + std::to_string(i)).c_str());
    ASSERT_TRUE(reaches_transport(url(i).c_str()));
  }
  EXPECT_EQ(vepod_cache_entry_count(), 64);
  ASSERT_FALSE(reaches_transport(url(0).c_str()));  // a hit does not make an entry younger

  vepod_fake_set(url(64).c_str(), 200, "body 64");
  ASSERT_TRUE(reaches_transport(url(64).c_str()));
  EXPECT_EQ(vepod_cache_entry_count(), 64);
  EXPECT_FALSE(reaches_transport(url(1).c_str()));
  EXPECT_TRUE(reaches_transport(url(0).c_str()));  // evicted; storing it again evicts url 1

  // Storing an existing URL again makes it the youngest and evicts nothing.
  vepod_cache_set_max_age(0);
  ASSERT_TRUE(reaches_transport(url(2).c_str()));
  EXPECT_EQ(vepod_cache_entry_count(), 64);
  vepod_cache_set_max_age(21600);
  vepod_fake_set(url(65).c_str(), 200, "body 65");
  ASSERT_TRUE(reaches_transport(url(65).c_str()));
  EXPECT_FALSE(reaches_transport(url(2).c_str()));
  EXPECT_FALSE(reaches_transport(url(4).c_str()));
  EXPECT_TRUE(reaches_transport(url(3).c_str()));
}

TEST_F(FetchTest, ClearEmptiesTheCacheAndKeepsCounters) {
  vepod_fake_set(k_url, 200, "x");
  vepod_fake_set("http://h/2", 200, "y");
  fetch(k_url);
  fetch("http://h/2");
  ASSERT_EQ(vepod_cache_entry_count(), 2);
  counts before = read_counts();
  vepod_cache_clear();
  EXPECT_EQ(vepod_cache_entry_count(), 0);
  EXPECT_EQ(since(before), (counts{0, 0, 0, 0, 0}));
  EXPECT_TRUE(reaches_transport(k_url));
}

// A transport that hands out heap buffers and checks that each comes back exactly once.
struct ledger {
  std::mutex lock;
  std::set<void *> live;
  int handed = 0;
  int released = 0;
  int unknown = 0;  // releases of buffers not handed out or already released

  int rc = 0;
  int status = 200;
  const char *body = nullptr;
  const char *error = nullptr;

  char *hand_out(const char *text) {
    char *copy = strdup(text);
    std::lock_guard<std::mutex> hold(lock);
    live.insert(copy);
    handed++;
    return copy;
  }
};

int ledger_get(void *ctx, const char *, char **body_out, int *status_out, char **error_out) {
  auto *l = static_cast<ledger *>(ctx);
  if (l->body) *body_out = l->hand_out(l->body);
  if (l->error) *error_out = l->hand_out(l->error);
  *status_out = l->status;
  return l->rc;
}

void ledger_free(void *ctx, void *p) {
  auto *l = static_cast<ledger *>(ctx);
  std::lock_guard<std::mutex> hold(l->lock);
  if (l->live.erase(p) == 0) {
    l->unknown++;
    return;
  }
  l->released++;
  std::free(p);
}

TEST_F(FetchTest, EveryTransportBufferIsReleasedOnceThroughFree) {
  struct {
    int rc, status;
    const char *body, *error;
    int expect_rc;
    const char *expect_err;
  } cases[] = {
      {0, 200, "feed", nullptr, 0, ""},
      {0, 200, "feed", "ignored text", 0, ""},
      {0, 404, "not found page", "ignored text", -2, "HTTP 404 from http://h/p?<redacted>"},
      {0, 304, "stale", "ignored text", 0, ""},
      {0, 204, nullptr, "ignored text", 0, ""},
      {-1, 0, nullptr, "refused", -4, "transport failure for http://h/p?<redacted>: refused"},
      {-1, 0, nullptr, nullptr, -4, "transport failure for http://h/p?<redacted>: (no message)"},
  };
  vepod_cache_set_max_age(0);
  ledger l;
  tervala_io io = {&l, ledger_get, nullptr, ledger_free};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.rc) + " " + std::to_string(c.status));
    l.rc = c.rc;
    l.status = c.status;
    l.body = c.body;
    l.error = c.error;
    int handed = l.handed;
    fetched f = fetch(k_url, &io);
    EXPECT_EQ(f.rc, c.expect_rc);
    EXPECT_EQ(f.err, c.expect_err);
    EXPECT_EQ(l.handed - handed, (c.body ? 1 : 0) + (c.error ? 1 : 0));
    EXPECT_TRUE(l.live.empty());
    EXPECT_EQ(l.released, l.handed);
    EXPECT_EQ(l.unknown, 0);
  }
}

// The ledger transport allocates outside the library's hook, so each allocation the hook fails
// here is the cache's own. A failed store fails the fetch and counts as it should; a 304 or a hit
// hands out the stored body itself and allocates nothing.
TEST_F(FetchTest, FailedCacheStoresFailTheFetchAndStoredBodiesNeedNoCopy) {
  vepod_cache_set_max_age(0);
  ledger l;
  tervala_io io = {&l, ledger_get, nullptr, ledger_free};
  l.body = "feed";
  vepod_alloc_fail_after(LONG_MAX / 2);
  ASSERT_EQ(fetch(k_url, &io).rc, 0);
  long copies = LONG_MAX / 2 - vepod_alloc_fail_after(-1);
  ASSERT_GT(copies, 0);
  for (long k = 0; k < copies; k++) {
    SCOPED_TRACE("2xx, copy " + std::to_string(k));
    vepod_cache_clear();
    counts before = read_counts();
    vepod_alloc_fail_after(k);
    fetched f = fetch(k_url, &io);
    vepod_alloc_fail_after(-1);
    EXPECT_EQ(f.rc, -5);
    EXPECT_EQ(f.err, "cache write failure");
    EXPECT_FALSE(f.has_body);
    EXPECT_EQ(since(before), (counts{1, 0, 1, 0, 1}));
  }
  EXPECT_EQ(l.released, l.handed);

  ASSERT_EQ(fetch(k_url, &io).rc, 0);
  l.status = 304;
  counts before = read_counts();
  vepod_alloc_fail_after(0);
  fetched f = fetch(k_url, &io);
  vepod_alloc_fail_after(-1);
  EXPECT_EQ(f.rc, 0);
  EXPECT_EQ(f.body, "feed");
  EXPECT_EQ(since(before), (counts{0, 1, 0, 0, 1}));

  vepod_cache_set_max_age(21600);
  int handed = l.handed;
  before = read_counts();
  vepod_alloc_fail_after(0);
  f = fetch(k_url, &io);
  vepod_alloc_fail_after(-1);
  EXPECT_EQ(f.rc, 0);
  EXPECT_EQ(f.body, "feed");
  EXPECT_EQ(since(before), (counts{0, 0, 0, 1, 0}));
  EXPECT_EQ(l.handed, handed);
  EXPECT_EQ(fetch(k_url, &io).body, "feed");
}

// Bodies from malloc, error texts that need no release: the library frees bodies itself and
// leaves the error texts alone (the sanitizers report a leak, a double free or a bad free).
int plain_get(void *ctx, const char *, char **body_out, int *status_out, char **error_out) {
  int rc = *static_cast<int *>(ctx);
  static char text[] = "static text";
  *error_out = text;
  if (rc != 0) return rc;
  *body_out = strdup("plain body");
  *status_out = 200;
  return 0;
}

TEST_F(FetchTest, TransportWithoutFreeKeepsItsErrorTexts) {
  int rc = 0;
  tervala_io io = {&rc, plain_get, nullptr, nullptr};
  fetched f = fetch(k_url, &io);
  EXPECT_EQ(f.rc, 0);
  EXPECT_EQ(f.body, "plain body");
  rc = 7;
  f = fetch("http://h/other", &io);
  EXPECT_EQ(f.rc, -4);
  EXPECT_EQ(f.err, "transport failure for http://h/other: static text");
}

TEST_F(FetchTest, StatsJsonReportsCountersInOrder) {
  vepod_fake_set(k_url, 200, "x");
  fetch(k_url);
  const vepod_stats *s = vepod_stats_get();
  auto check = [&](const char *text) {
    yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
    ASSERT_NE(doc, nullptr) << text;
    struct {
      const char *group, *key;
      long expected;
    } members[] = {{"http", "gets", long(s->http_gets)},
                   {"http", "304", long(s->http_304)},
                   {"http", "errors", long(s->http_errors)},
                   {"cache", "entries", long(vepod_cache_entry_count())},
                   {"cache", "hits", long(s->cache_hits)},
                   {"cache", "misses", long(s->cache_misses)},
                   {"feeds", "parsed", long(s->feeds_parsed)},
                   {"feeds", "rejected", long(s->feeds_rejected)},
                   {"items", "kept", long(s->items_kept)},
                   {"items", "guid_fallback", long(s->items_guid_fallback)}};
    std::vector<std::string> order;
    yyjson_obj_iter groups = yyjson_obj_iter_with(yyjson_doc_get_root(doc));
    for (yyjson_val *g; (g = yyjson_obj_iter_next(&groups));) {
      yyjson_obj_iter keys = yyjson_obj_iter_with(yyjson_obj_iter_get_val(g));
      for (yyjson_val *k; (k = yyjson_obj_iter_next(&keys));) {
        order.push_back(std::string(yyjson_get_str(g)) + "." + yyjson_get_str(k));
      }
    }
    std::vector<std::string> expected_order;
    for (const auto &m : members) {
      expected_order.push_back(std::string(m.group) + "." + m.key);
      yyjson_val *v = yyjson_ptr_get(yyjson_doc_get_root(doc),
                                     (std::string("/") + m.group + "/" + m.key).c_str());
      EXPECT_EQ(yyjson_get_sint(v), m.expected) << m.group << "." << m.key;
    }
    EXPECT_EQ(order, expected_order);
    EXPECT_EQ(std::strchr(text, ' '), nullptr);
    yyjson_doc_free(doc);
  };
  check(vepod_stats_json());
  EXPECT_EQ(vepod_cache_entry_count(), 1);

  uint32_t hits = s->cache_hits;
  fetch(k_url);
  const char *text = vepod_stats_json();
  check(text);
  EXPECT_EQ(s->cache_hits, hits + 1);

  // Another thread's call writes its own buffer, not the text this thread holds.
  std::string held = text;
  const char *theirs = nullptr;
  std::thread([&] {
    vepod_fake_set("http://h/t", 200, "t");
    fetch("http://h/t");
    theirs = vepod_stats_json();
  }).join();
  EXPECT_NE(theirs, text);
  EXPECT_EQ(held, text);
}

TEST_F(FetchTest, CountersStayExactUnderConcurrentCalls) {
  vepod_fake_set(k_url, 200, "shared");
  ASSERT_EQ(fetch(k_url).rc, 0);
  constexpr int k_threads = 4, k_hits = 200, k_failures = 25;
  counts before = read_counts();
  std::vector<std::thread> threads;
  for (int t = 0; t < k_threads; t++) {
    // A URL of its own per thread: concurrent failures of one URL would share a transport call.
    threads.emplace_back([t] {
      const std::string failing = "http://h/no-route-" + std::to_string(t);
      for (int i = 0; i < k_hits; i++) fetch(k_url);
      for (int i = 0; i < k_failures; i++) fetch(failing.c_str());
    });
  }
  for (std::thread &t : threads) t.join();
  constexpr uint32_t failures = k_threads * k_failures;
  EXPECT_EQ(since(before), (counts{failures, 0, failures, k_threads * k_hits, failures}));
}

}  // namespace
