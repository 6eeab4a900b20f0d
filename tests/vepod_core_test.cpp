// The client's core on its own: the update engine over the library's fake transport (--offline's
// files) with a database in a temporary folder, what the store records of an update, OPML round
// trips, and the HTTP statuses the core names as the library does. Nothing here reads what the
// program prints: the core hands back data.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "core/library.h"
#include "core/opml.h"
#include "core/session.h"
#include "core/store.h"
#include "core/subscribe.h"
#include "core/update.h"
#include "vepod.h"

namespace fs = std::filesystem;

namespace {

constexpr const char *k_feed_url = "https://pod.example/feed.xml";
constexpr const char *k_new_url = "https://new.example/feed.xml";

// A feed with `items` episodes, the newest first, e3 published after e2 after e1.
std::string feed(const std::string &title, int items, const std::string &announce = "") {
  std::string text =
      "<rss xmlns:itunes='http://www.itunes.com/dtds/podcast-1.0.dtd'><channel><title>" + title +
      "</title>" + announce;
  for (int i = items; i >= 1; i--) {
    const std::string n = std::to_string(i);
    text += "<item><title>Episode " + n + "</title><guid>e" + n + "</guid><pubDate>0" + n +
            " Jan 2024 10:00:00 GMT</pubDate><enclosure url='https://media.example/e" + n +
            ".mp3' type='audio/mpeg' length='100'/></item>";
  }
  return text + "</channel></rss>";
}

class Core : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vepod-core-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    db_ = std::make_unique<store>((dir_ / "vepod.db").string());
  }
  void TearDown() override {
    db_.reset();
    vepod_cache_clear();
    fs::remove_all(dir_);
  }

  // Preferences whose offline files answer for `routes` (URL, document).
  preferences offline(const std::vector<std::pair<std::string, std::string>> &routes) {
    preferences p;
    for (const auto &[url, body] : routes) {
      const fs::path file = dir_ / ("route" + std::to_string(files_++));
      std::ofstream(file, std::ios::binary) << body;
      p.offline.emplace_back(url, file.string());
    }
    return p;
  }

  // One update run over `routes`, as 'vepod update' runs it.
  update_result update(const std::vector<std::pair<std::string, std::string>> &routes) {
    session net;
    EXPECT_FALSE(net.open(offline(routes), nullptr));
    vepod_cache_clear();
    return update_subscriptions(*db_, net, db_->subscriptions(), 4);
  }

  subscription only() {
    std::vector<subscription> all = db_->subscriptions();
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? subscription{} : all.front();
  }

  fs::path dir_;
  std::unique_ptr<store> db_;
  int files_ = 0;
};

TEST_F(Core, AnUpdateRecordsTheFeedAndReturnsWhatIsNew) {
  // Imported (never fetched): its episodes are known, the newest one left new.
  const int64_t id = db_->subscribe(k_feed_url, "");
  db_->set_first_new(id, 1);
  update_result first = update({{k_feed_url, feed("Harbor", 2)}});
  ASSERT_EQ(first.feeds.size(), 1u);
  const feed_update &u = first.feeds.front();
  EXPECT_FALSE(u.problem);
  EXPECT_EQ(u.title, "Harbor");
  ASSERT_EQ(u.fresh.size(), 1u);
  EXPECT_EQ(u.fresh[0].title, "Episode 2");
  EXPECT_EQ(u.fresh[0].number, 2);  // numbers follow the dates: the oldest is 1
  EXPECT_EQ(only().title, "Harbor");
  EXPECT_EQ(only().episodes, 2);
  EXPECT_TRUE(only().last_error.empty());

  // The next update: only what came since is new.
  update_result second = update({{k_feed_url, feed("Harbor", 3)}});
  ASSERT_EQ(second.feeds.size(), 1u);
  ASSERT_EQ(second.feeds[0].fresh.size(), 1u);
  EXPECT_EQ(second.feeds[0].fresh[0].guid, "e3");
  EXPECT_EQ(second.feeds[0].fresh[0].number, 3);
  EXPECT_EQ(second.feeds[0].fresh[0].feed_title, "Harbor");
  EXPECT_EQ(db_->episodes(id, false, -1).size(), 3u);
}

TEST_F(Core, AFailedUpdateIsOneFailureRecordKeptWithTheSubscription) {
  db_->subscribe(k_feed_url, "Harbor");
  // Offline, a URL without a file has no route: the library's listing fails.
  update_result run = update({{"https://other.example/x.xml", feed("Other", 1)}});
  ASSERT_EQ(run.feeds.size(), 1u);
  const failure &f = run.feeds[0].problem;
  ASSERT_TRUE(f);
  EXPECT_EQ(f.kind, failure_kind::library);
  EXPECT_LT(f.code, 0);
  EXPECT_FALSE(f.text.empty());
  EXPECT_EQ(only().last_error, f.text);
  EXPECT_EQ(only().title, "Harbor");  // nothing else changes
  EXPECT_EQ(only().episodes, 0);

  // A body that is no feed: the library's words.
  run = update({{k_feed_url, "<rss><channel><title>cut"}});
  ASSERT_TRUE(run.feeds[0].problem);
  EXPECT_EQ(only().last_error, run.feeds[0].problem.text);
}

