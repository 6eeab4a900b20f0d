// The catalogue operations end to end through the exports and the fake transport.

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "handler/vepod_handler.h"
#include "support.h"
#include "util/vepod_text.h"
#include "util/vepod_utf8.h"
#include "vepod.h"

namespace {

constexpr const char *kFeedUrl = "http://pod.example/feed.xml";

constexpr const char *kFeed = R"(<?xml version="1.0" encoding="UTF-8"?>
<rss version="2.0"><channel>
  <title>Morning Show</title>
  <itunes:image href="http://pod.example/cover.jpg"/>
  <item><title>Episode One</title><guid>ep-1</guid>
    <pubDate>Mon, 02 Jan 2006 15:04:05 GMT</pubDate><itunes:duration>1:30</itunes:duration>
    <enclosure url="http://pod.example/1.mp3" type="audio/mpeg" length="1234"/></item>
  <item><title>Episode Two</title><guid>ep-2</guid>
    <pubDate>Tue, 03 Jan 2006 15:04:05 GMT</pubDate>
    <enclosure url="http://pod.example/2.mp3" type="audio/mpeg"/></item>
  <item><enclosure url="http://pod.example/3.mp3"/></item>
</channel></rss>)";

constexpr const char *kEmptyFeed = "<rss><channel><title>Quiet</title></channel></rss>";

using vepod_test::Answer;
using vepod_test::counters;
using vepod_test::list;
using vepod_test::settings_for;
using vepod_test::validate;

Answer stream(const char *settings, const char *entry) {
  std::vector<char> out(4096);
  int code = vepod_stream_url(settings, entry, out.data(), int32_t(out.size()));
  return {code, out.data()};
}

std::string error_doc(const std::string &message) { return "{\"error\":\"" + message + "\"}"; }

std::string fallback_id(const char *url) {
  char id[32];
  std::snprintf(
      id, sizeof id, "enc:%016llx",
      static_cast<unsigned long long>(vepod_fnv1a(url, std::strlen(url), vepod_fnv1a_basis)));
  return id;
}

class Catalogue : public ::testing::Test {
 protected:
  void SetUp() override {
    vepod_set_io(nullptr);
    vepod_fake_reset();
    vepod_cache_clear();
    vepod_cache_set_max_age(21600);
  }
  void TearDown() override {
    vepod_set_io(nullptr);
    vepod_fake_reset();
    vepod_cache_clear();
  }
};

