// Each allocation of an operation is made to fail in turn, one per run: every run must end cleanly
// (a success, or a failure code with a message), and nothing may leak or be released twice.

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "handler/vepod_handler.h"
#include "io/vepod_io.h"
#include "util/vepod_alloc.h"
#include "vepod.h"

// The C++ runtime's allocations of the library follow the same hook as its own. The pair stays out
// of line: inlined, the compiler would see a free() of what it takes for operator new's memory.
[[gnu::noinline]] void *operator new(size_t size) {
  if (vepod_alloc_should_fail()) throw std::bad_alloc();
  if (void *block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void *block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void *block, size_t) noexcept { std::free(block); }

namespace {

constexpr const char *kFeed = R"(<?xml version="1.0"?>
<rss version="2.0"><channel><title>Alloc &amp; Co</title>
  <image><url>http://pod.example/i.png</url></image>
  <description>About</description><itunes:author>Au</itunes:author><language>en</language>
  <podcast:funding url="http://f/">Fund</podcast:funding><podcast:person role="host">H</podcast:person>
  <item><title>One</title><guid>1</guid><pubDate>Mon, 02 Jan 2006 15:04:05 GMT</pubDate>
    <itunes:duration>1:02:03</itunes:duration>
    <enclosure url="http://m/1.mp3" type="audio/mpeg" length="10"/>
    <content:encoded>&lt;p&gt;Notes</content:encoded><link>http://pod.example/1</link>
    <itunes:image href="http://pod.example/1.png"/><itunes:season>1</itunes:season>
    <podcast:chapters url="http://pod.example/1.json" type="application/json+chapters"/>
    <podcast:transcript url="http://pod.example/1.vtt" type="text/vtt"/>
    <podcast:person group="cast">G</podcast:person>
    <podcast:alternateEnclosure type="audio/opus"><podcast:source uri="http://m/1.opus"/>
    </podcast:alternateEnclosure><psc:chapter start="0" title="Intro"/></item>
  <item><title><![CDATA[Two & more]]></title><enclosure url="http://m/2.mp3"/></item>
  <item><title>Three</title><guid>3</guid></item>
</channel></rss>)";

constexpr const char *kPage = R"(<html><head>
  <link rel="alternate" type="application/rss+xml" href="/feed" title="Feed &amp; more">
  <link rel="alternate" type="application/atom+xml" href="http://h/atom" title="Atom">
  <link rel="alternate" type="application/rss+xml" href="/feed" title="again">
</head></html>)";

// What one run of a call came to: its code and what it answered (text handed out, or the state it
// left), read once allocations no longer fail.
struct outcome {
  int rc;
  std::string answer;
};

// Runs call once for every allocation the clean run makes, with that one allocation failing. Each
// run must fail as a whole (a negative code, which check inspects) or give the clean run's answer:
// a success that lost part of its answer on the way would pass for the whole one. answer reads
// what a run answered, after it, with failures off.
void exhaust(const std::function<int()> &call, const std::function<std::string()> &answer,
             const std::function<void(int)> &check) {
#if defined(_WIN32)
  // MinGW's C++ runtime registers the cleanup of a thread's results through operator new once, at
  // the thread's first operation: the runs that count allocations come after it.
  call();
#endif
  vepod_alloc_fail_after(LONG_MAX / 2);
  int clean = call();
  long used = LONG_MAX / 2 - vepod_alloc_fail_after(-1);
  ASSERT_EQ(clean, 0);
  ASSERT_GT(used, 0);
  const std::string clean_answer = answer();
  for (long k = 0; k < used; k++) {
    vepod_alloc_fail_after(k);
    int rc = call();
    long left = vepod_alloc_fail_after(-1);
    SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(used));
    EXPECT_LT(left, 0) << "the run stopped before allocation " << k;
    EXPECT_LE(rc, 0);
    if (rc != 0) {
      check(rc);
    } else {
      EXPECT_EQ(answer(), clean_answer) << "a run that lost an allocation answered otherwise";
    }
  }
}