TEST_F(Core, AFeedMovesOnceItsNewUrlAnswersAndJoinsOneAlreadyFollowed) {
  db_->subscribe(k_feed_url, "");
  const std::string moving = feed(
      "Harbor", 1, std::string("<itunes:new-feed-url>") + k_new_url + "</itunes:new-feed-url>");
  // The new URL does not answer yet: it stays.
  update_result run = update({{k_feed_url, moving}});
  EXPECT_TRUE(run.feeds[0].moved_to.empty());
  EXPECT_EQ(only().url, k_feed_url);
  run = update({{k_feed_url, moving}, {k_new_url, feed("Harbor", 1)}});
  EXPECT_EQ(run.feeds[0].moved_to, k_new_url);
  EXPECT_TRUE(run.feeds[0].moved_by_feed);
  EXPECT_EQ(only().url, k_new_url);

  // Another subscription that moves where one already is joins that one.
  db_->subscribe("https://third.example/feed.xml", "");
  run =
      update({{k_new_url, feed("Harbor", 1)},
              {"https://third.example/feed.xml",
               feed("Third", 1,
                    std::string("<itunes:new-feed-url>") + k_new_url + "</itunes:new-feed-url>")}});
  ASSERT_EQ(run.feeds.size(), 2u);
  EXPECT_EQ(run.feeds[1].merged_into, 1);
  EXPECT_TRUE(run.feeds[1].fresh.empty());  // its episodes are the other's now
  EXPECT_EQ(only().url, k_new_url);
}

TEST_F(Core, TheStoreRecordsAnUpdateInOneCall) {
  const int64_t id = db_->subscribe(k_feed_url, "Old title");
  feed_report r;
  r.subscription = id;
  r.when = 1'700'000'000;
  r.title = "New title";
  episode e;
  e.subscription = id;
  e.guid = "g1";
  e.title = "One";
  e.entry = "{}";
  e.is_new = true;
  r.listed = {e};
  recorded_update done = db_->record_update(r);
  ASSERT_EQ(done.fresh.size(), 1u);
  EXPECT_EQ(done.fresh[0].number, 1);
  EXPECT_EQ(only().title, "New title");
  EXPECT_EQ(only().last_update, r.when);
  // The same episode again is not new again.
  EXPECT_TRUE(db_->record_update(r).fresh.empty());

  // A move, then the move back within 30 days: refused, and said once.
  r.listed.clear();
  r.moved_to = k_new_url;
  EXPECT_EQ(db_->record_update(r).moved_to, k_new_url);
  r.moved_to = k_feed_url;
  recorded_update back = db_->record_update(r);
  EXPECT_TRUE(back.moved_to.empty());
  EXPECT_EQ(back.move_refused, k_feed_url);
  back = db_->record_update(r);
  EXPECT_TRUE(back.move_refused.empty());
  EXPECT_EQ(only().url, k_new_url);

  // A failure records its text and time, and nothing else.
  r.error = "HTTP 500";
  r.title = "Ignored";
  r.when += 60;
  EXPECT_TRUE(db_->record_update(r).fresh.empty());
  EXPECT_EQ(only().last_error, "HTTP 500");
  EXPECT_EQ(only().title, "New title");
}