// validate, list the root, list the feed, resolve a listed entry: the host's usual walk.
TEST_F(Catalogue, TypicalSequence) {
  ASSERT_EQ(vepod_fake_set(kFeedUrl, 200, kFeed), 0);
  auto before = counters();

  Answer validated =
      validate(R"({"URL":"http://pod.example/feed.xml","Name":"Morning","Refresh":5})");
  ASSERT_EQ(validated.code, 0) << validated.text;
  std::smatch id;
  ASSERT_TRUE(std::regex_match(
      validated.text, id,
      std::regex(
          R"(\{"URL":"http://pod\.example/feed\.xml","Name":"Morning","RuntimeType":"PODCASTS",)"
          R"("Title":"Morning Show","ID":"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"\})")))
      << validated.text;
  EXPECT_EQ(std::string(vepod_result_json()), validated.text);

  const std::string settings = settings_for(kFeedUrl);
  Answer root = list(settings, "");
  ASSERT_EQ(root.code, 0) << root.text;
  EXPECT_EQ(
      root.text,
      R"([{"name":"Morning Show","path":"http://pod.example/feed.xml","id":"http://pod.example/feed.xml",)"
      R"("folder":true,"size":-1,"image":"http://pod.example/cover.jpg"}])");

  Answer episodes = list(settings, kFeedUrl);
  ASSERT_EQ(episodes.code, 0) << episodes.text;
  const std::string fallback = fallback_id("http://pod.example/3.mp3");
  std::string encoded = fallback;
  encoded.replace(3, 1, "%3A");
  EXPECT_EQ(
      episodes.text,
      R"([{"name":"Episode Two","path":"http://pod.example/feed.xml/ep-2","folder":false,"size":-1,)"
      R"("mtime_ms":1136300645000,"id":"ep-2","locator":"http://pod.example/2.mp3","duration_s":-1,)"
      R"("guid_fallback":false,"title":"Episode Two","enclosure_type":"audio/mpeg"},)"
      R"({"name":"Episode One","path":"http://pod.example/feed.xml/ep-1","folder":false,"size":1234,)"
      R"("mtime_ms":1136214245000,"id":"ep-1","locator":"http://pod.example/1.mp3","duration_s":90,)"
      R"("guid_fallback":false,"title":"Episode One","enclosure_type":"audio/mpeg"},)"
      R"({"name":"episode 3","path":"http://pod.example/feed.xml/)" +
          encoded + R"(","folder":false,"size":-1,"mtime_ms":-1,"id":")" + fallback +
          R"(","locator":"http://pod.example/3.mp3","duration_s":-1,"guid_fallback":true}])");

  Answer resolved =
      stream(nullptr, R"({"name":"Episode One","path":"http://pod.example/feed.xml/ep-1",)"
                      R"("id":"ep-1","locator":"http://pod.example/1.mp3"})");
  EXPECT_EQ(resolved.code, 0);
  EXPECT_EQ(resolved.text, R"({"url":"http://pod.example/1.mp3","headers":{}})");

  auto after = counters();
  EXPECT_EQ(vepod_fake_calls(kFeedUrl), 1);
  EXPECT_EQ(after["http.gets"] - before["http.gets"], 1);
  EXPECT_EQ(after["cache.misses"] - before["cache.misses"], 1);
  EXPECT_EQ(after["cache.hits"] - before["cache.hits"], 2);
  EXPECT_EQ(after["cache.entries"], 1);
  EXPECT_EQ(after["feeds.parsed"] - before["feeds.parsed"], 3);
  EXPECT_EQ(after["items.kept"] - before["items.kept"], 3);
  EXPECT_EQ(after["items.guid_fallback"] - before["items.guid_fallback"], 1);
}

// The listings write their answer straight into the caller's buffer when the writer has room
// there, and otherwise through the heap: the answer, the one kept for vepod_result_json and the
// size a short buffer is told it needs must not depend on which way was taken.
TEST_F(Catalogue, ListingAnswersDoNotDependOnTheBufferSize) {
  ASSERT_EQ(vepod_fake_set(kFeedUrl, 200, kFeed), 0);
  const std::string settings = settings_for(kFeedUrl);
  const std::string feed = kFeedUrl;
  for (const std::string &path : {std::string(), feed, feed + "/ep-1"}) {
    SCOPED_TRACE("path \"" + path + "\"");
    Answer whole = list(settings, path.c_str());
    ASSERT_EQ(whole.code, 0) << whole.text;
    const size_t need = whole.text.size() + 1;
    // Room to spare, room for the answer alone (too little for the writer's own buffer), too
    // little.
    for (size_t room : {need * 4, need, need - 1}) {
      SCOPED_TRACE("room " + std::to_string(room));
      std::vector<char> out(room, 'x');
      int code = vepod_list(settings.c_str(), path.c_str(), out.data(), int32_t(room));
      EXPECT_EQ(std::string(vepod_result_json()), whole.text);
      if (room < need) {
        EXPECT_EQ(code, VEPOD_ERR_BUFFER_TOO_SMALL);
        EXPECT_EQ(out[0], '\0');
        EXPECT_EQ(std::string(vepod_last_error()),
                  "output buffer too small: need " + std::to_string(need) + " bytes");
      } else {
        EXPECT_EQ(code, 0);
        EXPECT_EQ(std::string(out.data()), whole.text);
        EXPECT_EQ(std::string(vepod_last_error()), "");
      }
    }
  }
}

constexpr const char *kPage = R"(<html><head>
  <link rel="alternate" type="application/rss+xml" href="/audio.xml" title="Audio">
  <link rel="alternate" type="application/atom+xml" href="http://site.example/video.atom">
</head><body>hello</body></html>)";

TEST_F(Catalogue, PageFeedsArePendingAndNamedByTheirLinks) {
  ASSERT_EQ(vepod_fake_set("http://site.example/", 200, kPage), 0);
  const std::string settings = settings_for("http://site.example/");
  Answer root = list(settings, nullptr);
  ASSERT_EQ(root.code, 0) << root.text;
  EXPECT_EQ(
      root.text,
      R"([{"name":"Audio","path":"http://site.example/audio.xml","id":"http://site.example/audio.xml",)"
      R"("folder":true,"size":-1},)"
      R"({"name":"http:∕∕site.example∕video.atom","path":"http://site.example/video.atom",)"
      R"("id":"http://site.example/video.atom","folder":true,"size":-1}])");
  EXPECT_EQ(vepod_fake_calls(nullptr), 1);

  Answer validated = validate(settings);
  EXPECT_EQ(validated.code, 0);
  EXPECT_EQ(validated.text.find("\"Title\""), std::string::npos);

  // Opening a pending feed fetches it once.
  ASSERT_EQ(vepod_fake_set("http://site.example/audio.xml", 200, kFeed), 0);
  Answer episodes = list(settings, "http://site.example/audio.xml");
  ASSERT_EQ(episodes.code, 0);
  EXPECT_NE(episodes.text.find("\"id\":\"ep-1\""), std::string::npos);
  EXPECT_EQ(vepod_fake_calls("http://site.example/audio.xml"), 1);
  EXPECT_EQ(vepod_fake_calls("http://site.example/video.atom"), 0);

  // The page itself is a folder of nothing.
  EXPECT_EQ(list(settings, "http://site.example/").text, "[]");
}

std::vector<std::string> listed_paths(const Answer &a) {
  std::vector<std::string> paths;
  yyjson_doc *doc = yyjson_read(a.text.data(), a.text.size(), 0);
  size_t i, n;
  yyjson_val *entry;
  yyjson_arr_foreach(yyjson_doc_get_root(doc), i, n, entry) {
    paths.emplace_back(yyjson_get_str(yyjson_obj_get(entry, "path")));
  }
  yyjson_doc_free(doc);
  return paths;
}

// A feed configured twice, or configured and announced by a configured page, is one folder, at
// the place it first takes.
TEST_F(Catalogue, EachFeedIsListedOnceAtItsFirstPlace) {
  ASSERT_EQ(vepod_fake_set("http://site.example/", 200, kPage), 0);
  ASSERT_EQ(vepod_fake_set(kFeedUrl, 200, kFeed), 0);
  const std::string audio = "http://site.example/audio.xml";
  const std::string video = "http://site.example/video.atom";
  struct Case {
    const char *urls;
    std::vector<std::string> paths;
  };
  const Case cases[] = {
      {"http://pod.example/feed.xml\nhttp://pod.example/feed.xml", {kFeedUrl}},
      {"http://site.example/\nhttp://site.example/audio.xml\nhttp://pod.example/feed.xml",
       {audio, video, kFeedUrl}},
      {"http://site.example/audio.xml\nhttp://pod.example/feed.xml\nhttp://site.example/",
       {audio, kFeedUrl, video}},
      {"http://site.example/\nhttp://site.example/", {audio, video}},
  };
  ASSERT_EQ(vepod_fake_set(audio.c_str(), 200, kFeed), 0);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.urls);
    Answer root = list(settings_for(c.urls), "");
    ASSERT_EQ(root.code, 0) << root.text;
    EXPECT_EQ(listed_paths(root), c.paths);
  }
}

