// The fake transport: routes, failures, call counts and reset.

#include <gtest/gtest.h>

#include <string>

#include "io/vepod_io.h"
#include "vepod.h"

namespace {

struct Answer {
  int rc;
  int status;
  std::string body;   // "<null>" when none was handed out
  std::string error;  // "<null>" when none was handed out
};

Answer fetch(const char *url, bool through_post = false) {
  const tervala_io *io = vepod_io_fake();
  char *body = reinterpret_cast<char *>(1);
  char *error = reinterpret_cast<char *>(1);
  int status = -1;
  int rc = through_post ? io->post(io->ctx, url, nullptr, nullptr, &body, &status, &error)
                        : io->get(io->ctx, url, &body, &status, &error);
  Answer answer{rc, status, body ? body : "<null>", error ? error : "<null>"};
  io->free(io->ctx, body);
  io->free(io->ctx, error);
  return answer;
}

class FakeTransport : public ::testing::Test {
 protected:
  void SetUp() override { vepod_fake_reset(); }
  void TearDown() override { vepod_fake_reset(); }
};

TEST_F(FakeTransport, WithoutARouteTheFetchFailsAndIsCounted) {
  Answer a = fetch("http://h/feed");
  EXPECT_EQ(a.rc, -1);
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.body, "<null>");
  EXPECT_EQ(a.error, "fake: no route for this URL");
  EXPECT_EQ(vepod_fake_calls(nullptr), 1);
  EXPECT_EQ(vepod_fake_calls("http://h/feed"), 0);
  EXPECT_EQ(fetch(nullptr).error, "fake: no route for this URL");
  EXPECT_EQ(vepod_fake_calls(nullptr), 2);
}

TEST_F(FakeTransport, RoutesMatchExactBytesOnly) {
  ASSERT_EQ(vepod_fake_set("http://h/Feed", 200, "<rss/>"), 0);
  EXPECT_EQ(fetch("http://h/feed").error, "fake: no route for this URL");
  EXPECT_EQ(fetch("http://h/Feed/").error, "fake: no route for this URL");
  Answer a = fetch("http://h/Feed");
  EXPECT_EQ(a.rc, 0);
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, "<rss/>");
  EXPECT_EQ(a.error, "<null>");
  EXPECT_EQ(vepod_fake_calls("http://h/Feed"), 1);
}

TEST_F(FakeTransport, AnyStatusAndAnEmptyBodyAnswer) {
  ASSERT_EQ(vepod_fake_set("http://h/a", 404, ""), 0);
  ASSERT_EQ(vepod_fake_set("http://h/b", 304, "x"), 0);
  Answer a = fetch("http://h/a");
  EXPECT_EQ(a.rc, 0);
  EXPECT_EQ(a.status, 404);
  EXPECT_EQ(a.body, "");
  EXPECT_EQ(fetch("http://h/b").status, 304);
}

TEST_F(FakeTransport, FailAndSetReplaceTheAnswerAndKeepTheCount) {
  ASSERT_EQ(vepod_fake_set("http://h/a", 200, "one"), 0);
  EXPECT_EQ(fetch("http://h/a").body, "one");
  ASSERT_EQ(vepod_fake_fail("http://h/a", "connection reset"), 0);
  Answer failed = fetch("http://h/a");
  EXPECT_EQ(failed.rc, -1);
  EXPECT_EQ(failed.status, 0);
  EXPECT_EQ(failed.error, "connection reset");
  ASSERT_EQ(vepod_fake_fail("http://h/a", nullptr), 0);
  EXPECT_EQ(fetch("http://h/a").error, "fake: transport failure");
  ASSERT_EQ(vepod_fake_set("http://h/a", 201, "two"), 0);
  Answer again = fetch("http://h/a");
  EXPECT_EQ(again.status, 201);
  EXPECT_EQ(again.body, "two");
  EXPECT_EQ(vepod_fake_calls("http://h/a"), 4);
}

TEST_F(FakeTransport, FailKeepsTheStatusOfAnEarlierRoute) {
  ASSERT_EQ(vepod_fake_set("http://h/a", 203, "x"), 0);
  ASSERT_EQ(vepod_fake_fail("http://h/a", "down"), 0);
  ASSERT_EQ(vepod_fake_set("http://h/a", 203, "y"), 0);
  EXPECT_EQ(fetch("http://h/a").status, 203);
}

TEST_F(FakeTransport, RefusesNullArguments) {
  EXPECT_EQ(vepod_fake_set(nullptr, 200, "x"), -8);
  EXPECT_EQ(vepod_fake_set("http://h/a", 200, nullptr), -8);
  EXPECT_EQ(vepod_fake_fail(nullptr, "x"), -8);
  EXPECT_EQ(vepod_fake_calls(nullptr), 0);
}

TEST_F(FakeTransport, PostCountsLikeGet) {
  ASSERT_EQ(vepod_fake_set("http://h/a", 200, "x"), 0);
  Answer a = fetch("http://h/a", true);
  EXPECT_EQ(a.body, "x");
  EXPECT_EQ(vepod_fake_calls("http://h/a"), 1);
  EXPECT_EQ(vepod_fake_calls(nullptr), 1);
}

// Many routes force the table to grow past 8, 16 and 32 entries; every route must still answer.
TEST_F(FakeTransport, TableGrowsAndResetEmptiesIt) {
  for (int i = 0; i < 40; i++) {
    std::string url = "http://h/" + std::to_string(i);
    ASSERT_EQ(vepod_fake_set(url.c_str(), 200 + i % 3, url.c_str()), 0);
  }
  for (int i = 0; i < 40; i++) {
    std::string url = "http://h/" + std::to_string(i);
    Answer a = fetch(url.c_str());
    EXPECT_EQ(a.body, url);
    EXPECT_EQ(a.status, 200 + i % 3);
  }
  EXPECT_EQ(vepod_fake_calls(nullptr), 40);
  vepod_fake_reset();
  EXPECT_EQ(vepod_fake_calls(nullptr), 0);
  EXPECT_EQ(vepod_fake_calls("http://h/3"), 0);
  EXPECT_EQ(fetch("http://h/3").error, "fake: no route for this URL");
}

}  // namespace