void reset_state() {
  vepod_set_io(nullptr);
  vepod_fake_reset();
  vepod_cache_clear();
  vepod_cache_set_max_age(0);  // every call reaches the transport and stores its answer
}

// The text a successful run handed out, taken and released once failures are off (the test's own
// allocations inside a run would count as the library's).
std::string take_text(char *&json) {
  std::string text = json ? json : "";
  std::free(json);
  json = nullptr;
  return text;
}

TEST(AllocationFailure, ParseFeed) {
  char *json = nullptr;
  exhaust(
      [&] {
        char err[160];
        json = reinterpret_cast<char *>(1);
        int rc = vepod_parse_feed(kFeed, std::strlen(kFeed), &json, err, sizeof err);
        if (rc != 0 && json) ADD_FAILURE() << "a failure handed out a text";
        return rc;
      },
      [&] { return take_text(json); }, [](int rc) { EXPECT_EQ(rc, -1); });
}

TEST(AllocationFailure, DiscoverFeeds) {
  char *json = nullptr;
  exhaust(
      [&] {
        char err[160];
        int rc = vepod_discover_feeds(kPage, std::strlen(kPage), "http://h/page", &json, err,
                                      sizeof err);
        if (rc != 0 && std::strcmp(err, "out of memory") != 0) ADD_FAILURE() << err;
        return rc;
      },
      [&] { return take_text(json); }, [](int rc) { EXPECT_EQ(rc, -1); });
}

TEST(AllocationFailure, FakeRoutes) {
  reset_state();
  exhaust(
      [] {
        vepod_fake_reset();
        for (int i = 0; i < 10; i++) {
          std::string url = "http://h/" + std::to_string(i);
          if (int rc = vepod_fake_set(url.c_str(), 200, "body")) return rc;
        }
        return vepod_fake_fail("http://h/3", "down");
      },
      [] {
        // What the fake transport answers for each route.
        const tervala_io *io = vepod_io_fake();
        std::string routes;
        for (int i = 0; i < 10; i++) {
          std::string url = "http://h/" + std::to_string(i);
          char *body = nullptr, *error = nullptr;
          int status = 0;
          int rc = io->get(io->ctx, url.c_str(), &body, &status, &error);
          routes += url + " " + std::to_string(rc) + " " + std::to_string(status) + " " +
                    (body ? body : "-") + " " + (error ? error : "-") + "\n";
          io->free(io->ctx, body);
          io->free(io->ctx, error);
        }
        return routes;
      },
      [](int rc) { EXPECT_EQ(rc, -5); });
  vepod_fake_reset();
}

// The catalogue operations over the fake transport and the cache: any failure must carry a code
// and a message, and the caller's buffer an error document or an empty text.
void exhaust_operation(const std::function<int(char *, int32_t)> &operation,
                       bool from_stored_answers = false) {
  static char out[1 << 14];
  exhaust(
      [&] {
        // Each run takes the same path up to its failing allocation.
        if (!from_stored_answers) vepod_cache_clear();
        return operation(out, sizeof out);
      },
      [] { return std::string(out); },
      [](int rc) {
        EXPECT_LT(rc, 0);
        EXPECT_STRNE(vepod_last_error(), "");
        // A feed that could not be read for lack of memory is not a page without feed links.
        EXPECT_STRNE(vepod_last_error(), "no feed links found on the page");
        EXPECT_TRUE(out[0] == '\0' || std::strncmp(out, "{\"error\":\"", 10) == 0) << out;
      });
}

// The host's transport: what it allocates is the host's (plain malloc), so the runs fail only the
// library's own allocations, and a transport failure, which rightly leaves the other sources
// answering, never stands for the library running out of memory.
struct host_route {
  const char *url;
  int status;
  const char *body;
};
constexpr host_route kRoutes[] = {
    {"http://h/feed", 200, kFeed},
    {"http://h/page", 200, kPage},
    {"http://h/atom", 200, "<feed><title>A</title></feed>"},
    {"http://h/partial", 206, kFeed},
};