// Resolving an entry and reading its details load only the feed its path names when the source
// configures it, or a configured page announced it and both answers are stored; otherwise the
// whole source.
TEST_F(Catalogue, EntryOperationsLoadOnlyTheNamedFeed) {
  const char *other = "http://other.example/feed.xml";
  const char *page = "http://site.example/";
  const char *audio = "http://site.example/audio.xml";
  ASSERT_EQ(vepod_fake_set(kFeedUrl, 200, kFeed), 0);
  ASSERT_EQ(vepod_fake_set(other, 200, kFeed), 0);
  ASSERT_EQ(vepod_fake_set(page, 200, kPage), 0);
  ASSERT_EQ(vepod_fake_set(audio, 200, kFeed), 0);
  const std::string settings = settings_for(std::string(other) + "\n" + page + "\n" + kFeedUrl);
  // The transport calls each URL takes during call().
  auto calls_during = [&](const std::function<Answer()> &call, Answer *answer) {
    std::map<std::string, int> before, after;
    for (const char *url : {other, page, audio, kFeedUrl}) before[url] = vepod_fake_calls(url);
    *answer = call();
    for (const char *url : {other, page, audio, kFeedUrl}) {
      after[url] = vepod_fake_calls(url) - before[url];
    }
    return after;
  };
  const std::map<std::string, int> only_feed = {{other, 0}, {page, 0}, {audio, 0}, {kFeedUrl, 1}};
  const std::string ep1 = std::string(kFeedUrl) + "/ep-1";
  const std::string entry = R"({"id":"ep-2","path":")" + std::string(kFeedUrl) + "/ep-2\"}";
  const std::string by_feed = R"({"id":"ep-2","path":")" + std::string(kFeedUrl) + "\"}";
  struct Case {
    const char *what;
    std::function<Answer()> call;
    const char *expected;
  };
  const Case cases[] = {
      {"stream URL", [&] { return stream(settings.c_str(), entry.c_str()); },
       R"({"url":"http://pod.example/2.mp3","headers":{}})"},
      {"stream URL by the feed's own URL",
       [&] { return stream(settings.c_str(), by_feed.c_str()); },
       R"({"url":"http://pod.example/2.mp3","headers":{}})"},
      {"entry details", [&] { return list(settings, ep1.c_str()); }, "\"id\":\"ep-1\""},
      {"feed folder", [&] { return list(settings, kFeedUrl); }, "\"id\":\"ep-2\""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    vepod_cache_clear();
    Answer a;
    EXPECT_EQ(calls_during(c.call, &a), only_feed);
    ASSERT_EQ(a.code, 0) << a.text;
    EXPECT_NE(a.text.find(c.expected), std::string::npos) << a.text;
  }

  // An announced feed: alone once the page and the feed are stored, else with the whole source.
  const std::string announced = R"({"id":"ep-1","path":"http://site.example/audio.xml/ep-1"})";
  const std::map<std::string, int> whole = {{other, 1}, {page, 1}, {audio, 1}, {kFeedUrl, 1}};
  const std::map<std::string, int> none = {{other, 0}, {page, 0}, {audio, 0}, {kFeedUrl, 0}};
  for (bool stored : {false, true}) {
    SCOPED_TRACE(stored ? "stored" : "not stored");
    vepod_cache_clear();
    if (stored) {
      ASSERT_EQ(list(settings, audio).code, 0);
    }
    long parsed_before = counters()["feeds.parsed"];
    Answer a;
    EXPECT_EQ(calls_during([&] { return stream(settings.c_str(), announced.c_str()); }, &a),
              stored ? none : whole);
    EXPECT_EQ(a.text, R"({"url":"http://pod.example/1.mp3","headers":{}})");
    // Only the announced feed was read.
    if (stored) {
      EXPECT_EQ(counters()["feeds.parsed"] - parsed_before, 1);
    }
  }

  // A path that names no feed of the source is looked for in all of it.
  vepod_cache_clear();
  Answer a;
  const std::map<std::string, int> roots = {{other, 1}, {page, 1}, {audio, 0}, {kFeedUrl, 1}};
  EXPECT_EQ(calls_during(
                [&] {
                  return stream(settings.c_str(),
                                R"({"id":"ep-1","path":"http://nowhere.example/f/ep-1"})");
                },
                &a),
            roots);
  EXPECT_EQ(a.code, -2);
}

struct FailureCase {
  const char *what;
  const char *settings;  // URL lines joined by '\n' when not starting with '{'
  const char *path;
  int code;
  const char *message;
};

void install_routes() {
  vepod_fake_set("http://h/feed", 200, kFeed);
  vepod_fake_set("http://h/empty", 200, kEmptyFeed);
  vepod_fake_set("http://h/missing", 404, "gone");
  vepod_fake_set("http://h/missing?k=1", 410, "gone");
  vepod_fake_set("http://h/partial", 206, kFeed);
  vepod_fake_set("http://h/plain", 200, "<html><body>no feeds</body></html>");
  vepod_fake_set("http://h/blank", 200, "");
  vepod_fake_fail("http://h/down", nullptr);
}

std::string settings_of(const char *text) {
  return text[0] == '{' ? std::string(text) : settings_for(text);
}

TEST_F(Catalogue, ListFailures) {
  const FailureCase cases[] = {
      {"bad settings", "{\"url\":\"http://h/feed\"}", "", -8, "settings need a non-empty URL"},
      {"all missing", "http://h/missing\nhttp://h/missing?k=1", "", -2,
       "HTTP 410 from http://h/missing?<redacted>"},
      {"only partial answers", "http://h/partial", "", -5, "no feeds found"},
      {"page without feeds", "http://h/plain", "", -5, "no feed links found on the page"},
      {"empty answer", "http://h/blank", "", -5, "empty document"},
      {"transport failure", "http://h/down", "", -4,
       "transport failure for http://h/down: fake: transport failure"},
      {"unknown folder", "http://h/feed", "http://user:pw@h/other?token=1", -2,
       "folder not found: http://h/other?<redacted>"},
      {"folder of a missing feed", "http://h/feed\nhttp://h/missing", "http://h/missing", -2,
       "HTTP 404 from http://h/missing"},
  };
  for (const FailureCase &c : cases) {
    SCOPED_TRACE(c.what);
    vepod_fake_reset();
    install_routes();
    Answer a = list(settings_of(c.settings), c.path);
    EXPECT_EQ(a.code, c.code);
    EXPECT_EQ(vepod_test::error_member(a.text.c_str()), c.message);
    EXPECT_EQ(std::string(vepod_last_error()), c.message);
  }
  // A failing folder is fetched again on demand: failures are not cached.
  EXPECT_EQ(vepod_fake_calls("http://h/missing"), 2);
}

// A source's failure reaches the host as it was recorded, place included, cut only at the one
// message limit.
TEST_F(Catalogue, RefusalsReachTheHostWholeWithTheirPlace) {
  const std::string words(400, 'm');
  vepod_fake_fail("http://h/long", words.c_str());
  vepod_fake_fail("http://h/longer", std::string(700, 'm').c_str());
  vepod_fake_set("http://h/broken", 200, "<rss>\n<channel>\n</rss>");
  vepod_fake_set("http://h/sjis", 200,
                 "<?xml version=\"1.0\" encoding=\"shift_jis\"?>\n"
                 "<rss><channel><title>\x82\xA0\xA0</title></channel></rss>");
  const std::string longer = "transport failure for http://h/longer: " + std::string(700, 'm');
  const struct {
    const char *what;
    const char *url;
    int code;
    std::string message;
  } cases[] = {
      {"long transport message", "http://h/long", -4,
       "transport failure for http://h/long: " + words},
      {"message at the limit", "http://h/longer", -4, longer.substr(0, VEPOD_MESSAGE_MAX - 1)},
      {"broken feed", "http://h/broken", -5, "mismatched close tag at line 3, column 1"},
      {"bytes the declared encoding refuses", "http://h/sjis", -5,
       "invalid byte sequence for Shift_JIS at line 2, column 23"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    // The root listing and the feed's own folder alike.
    for (const char *path : {"", c.url}) {
      Answer a = list(settings_of(c.url), path);
      EXPECT_EQ(a.code, c.code);
      EXPECT_EQ(std::string(vepod_last_error()), c.message);
    }
  }
}

// Each configured URL that failed is named with its code and message: a folder of the root
// listing with "error" when the settings ask for it, and "failures" in validate's answer and in the
// error document of an operation that failed for more than one of them.
TEST_F(Catalogue, EachFailedUrlIsNamedWithItsFailure) {
  install_routes();
  vepod_fake_set("http://h/broken", 200, "<rss>\n<channel>\n</rss>");
  const char *const missing = R"({"url":"http://h/missing","code":-2,)"
                              R"("message":"HTTP 404 from http://h/missing"})";
  const char *const broken = R"({"url":"http://h/broken","code":-5,)"
                             R"("message":"mismatched close tag at line 3, column 1"})";
  const char *const partial = R"({"url":"http://h/partial","code":-5,"message":"HTTP 206"})";

  const std::string urls = "http://h/missing\nhttp://h/feed\nhttp://h/partial";
  // Players see the folders that list; a host that asks is told which URLs failed, and why.
  Answer plain = list(settings_for(urls), "");
  ASSERT_EQ(plain.code, 0) << plain.text;
  EXPECT_EQ(plain.text.find("error"), std::string::npos) << plain.text;
  EXPECT_EQ(plain.text.find("missing"), std::string::npos) << plain.text;
  std::string asking = settings_for(urls);
  asking.insert(asking.size() - 1, R"(,"ListFailures":true)");
  Answer root = list(asking, "");
  ASSERT_EQ(root.code, 0) << root.text;
  EXPECT_EQ(
      root.text.rfind(R"([{"name":"http:∕∕h∕missing","path":"http://h/missing",)"
                      R"("id":"http://h/missing","folder":true,"size":-1,"error":{"code":-2,)"
                      R"("message":"HTTP 404 from http://h/missing"}},{"name":"Morning Show")",
                      0),
      0u)
      << root.text;
  EXPECT_NE(root.text.find(R"("error":{"code":-5,"message":"HTTP 206"}}])"), std::string::npos)
      << root.text;

  Answer all = list(settings_for("http://h/missing\nhttp://h/broken"), "");
  EXPECT_EQ(all.code, -5);
  EXPECT_EQ(all.text, std::string(R"({"error":"mismatched close tag at line 3, column 1",)") +
                          R"("failures":[)" + missing + "," + broken + "]}");

  char out[4096];
  ASSERT_EQ(vepod_validate(settings_for("http://h/feed\nhttp://h/broken\nhttp://h/partial").c_str(),
                           out, sizeof out),
            0);
  EXPECT_NE(std::string(out).find(std::string(R"("failures":[)") + broken + "," + partial + "]}"),
            std::string::npos)
      << out;
  EXPECT_EQ(
      vepod_validate(settings_for("http://h/missing\nhttp://h/broken").c_str(), out, sizeof out),
      -5);
  EXPECT_EQ(std::string(out),
            std::string(R"({"error":"mismatched close tag at line 3, column 1",)") +
                R"("failures":[)" + missing + "," + broken + "]}");
}

TEST_F(Catalogue, ValidateFailures) {
  const FailureCase cases[] = {
      {"no settings", nullptr, nullptr, -8, "settings_json is NULL"},
      {"feed without episodes", "http://h/empty", nullptr, -5,
       "no episodes and no discovered feeds"},
      {"missing next to an empty feed", "http://h/missing\nhttp://h/empty", nullptr, -2,
       "HTTP 404 from http://h/missing"},
      {"partial answer only", "http://h/partial", nullptr, -5,
       "no episodes and no discovered feeds"},
      {"page without feeds", "http://h/plain", nullptr, -5, "no feed links found on the page"},
  };
  for (const FailureCase &c : cases) {
    SCOPED_TRACE(c.what);
    vepod_fake_reset();
    install_routes();
    char out[512];
    int code =
        vepod_validate(c.settings ? settings_of(c.settings).c_str() : nullptr, out, sizeof out);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(vepod_test::error_member(out), c.message);
  }
}

// A body whose root element is a feed's but that does not read as one is a broken feed, named by
// the reader's own message as vepod_parse_feed gives it; anything else is a page without feeds.
TEST_F(Catalogue, BrokenFeedIsToldFromAPageWithoutFeeds) {
  struct body_case {
    const char *what;
    std::string body;
    bool broken;
  };
  const std::string head = "<rss><channel><title>S</title><item><guid>1</guid>";
  const body_case cases[] = {
      {"cut off half-way", head + "<enclosure url='http://m/1.mp3'/></item><item><ti", true},
      {"undeclared entity", head + "<title>a &nbsp; b</title></item></channel></rss>", true},
      {"mismatched close tag", head + "</channel></item></rss>", true},
      {"self-closing root", "<feed/>", true},
      {"RDF root", "<rdf:RDF><channel></rdf:RDF>", true},
      {"plain text", "just some words", false},
      {"web page", "<html><head><title>Shop</title></head><body>x</body></html>", false},
      {"other XML", "<?xml version='1.0'?><svg><g/></svg>", false},
  };
  for (const body_case &c : cases) {
    SCOPED_TRACE(c.what);
    vepod_fake_reset();
    vepod_cache_clear();
    ASSERT_EQ(vepod_fake_set(kFeedUrl, 200, c.body.c_str()), 0);
    std::string expected = "no feed links found on the page";
    if (c.broken) {
      char *json = nullptr;
      char err[512];
      ASSERT_EQ(vepod_parse_feed(c.body.data(), c.body.size(), &json, err, sizeof err), -1);
      expected = err;
    }
    for (const char *path : {"", kFeedUrl}) {
      Answer a = list(settings_for(kFeedUrl), path);
      EXPECT_EQ(a.code, -5);
      EXPECT_EQ(vepod_test::error_member(a.text.c_str()), expected) << path;
    }
    EXPECT_EQ(vepod_test::error_member(validate(settings_for(kFeedUrl)).text.c_str()), expected);
  }
}

// The identifier of a new source is never made from a failed draw (it would be the same for every
// source); settings that name their ID need none.
TEST_F(Catalogue, ValidateFailsWhenTheRandomSourceFails) {
  ASSERT_EQ(vepod_fake_set(kFeedUrl, 200, kFeed), 0);
  static int draws_left;
  vepod_set_random_source([](uint32_t *value) {
    if (draws_left-- <= 0) return -1;
    *value = 7;
    return 0;
  });
  for (int good_draws : {0, 3}) {
    draws_left = good_draws;
    Answer a = validate(settings_for(kFeedUrl));
    EXPECT_EQ(a.code, -5) << good_draws;
    EXPECT_EQ(a.text, error_doc("random source failure"));
    EXPECT_STREQ(vepod_last_error(), "random source failure");
  }
  draws_left = 0;
  Answer named = validate(R"({"URL":"http://pod.example/feed.xml","ID":"mine"})");
  vepod_set_random_source(nullptr);
  EXPECT_EQ(named.code, 0) << named.text;
  EXPECT_NE(named.text.find(R"("ID":"mine")"), std::string::npos);
}

// feeds.rejected counts each fetched document that should have been a feed and is not: a
// configured URL that is neither a feed nor a page with feeds, and a feed a page announced.
TEST_F(Catalogue, RejectedFeedsAreCounted) {
  vepod_fake_set("http://h/feed", 200, kFeed);
  vepod_fake_set("http://h/plain", 200, "<html><body>no feeds</body></html>");
  vepod_fake_set("http://h/text", 200, "just text");
  vepod_fake_set("http://h/partial", 206, "just text");
  vepod_fake_set("http://h/page2", 200,
                 R"(<link rel="alternate" type="application/rss+xml" href="/feed">)");
  vepod_fake_set("http://h/page", 200,
                 R"(<link rel="alternate" type="application/rss+xml" href="/feed">
                    <link rel="alternate" type="application/rss+xml" href="/plain">
                    <link rel="alternate" type="application/rss+xml" href="/page2">)");
  struct Case {
    const char *what;
    const char *urls;
    const char *path;
    long rejected;
  };
  const Case cases[] = {
      {"a feed", "http://h/feed", "", 0},
      {"a page without feeds", "http://h/plain", "", 1},
      {"plain text", "http://h/text", "", 1},
      {"a partial answer is no verdict", "http://h/partial", "", 0},
      {"a feed beside plain text", "http://h/feed\nhttp://h/text", "", 1},
      {"a page with feeds", "http://h/page", "", 0},
      {"an announced feed", "http://h/page", "http://h/feed", 0},
      {"an announced feed that is a page without feeds", "http://h/page", "http://h/plain", 1},
      {"an announced feed that is a page with feeds", "http://h/page", "http://h/page2", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    vepod_cache_clear();
    long before = counters()["feeds.rejected"];
    list(settings_for(c.urls), c.path);
    EXPECT_EQ(counters()["feeds.rejected"] - before, c.rejected);
  }
}

TEST_F(Catalogue, StreamUrlFailures) {
  install_routes();
  const std::string settings = settings_for("http://h/feed\nhttp://h/down");
  struct Case {
    const char *entry;
    int code;
    const char *message;
  };
  const Case cases[] = {
      {nullptr, -8, "entry_json is not a JSON object"},
      {"[]", -8, "entry_json is not a JSON object"},
      {"\"x\"", -8, "entry_json is not a JSON object"},
      {"{\"id\":\"ep-1\"", -8,
       "entry_json is not a JSON object: unexpected end of data at offset 12"},
      {"{}", -8, "entry_json has neither id nor a stream_url"},
      {R"({"stream_url":"","locator":"http://pod.example/1.mp3"})", -8,
       "entry_json has neither id nor a stream_url"},
      {R"({"id":7,"path":"http://h/feed"})", -8, "entry_json has neither id nor a stream_url"},
      {R"({"id":"nope","path":"http://h/feed"})", -2, "entry id not found in feed"},
      {R"({"id":"ep-1"})", -2, "entry id not found in feed"},
      {R"({"id":"ep-1","path":"http://h/other/ep-1"})", -2, "entry id not found in feed"},
      {R"({"id":"nope","path":"http://h/feed/ep-1"})", -2, "entry id not found in feed"},
      // A feed that cannot be fetched or read says why.
      {R"({"id":"ep-1","path":"http://h/down"})", -4,
       "transport failure for http://h/down: fake: transport failure"},
      {R"({"id":"ep-1","path":"http://h/down/ep-1"})", -4,
       "transport failure for http://h/down: fake: transport failure"},
      // A NUL inside a value must not cut it down to a URL, path or id that it does not equal.
      {R"({"stream_url":"http://pod.example/1.mp3\u0000x"})", -2, "entry id not found in feed"},
      {R"({"id":"ep-1","path":"http://h/feed\u0000x"})", -2, "entry id not found in feed"},
      {R"({"id":"ep-1\u0000x","path":"http://h/feed"})", -2, "entry id not found in feed"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.entry ? c.entry : "NULL");
    Answer a = stream(settings.c_str(), c.entry);
    EXPECT_EQ(a.code, c.code);
    EXPECT_EQ(a.text, error_doc(c.message));
  }
}

// An entry of a feed that cannot be fetched or read answers that failure, in a stream URL, in the
// entry's details and in the feed's folder alike, never "not found in feed": the feed was not read.
TEST_F(Catalogue, EntryOfAFailingFeedAnswersTheFeedsFailure) {
  install_routes();
  vepod_fake_set("http://h/broken", 200, "<rss>\n<channel>\n</rss>");
  vepod_fake_set("http://h/refused", 403, "no");
  const std::string settings = settings_for(
      "http://h/feed\nhttp://h/missing\nhttp://h/broken\nhttp://h/refused\nhttp://h/down\n"
      "http://h/partial");
  struct Case {
    const char *feed;
    int code;
    const char *message;
  };
  const Case cases[] = {
      {"http://h/missing", -2, "HTTP 404 from http://h/missing"},
      {"http://h/refused", -1, "HTTP 403 from http://h/refused"},
      {"http://h/broken", -5, "mismatched close tag at line 3, column 1"},
      {"http://h/down", -4, "transport failure for http://h/down: fake: transport failure"},
      // A 2xx other than 200 holds no feed: its status says why.
      {"http://h/partial", -2, "HTTP 206"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.feed);
    std::string own = settings_for((std::string("http://h/feed\n") + c.feed).c_str());
    for (const std::string &s : {settings, own}) {
      const std::string path = std::string(c.feed) + "/ep-1";
      const std::string entry = R"({"id":"ep-1","path":")" + path + "\"}";
      Answer a = stream(s.c_str(), entry.c_str());
      EXPECT_EQ(a.code, c.code);
      EXPECT_EQ(a.text, error_doc(c.message));
      Answer details = list(s, path.c_str());
      EXPECT_EQ(details.code, c.code);
      EXPECT_EQ(details.text, error_doc(c.message));
      // Its folder lists as empty: the answer came, without episodes.
      const bool answered = std::string(c.feed) == "http://h/partial";
      Answer folder = list(s, c.feed);
      EXPECT_EQ(folder.code, answered ? 0 : c.code);
      EXPECT_EQ(folder.text, answered ? "[]" : error_doc(c.message));
    }
  }
}

TEST_F(Catalogue, StreamUrlChoosesTheDirectUrlOrLooksTheIdUp) {
  install_routes();
  const std::string settings = settings_for("http://h/feed");
  struct Case {
    const char *entry;
    const char *url;
  };
  const Case cases[] = {
      {R"({"stream_url":"https://cdn/s","locator":"http://cdn/l","url":"http://cdn/u"})",
       "https://cdn/s"},
      {R"({"stream_url":5,"locator":"http://cdn/l"})", "http://cdn/l"},
      {R"({"url":"HTTP://cdn/u"})", "HTTP://cdn/u"},
      {R"({"locator":"/media/1.mp3","id":"ep-2","path":"http://h/feed"})",
       "http://pod.example/2.mp3"},
      {R"({"stream_url":"","id":"ep-1","path":"http://h/feed"})", "http://pod.example/1.mp3"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.entry);
    Answer a = stream(settings.c_str(), c.entry);
    EXPECT_EQ(a.code, 0);
    EXPECT_EQ(a.text, std::string("{\"url\":\"") + c.url + "\",\"headers\":{}}");
  }
}

TEST_F(Catalogue, ValidateCopiesMembersInOrder) {
  install_routes();
  struct Case {
    const char *settings;
    const char *expected;  // "<id>" stands for a new identifier
  };
  const Case cases[] = {
      {R"({"RuntimeType":"X","URL":"http://h/feed","Title":"Mine","ID":"keep","Flag":true,"Gone":null})",
       R"({"URL":"http://h/feed","ID":"keep","Gone":null,"RuntimeType":"PODCASTS","Title":"Morning Show"})"},
      {R"({"ID":"","URL":"http://h/feed","Name":"a","Name":"b"})",
       R"({"URL":"http://h/feed","Name":"a","Name":"b","RuntimeType":"PODCASTS","Title":"Morning Show","ID":"<id>"})"},
      {R"({"ID":12,"URL":"http://h/feed\nhttp://h/feed2"})",
       R"({"URL":"http://h/feed\nhttp://h/feed2","RuntimeType":"PODCASTS","ID":"<id>"})"},
  };
  // The second feed has episodes but no title: it is the last loaded feed, so no title is added.
  vepod_fake_set(
      "http://h/feed2", 200,
      "<rss><channel><item><guid>a</guid><enclosure url=\"http://m/a\"/></item></channel></rss>");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.settings);
    Answer a = validate(c.settings);
    ASSERT_EQ(a.code, 0) << a.text;
    std::string pattern =
        std::regex_replace(std::string(c.expected), std::regex(R"([\\{}\[\].?*+^$|()])"), R"(\$&)");
    pattern = std::regex_replace(pattern, std::regex("<id>"), "[0-9a-f-]{36}");
    EXPECT_TRUE(std::regex_match(a.text, std::regex(pattern))) << a.text;
  }
  EXPECT_NE(validate(cases[1].settings).text, validate(cases[1].settings).text);
}

TEST_F(Catalogue, EpisodesSortNewestFirstWithUnknownDatesLast) {
  vepod_fake_set("http://h/f", 200, R"(<rss><channel>
    <item><guid>a</guid><pubDate>Wed, 01 Jan 2020 00:00:00 GMT</pubDate><enclosure url="http://m/a"/></item>
    <item><guid>b</guid><enclosure url="http://m/b"/></item>
    <item><guid>c</guid><pubDate>Fri, 01 Jan 2021 00:00:00 GMT</pubDate><enclosure url="http://m/c"/></item>
    <item><guid>d</guid><pubDate>Wed, 01 Jan 2020 00:00:00 GMT</pubDate><enclosure url="http://m/d"/></item>
    <item><guid>a</guid><enclosure url="http://m/a2"/></item>
    <item><guid>e</guid></item>
    <item><guid>f</guid><enclosure url=""/></item>
    <item><guid>a b/c?</guid><title>T&#9;ab/x</title><enclosure url="http://m/g"/></item>
  </channel></rss>)");
  Answer a = list(settings_for("http://h/f"), "http://h/f");
  ASSERT_EQ(a.code, 0) << a.text;
  std::vector<std::string> ids;
  std::regex id_member("\"id\":\"([^\"]*)\"");
  for (std::sregex_iterator it(a.text.begin(), a.text.end(), id_member), end; it != end; ++it) {
    ids.push_back((*it)[1]);
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"c", "a", "d", "b", "a b/c?"}));
  EXPECT_NE(a.text.find(R"("path":"http://h/f/a%20b%2Fc%3F")"), std::string::npos);
  EXPECT_NE(a.text.find(R"("name":"T ab∕x")"), std::string::npos);
  EXPECT_NE(a.text.find(R"("title":"T\tab/x")"), std::string::npos);
  EXPECT_NE(a.text.find(R"("locator":"http://m/a")"), std::string::npos);
  EXPECT_EQ(a.text.find("http://m/a2"), std::string::npos);
}

TEST(SegName, CutsAtTheBudgetWithoutSplittingCharacters) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::string a255(255, 'a');
  const Case cases[] = {
      {std::string(300, 'x'), std::string(256, 'x')},
      {a255 + "/tail", a255 + "\xE2\x88\x95"},
      {a255 + "\xC3\xA9", a255},  // a two-byte character does not fit in one byte
      {std::string(254, 'a') + "\xC3\xA9z", std::string(254, 'a') + "\xC3\xA9"},
      {"News/Daily",
       "News\xE2\x88\x95"
       "Daily"},
      {"a\x01\x7f"
       "b",
       "a  b"},
      {"", ""},
  };
  for (const Case &c : cases) {
    char name[vepod_name_size];
    size_t length = vepod_seg_name(c.text.c_str(), name);
    EXPECT_EQ(std::string(name), c.expected);
    EXPECT_EQ(length, c.expected.size());
    EXPECT_TRUE(vepod_utf8_valid(name, length));
  }
}

// A title that is not valid UTF-8 is shown with a replacement character, not refused.
TEST_F(Catalogue, IllFormedTextIsRepairedInAnswers) {
  vepod_fake_set("http://h/f", 200,
                 "<rss><channel><title>Bad &#xD800; "
                 "name</title><item><guid>g</guid><title>x\xED\xA0\x80y</title>"
                 "<enclosure url=\"http://m/1\"/></item></channel></rss>");
  const std::string settings = settings_for("http://h/f");
  Answer root = list(settings, "");
  ASSERT_EQ(root.code, 0) << vepod_last_error();
  EXPECT_NE(root.text.find("Bad \xEF\xBF\xBD name"), std::string::npos);
  Answer episodes = list(settings, "http://h/f");
  ASSERT_EQ(episodes.code, 0) << vepod_last_error();
  EXPECT_NE(episodes.text.find("\"title\":\"x\xEF\xBF\xBDy\""), std::string::npos);
}

// Every entry a feed folder lists resolves when handed back exactly as listed, whatever its media
// URL or id looks like, and a relative media URL plays from the feed's own address.
TEST_F(Catalogue, EveryListedEntryResolves) {
  const char *feed_url = "http://h/shows/feed.xml";
  vepod_fake_set(feed_url, 200,
                 "<rss><channel><title>S</title>"
                 "<item><guid>rel</guid><enclosure url=\"/media/ep1.mp3\"/></item>"
                 "<item><guid>blank</guid><enclosure url=\" http://h/ep2.mp3\t\"/></item>"
                 "<item><guid>g&#xD800;3</guid><enclosure url=\"ep4.mp3\"/></item>"
                 "<item><guid>a/b?c#d%e</guid><enclosure url=\"http://h/ep5.mp3\"/></item>"
                 "</channel></rss>");
  const std::string settings = settings_for(feed_url);
  Answer episodes = list(settings, feed_url);
  ASSERT_EQ(episodes.code, 0) << vepod_last_error();
  yyjson_doc *doc = yyjson_read(episodes.text.data(), episodes.text.size(), 0);
  ASSERT_NE(doc, nullptr);
  std::map<std::string, std::string> played;  // id -> stream URL
  size_t i, n;
  yyjson_val *entry;
  yyjson_arr_foreach(yyjson_doc_get_root(doc), i, n, entry) {
    char *entry_json = yyjson_val_write(entry, 0, nullptr);
    Answer a = stream(settings.c_str(), entry_json);
    EXPECT_EQ(a.code, 0) << entry_json << ": " << vepod_last_error();
    yyjson_doc *answer = yyjson_read(a.text.data(), a.text.size(), 0);
    played[yyjson_get_str(yyjson_obj_get(entry, "id"))] =
        answer ? yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(answer), "url")) : "";
    yyjson_doc_free(answer);
    std::free(entry_json);
  }
  yyjson_doc_free(doc);
  const std::map<std::string, std::string> expected = {
      {"rel", "http://h/media/ep1.mp3"},
      {"blank", "http://h/ep2.mp3"},
      {"g\xEF\xBF\xBD"
       "3",
       "http://h/shows/ep4.mp3"},
      {"a/b?c#d%e", "http://h/ep5.mp3"},
  };
  EXPECT_EQ(played, expected);

  // The id part of the path alone, without the locator, names the episode too.
  Answer by_path = stream(
      settings.c_str(), R"({"id":"a/b?c#d%e","path":"http://h/shows/feed.xml/a%2Fb%3Fc%23d%25e"})");
  EXPECT_EQ(by_path.text, R"({"url":"http://h/ep5.mp3","headers":{}})");
}

// The operations know the feed's URL and resolve relative media, artwork and page links against
// it; vepod_parse_feed does not and keeps them as written.
TEST_F(Catalogue, RelativeUrlsResolveAgainstTheFeed) {
  const char *feed_url = "http://h/shows/feed.xml";
  const std::string doc =
      "<rss><channel><title>S</title><link>/site</link><itunes:image href=' cover.jpg'/>"
      "<item><guid>a</guid><link>ep/a.html</link><itunes:image href='/art/a.jpg'/>"
      "<enclosure url='../media/a.mp3'/></item></channel></rss>";
  vepod_fake_set(feed_url, 200, doc.c_str());
  const std::string settings = settings_for(feed_url);
  Answer root = list(settings, "");
  ASSERT_EQ(root.code, 0) << vepod_last_error();
  EXPECT_NE(root.text.find(R"("image":"http://h/shows/cover.jpg")"), std::string::npos);
  EXPECT_NE(root.text.find(R"("link":"http://h/site")"), std::string::npos);
  Answer episodes = list(settings, feed_url);
  ASSERT_EQ(episodes.code, 0) << vepod_last_error();
  for (const char *member :
       {R"("locator":"http://h/media/a.mp3")", R"("image":"http://h/art/a.jpg")",
        R"("link":"http://h/shows/ep/a.html")"}) {
    EXPECT_NE(episodes.text.find(member), std::string::npos) << member;
  }
  char *json = nullptr;
  ASSERT_EQ(vepod_parse_feed(doc.data(), doc.size(), &json, nullptr, 0), 0);
  EXPECT_NE(std::string(json).find(R"("url":"../media/a.mp3")"), std::string::npos);
  std::free(json);
}

// Only absolute http(s) URLs reach a host: media, links, images, chapters, transcripts, persons,
// alternate sources and funding with any other scheme are left out, and an episode without a
// usable media URL is not listed. vepod_parse_feed keeps what the feed wrote.
TEST_F(Catalogue, OnlyHttpUrlsReachTheHost) {
  const char *feed_url = "http://h/shows/feed.xml";
  const std::string doc =
      "<rss><channel><title>S</title><link>javascript:alert(1)</link>"
      "<itunes:image href='file:///etc/passwd'/>"
      "<podcast:funding url='vbscript:msgbox(1)'>Fund</podcast:funding>"
      "<podcast:person href='data:text/html,x' img='smb://h/p.png'>P</podcast:person>"
      "<item><guid>good</guid><enclosure url='http://m/good.mp3'/>"
      "<link>javascript:alert(document.cookie)</link>"
      "<itunes:image href='data:image/png;base64,AAAA'/>"
      "<podcast:chapters url='file:///c.json' type='application/json+chapters'/>"
      "<podcast:transcript url='vbscript:x' type='text/vtt'/>"
      "<podcast:transcript url='t.vtt' type='text/vtt'/>"
      "<podcast:person href='javascript:x' img='file:///i.png'>G</podcast:person>"
      "<podcast:alternateEnclosure type='audio/opus'><podcast:source uri='smb://h/a.opus'/>"
      "<podcast:source uri='/alt.opus'/></podcast:alternateEnclosure>"
      "<psc:chapter start='0' title='Intro' href='javascript:x' image='data:x'/></item>"
      "<item><guid>file</guid><enclosure url='file://attacker.example/share/ep.mp3'/></item>"
      "<item><guid>smb</guid><enclosure url='smb://h/ep.mp3'/></item>"
      "<item><guid>js</guid><enclosure url='javascript:alert(document.cookie)'/></item>"
      "<item><guid>ftp</guid><enclosure url='ftp://h/ep.mp3'/></item>"
      "<item><guid>local</guid><enclosure url='file:///home/user/.ssh/id_rsa'/></item>"
      "</channel></rss>";
  vepod_fake_set(feed_url, 200, doc.c_str());
  const std::string settings = settings_for(feed_url);
  const std::string entry_path = std::string(feed_url) + "/good";
  Answer answers[] = {list(settings, ""), list(settings, feed_url),
                      list(settings, entry_path.c_str())};
  for (const Answer &a : answers) {
    ASSERT_EQ(a.code, 0) << a.text;
    for (const char *scheme : {"javascript:", "vbscript:", "data:", "file:", "smb:", "ftp:"}) {
      EXPECT_EQ(a.text.find(scheme), std::string::npos) << scheme << " in " << a.text;
    }
  }
  EXPECT_EQ(listed_paths(answers[1]), std::vector<std::string>{entry_path});
  for (const char *kept : {R"("uri":"http://h/alt.opus")", R"("url":"http://h/shows/t.vtt")"}) {
    EXPECT_NE(answers[2].text.find(kept), std::string::npos) << kept;
  }

  // An entry handed back with a locator of another scheme is looked up by its id.
  const struct {
    const char *entry;
    int code;
    const char *text;
  } cases[] = {
      {R"({"locator":"file:///etc/passwd","id":"good","path":"http://h/shows/feed.xml/good"})", 0,
       R"({"url":"http://m/good.mp3","headers":{}})"},
      {R"({"id":"local","path":"http://h/shows/feed.xml/local"})", -2,
       R"({"error":"entry id not found in feed"})"},
      {R"x({"stream_url":"javascript:alert(1)","id":"js","path":"http://h/shows/feed.xml"})x", -2,
       R"({"error":"entry id not found in feed"})"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.entry);
    Answer a = stream(settings.c_str(), c.entry);
    EXPECT_EQ(a.code, c.code);
    EXPECT_EQ(a.text, c.text);
  }

  char *json = nullptr;
  ASSERT_EQ(vepod_parse_feed(doc.data(), doc.size(), &json, nullptr, 0), 0);
  for (const char *kept :
       {"file:///home/user/.ssh/id_rsa", "javascript:alert(1)", "smb://h/a.opus"}) {
    EXPECT_NE(std::string(json).find(kept), std::string::npos) << kept;
  }
  std::free(json);
}

// The handler table runs on the transport it is given, whatever is installed for the exports.
TEST_F(Catalogue, HandlerTableUsesTheCallersTransport) {
  const vepod_handler_table *table = verch_get();
  ASSERT_EQ(table, verch_get());
  ASSERT_EQ(table, vepod_handler_get());
  EXPECT_STREQ(table->runtime_type, vepod_runtime_type());
  EXPECT_EQ(table->caps, vepod_caps());

  struct Host {
    int calls = 0;
  } host;
  tervala_io io = {&host,
                   [](void *ctx, const char *, char **body, int *status, char **) {
                     static_cast<Host *>(ctx)->calls++;
                     *body = vepod_strdup(kFeed);
                     *status = 200;
                     return 0;
                   },
                   nullptr, nullptr};
  static const tervala_io refusing = {nullptr, nullptr, nullptr, nullptr};
  vepod_set_io(&refusing);
  char out[4096];
  const std::string settings = settings_for("http://host.example/feed");
  ASSERT_EQ(table->list(&io, settings.c_str(), "", out, sizeof out), 0) << out;
  EXPECT_EQ(host.calls, 1);
  EXPECT_NE(std::string(out).find("Morning Show"), std::string::npos);
  EXPECT_EQ(vepod_list(settings.c_str(), "", out, sizeof out), -8);
  EXPECT_STREQ(out, "{\"error\":\"no tervala_io transport\"}");
  EXPECT_EQ(table->validate(nullptr, settings.c_str(), out, sizeof out), -8);
  EXPECT_STREQ(out, "{\"error\":\"no tervala_io transport\"}");
  EXPECT_EQ(table->download(&io, nullptr, nullptr, out, sizeof out), -6);
}

// A host loads the library by name and finds every export undecorated.
TEST(DynamicLoading, AllExportsResolveByName) {
#if defined(_WIN32)
  HMODULE library = LoadLibraryA(VEPOD_LIBRARY_PATH);
  ASSERT_NE(library, nullptr) << "error " << GetLastError();
  auto dlsym = [](HMODULE lib, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(lib, name));
  };
  auto dlclose = FreeLibrary;
#else
  void *library = dlopen(VEPOD_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
#endif
  const char *names[] = {"verch_get",
                         "vepod_validate",
                         "vepod_list",
                         "vepod_stream_url",
                         "vepod_download",
                         "vepod_last_error",
                         "vepod_result_json",
                         "vepod_version",
                         "vepod_runtime_type",
                         "vepod_caps",
                         "vepod_set_io",
                         "vepod_use_curl",
                         "vepod_use_fake",
                         "vepod_stats_json",
                         "vepod_parse_feed",
                         "vepod_discover_feeds",
                         "vepod_parse_duration",
                         "vepod_cache_clear",
                         "vepod_cache_set_max_age",
                         "vepod_fake_reset",
                         "vepod_fake_set",
                         "vepod_fake_fail",
                         "vepod_fake_calls"};
  for (const char *name : names) EXPECT_NE(dlsym(library, name), nullptr) << name;
  auto get = reinterpret_cast<const vepod_handler_table *(*)()>(dlsym(library, "verch_get"));
  ASSERT_NE(get, nullptr);
  EXPECT_STREQ(get()->runtime_type, "PODCASTS");
  EXPECT_EQ(get()->caps, 35);
  dlclose(library);
}

}  // namespace