TEST_F(Core, SubscribingRecordsEachFeedOnce) {
  session net;
  ASSERT_FALSE(net.open(offline({{k_feed_url, feed("Harbor", 3)}}), nullptr));
  std::vector<subscribed_feed> done = subscribe_source(*db_, net, k_feed_url, 1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_FALSE(done[0].problem);
  EXPECT_EQ(done[0].title, "Harbor");
  EXPECT_EQ(done[0].episodes, 3u);
  EXPECT_EQ(db_->episodes(only().id, true, -1).size(), 1u);  // the newest left new
  done = subscribe_source(*db_, net, k_feed_url, 1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_TRUE(done[0].already);

  done = subscribe_source(*db_, net, "https://nowhere.example/feed.xml", 1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_TRUE(done[0].problem);
  EXPECT_TRUE(done[0].by_source);
}

// Each URL that failed is named with the library's code and message from the one listing: nothing
// is fetched or read again to tell why.
TEST_F(Core, AFailedUrlIsNamedWithTheLibrarysFailure) {
  session net;
  ASSERT_FALSE(net.open(offline({{"https://a.example/notes.txt?key=secret", "just text"},
                                 {"https://a.example/cut.xml", "<rss><channel><title>cut"},
                                 {k_feed_url, feed("Harbor", 1)}}),
                        nullptr));
  const std::vector<std::string> urls = {"https://a.example/notes.txt?key=secret", k_feed_url,
                                         "https://a.example/cut.xml", "https://b.example/x"};
  const std::string settings = make_settings(urls);
  answer root = call_list(settings, "");
  ASSERT_EQ(root.code, 0) << root.error;
  EXPECT_EQ(feeds_of(root.json),
            (std::vector<std::pair<std::string, std::string>>{{k_feed_url, "Harbor"}}));
  std::vector<source_failure> failed = failed_sources(root);
  ASSERT_EQ(failed.size(), 3u);
  EXPECT_EQ(failed[0].url, urls[0]);
  EXPECT_EQ(failed[0].why.code, VEPOD_ERR_NO_DATA);
  EXPECT_EQ(failed[0].why.text, "no feed links found on the page");
  EXPECT_EQ(failed[1].url, urls[2]);
  EXPECT_EQ(failed[1].why.text.rfind("unclosed element at line 1, column ", 0), 0u);
  EXPECT_EQ(failed[2].why.code, VEPOD_ERR_TRANSPORT);
  EXPECT_EQ(failed[2].why.text,
            "transport failure for https://b.example/x: fake: no route for this URL");
  EXPECT_EQ(net.unrouted("https://b.example/x"), "no route (no --offline file for it)");
  EXPECT_EQ(net.unrouted(k_feed_url), "");

  // When every URL fails, the error document names each.
  answer none = call_list(make_settings({urls[0], urls[2]}), "");
  EXPECT_EQ(none.code, VEPOD_ERR_NO_DATA);
  failed = failed_sources(none);
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0].why.text, "no feed links found on the page");
  EXPECT_EQ(failed[1].url, urls[2]);
}

TEST_F(Core, OpmlRoundTripsAndAnImportSkipsWhatItCannotTake) {
  db_->subscribe(k_feed_url, "Harbor \x1b[31m<&>");
  db_->subscribe(k_new_url, "");
  const std::string written = write_opml(db_->subscriptions(), 0);
  EXPECT_EQ(written.find('\x1b'), std::string::npos);
  std::vector<opml_feed> feeds;
  ASSERT_FALSE(read_opml(written, "export", feeds));
  ASSERT_EQ(feeds.size(), 2u);
  EXPECT_EQ(feeds[0].url, k_feed_url);
  EXPECT_EQ(feeds[0].title, "Harbor \xef\xbf\xbd[31m<&>");
  EXPECT_EQ(feeds[1].title, k_new_url);  // an untitled one goes by its URL

  const std::string other =
      "<opml><body><outline text='Folder'><outline xmlUrl='itpc://a.example/f' text='A'/>"
      "</outline><outline xmlUrl='ftp://b.example/f' title='B'/>"
      "<outline xmlUrl='HTTPS://POD.example/feed.xml'/></body></opml>";
  ASSERT_FALSE(read_opml(other, "list.opml", feeds));
  ASSERT_EQ(feeds.size(), 3u);
  EXPECT_EQ(feeds[0].url, "http://a.example/f");
  opml_import done = import_feeds(*db_, feeds, 2);
  EXPECT_EQ(done.added, 1);
  ASSERT_EQ(done.skipped.size(), 2u);
  EXPECT_EQ(done.skipped[0].number, 2u);
  EXPECT_EQ(done.skipped[0].why.rfind("its URL ", 0), 0u);
  EXPECT_EQ(done.skipped[1].why, "already subscribed (https://POD.example/feed.xml)");

  const failure bad = read_opml("<opml><body>", "cut.opml", feeds);
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad.kind, failure_kind::other);
  EXPECT_EQ(bad.text.rfind("cut.opml: line 1, column ", 0), 0u) << bad.text;
  EXPECT_EQ(read_opml("<html/>", "page", feeds).text, "page: not an OPML document");
}

// The core names a status it met itself (an update's, a download's) as the library names the
// status behind a failed listing, so that a status fails alike wherever it was met.
TEST(CoreStatus, StatusesAreCodedAsTheLibraryCodesThem) {
  for (int status : {300, 400, 401, 403, 404, 405, 410, 418, 429, 500, 503}) {
    SCOPED_TRACE(status);
    vepod_cache_clear();
    vepod_fake_reset();
    ASSERT_EQ(vepod_fake_set(k_feed_url, status, "refused"), 0);
    ASSERT_EQ(vepod_use_fake(), 0);
    answer got = call_list(make_settings({k_feed_url}), "");
    ASSERT_NE(got.code, 0);
    EXPECT_EQ(got.code, code_for_status(status));
    const failure f = got.problem();
    EXPECT_EQ(f.kind, failure_kind::library);
    EXPECT_EQ(f.code, got.code);
    EXPECT_EQ(f.text, got.error);
  }
  vepod_fake_reset();
  vepod_cache_clear();
  vepod_set_io(nullptr);
}

}  // namespace