int host_get(void *, const char *url, char **body, int *status, char **error) {
  *error = nullptr;
  *status = 404;
  const char *text = "";
  for (const host_route &r : kRoutes) {
    if (std::strcmp(r.url, url) == 0) {
      *status = r.status;
      text = r.body;
    }
  }
  size_t n = std::strlen(text) + 1;
  *body = static_cast<char *>(std::malloc(n));
  std::memcpy(*body, text, n);
  return 0;
}

void host_free(void *, void *block) { std::free(block); }

constexpr tervala_io kHostIo = {nullptr, host_get, nullptr, host_free};

class AllocationFailureOperations : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_state();
    ASSERT_EQ(vepod_set_io(&kHostIo), 0);
    // A new source's identifier is the same in every run.
    vepod_set_random_source([](uint32_t *value) {
      *value = 7;
      return 0;
    });
  }
  void TearDown() override {
    vepod_set_random_source(nullptr);
    vepod_set_io(nullptr);
    vepod_cache_clear();
    vepod_cache_set_max_age(21600);
  }
  const char *settings = R"({"URL":"http://h/feed\nhttp://h/page","Name":"n","ID":""})";
};

TEST_F(AllocationFailureOperations, Validate) {
  exhaust_operation([&](char *out, int32_t len) { return vepod_validate(settings, out, len); });
}

TEST_F(AllocationFailureOperations, ValidateASingleFeed) {
  exhaust_operation([](char *out, int32_t len) {
    return vepod_validate(R"({"URL":"http://h/feed"})", out, len);
  });
}

TEST_F(AllocationFailureOperations, ListRoot) {
  exhaust_operation([&](char *out, int32_t len) { return vepod_list(settings, "", out, len); });
}

TEST_F(AllocationFailureOperations, ListFeed) {
  exhaust_operation(
      [&](char *out, int32_t len) { return vepod_list(settings, "http://h/feed", out, len); });
}

TEST_F(AllocationFailureOperations, ListEntryDetails) {
  exhaust_operation(
      [&](char *out, int32_t len) { return vepod_list(settings, "http://h/feed/1", out, len); });
}

TEST_F(AllocationFailureOperations, StreamUrlLookup) {
  exhaust_operation([&](char *out, int32_t len) {
    return vepod_stream_url(settings, R"({"id":"1","path":"http://h/feed"})", out, len);
  });
}

// A feed a configured page announced, looked up alone once the page and the feed are stored.
TEST_F(AllocationFailureOperations, StreamUrlLookupInAStoredAnnouncedFeed) {
  const char *page = R"({"URL":"http://h/atom\nhttp://h/page"})";
  vepod_cache_set_max_age(21600);
  char out[4096];
  ASSERT_EQ(vepod_list(page, "http://h/feed", out, sizeof out), 0) << out;
  exhaust_operation(
      [&](char *to, int32_t len) {
        return vepod_stream_url(page, R"({"id":"1","path":"http://h/feed/1"})", to, len);
      },
      true);
}

// A source that answered 206 failed without a code of its own; a lookup in it must still fail
// when loading it again runs out of memory.
TEST_F(AllocationFailureOperations, StreamUrlLookupInAPartialAnswerNeverSucceeds) {
  const char *partial = R"({"URL":"http://h/partial"})";
  const char *entry = R"({"id":"1","path":"http://h/partial"})";
  char out[256];
  vepod_alloc_fail_after(LONG_MAX / 2);
  ASSERT_EQ(vepod_stream_url(partial, entry, out, sizeof out), -2);
  long used = LONG_MAX / 2 - vepod_alloc_fail_after(-1);
  for (long k = 0; k < used; k++) {
    vepod_alloc_fail_after(k);
    int rc = vepod_stream_url(partial, entry, out, sizeof out);
    vepod_alloc_fail_after(-1);
    EXPECT_LT(rc, 0) << "allocation " << k << ": " << out;
  }
}

}  // namespace
