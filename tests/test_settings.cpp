// Reading the settings document: every refusal with its message and code, the line rules, the
// URL cap and the release rules.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "handler/vepod_handler.h"

namespace {

struct outcome {
  int32_t code;
  std::string message;
  std::vector<std::string> urls;
  std::string id;  // read only on success
};

// Reads, records what came out, and releases the record whatever happened.
outcome read(const char *json) {
  vepod_settings s;
  std::memset(&s, 0xA5, sizeof s);  // the reader must not trust what it is given
  vepod_failure failure;
  std::memset(failure.message, 'Z', sizeof failure.message);
  outcome o;
  o.code = vepod_read_settings(json, &s, &failure);
  o.message = failure.message;
  EXPECT_EQ(failure.code, o.code);
  // A settings document names yyjson's byte offset in its message, never a line and column.
  EXPECT_EQ(failure.line, 0u);
  EXPECT_EQ(failure.column, 0u);
  for (size_t i = 0; i < s.url_count; i++) o.urls.emplace_back(s.urls[i]);
  if (o.code == 0) {
    EXPECT_NE(s.doc, nullptr);
    EXPECT_NE(s.id, nullptr);
    if (s.id) o.id = s.id;
  } else {
    EXPECT_EQ(s.id, nullptr);
  }
  vepod_free_settings(&s);
  return o;
}

// A settings document whose "URL" holds the given lines, each ended by a line feed.
std::string settings_with_lines(const std::vector<std::string> &lines) {
  std::string url;
  for (const std::string &line : lines) url += line + "\\n";
  return "{\"URL\":\"" + url + "\"}";
}

std::vector<std::string> numbered_urls(int n) {
  std::vector<std::string> urls;
  for (int i = 0; i < n; i++) urls.push_back("http://h/" + std::to_string(i));
  return urls;
}

const char k_not_object[] = "settings_json is not a JSON object";
const char k_not_json[] = "settings_json is not a JSON object: ";
const char k_need_url[] = "settings need a non-empty URL";
const char k_not_http[] = "URL line is not an absolute http(s) URL: ";

TEST(ReadSettings, RefusalsAndLineRules) {
  struct row {
    const char *json;
    outcome want;
  };
  const row rows[] = {
      {nullptr, {-8, "settings_json is NULL", {}, ""}},
      // Text that is no JSON at all says what stopped the reading, and where.
      {"", {-8, k_not_json + std::string("input length is 0 at offset 0"), {}, ""}},
      {"[\"http://h/\"]", {-8, k_not_object, {}, ""}},
      {"\"http://h/\"", {-8, k_not_object, {}, ""}},
      {"{\"URL\":\"http://h/\",}",
       {-8, k_not_json + std::string("trailing comma is not allowed at offset 18"), {}, ""}},
      {"{\"URL\":\"http://h/\"} // feed",
       {-8, k_not_json + std::string("unexpected content after document at offset 20"), {}, ""}},
      {"\xEF\xBB\xBF{\"URL\":\"http://h/\"}",
       {-8,
        k_not_json + std::string("UTF-8 byte order mark (BOM) is not supported at offset 0"),
        {},
        ""}},
      {"{\"URL\":\"http://h/\xFF\"}",
       {-8, k_not_json + std::string("invalid UTF-8 encoding in string at offset 17"), {}, ""}},
      {"{\"URL\":\"http://h/\"} x",
       {-8, k_not_json + std::string("unexpected content after document at offset 20"), {}, ""}},
      {"{}", {-8, k_need_url, {}, ""}},
      {"{\"url\":\"http://h/\"}", {-8, k_need_url, {}, ""}},
      {"{\"URL \":\"http://h/\"}", {-8, k_need_url, {}, ""}},
      {"{\"URL\":\"\"}", {-8, k_need_url, {}, ""}},
      {"{\"URL\":5}", {-8, "URL is not a string", {}, ""}},
      {"{\"URL\":null}", {-8, "URL is not a string", {}, ""}},
      {"{\"URL\":[\"http://h/\"]}", {-8, "URL is not a string", {}, ""}},
      {"{\"URL\":\" \\t\\r\\n \\n\\n\"}", {-8, "URL has no usable lines", {}, ""}},
      {"{\"URL\":\"ftp://host/x\"}", {-8, std::string(k_not_http) + "ftp://host/x", {}, ""}},
      {"{\"URL\":\"ftp://user:pw@host/x?token=1\"}",
       {-8, std::string(k_not_http) + "ftp://host/x?<redacted>", {}, ""}},
      {"{\"URL\":\"http://a/\\nhttp:/b?secret\\nhttp://c/\"}",
       {-8, std::string(k_not_http) + "http:/b?<redacted>", {"http://a/"}, ""}},
      {"{\"URL\":\"\\u000bhttp://h/\"}", {-8, std::string(k_not_http) + "\vhttp://h/", {}, ""}},
      {"{\"URL\":\"http://h/\\f\"}", {-8, std::string(k_not_http) + "http://h/\f", {}, ""}},
      // A NUL would silently shorten the URL.
      {"{\"URL\":\"http://h/\\u0000x\"}", {-8, std::string(k_not_http) + "http://h/", {}, ""}},
      // The first "URL" and "ID" win.
      {"{\"URL\":\"http://a/\",\"URL\":5,\"ID\":\"x\",\"ID\":\"y\"}", {0, "", {"http://a/"}, "x"}},
      {"{\"URL\":\"https://a/feed\\r\\nhttps://b/rss\"}",
       {0, "", {"https://a/feed", "https://b/rss"}, ""}},
      {"{\"URL\":\"\\t \\r http://h/a b \\t \\t\\r\\n\\n  \\n\"}", {0, "", {"http://h/a b"}, ""}},
      {"{\"URL\":\"http://a/\\r\\rhttp://b/\\n\\r\\nhttp://c/\"}",
       {0, "", {"http://a/", "http://b/", "http://c/"}, ""}},
      {"{\"URL\":\"HTTP://a/\\n\"}", {0, "", {"HTTP://a/"}, ""}},
      {"{\"URL\":\"http://a/\",\"ID\":42}", {0, "", {"http://a/"}, ""}},
      {"{\"URL\":\"http://a/\",\"ID\":\"\"}", {0, "", {"http://a/"}, ""}},
      {"{\"URL\":\"http://a/\",\"ID\":null}", {0, "", {"http://a/"}, ""}},
      {"{\"ID\":\"src-1\",\"URL\":\"http://a/\"}", {0, "", {"http://a/"}, "src-1"}},
      {" {\"URL\":\"http://\\u00e9/\",\"ID\":\"\\u00e9\"} ",
       {0, "", {"http://\xC3\xA9/"}, "\xC3\xA9"}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.json ? r.json : "NULL");
    outcome got = read(r.json);
    EXPECT_EQ(got.code, r.want.code);
    EXPECT_EQ(got.message, r.want.message);
    EXPECT_EQ(got.urls, r.want.urls);
    EXPECT_EQ(got.id, r.want.id);
  }
}

TEST(ReadSettings, KeepsAtMost64Urls) {
  // 70 good lines: the first 64 are kept.
  outcome got = read(settings_with_lines(numbered_urls(70)).c_str());
  EXPECT_EQ(got.code, 0);
  EXPECT_EQ(got.urls, numbered_urls(64));

  // A bad 65th line is never examined; a bad 64th line is.
  std::vector<std::string> lines = numbered_urls(64);
  lines.push_back("not a url");
  got = read(settings_with_lines(lines).c_str());
  EXPECT_EQ(got.code, 0);
  EXPECT_EQ(got.urls.size(), 64u);

  lines = numbered_urls(63);
  lines.push_back("not a url");
  got = read(settings_with_lines(lines).c_str());
  EXPECT_EQ(got.code, -8);
  EXPECT_EQ(got.message, std::string(k_not_http) + "not a url");
  EXPECT_EQ(got.urls, numbered_urls(63));
}

TEST(ReadSettings, MessagesFitTheLimit) {
  // A success clears a failure left in the record.
  vepod_settings s;
  vepod_failure failure;
  vepod_failure_set(&failure, VEPOD_ERR_BAD_INPUT, "stale");
  EXPECT_EQ(vepod_read_settings("{\"URL\":\"http://h/\"}", &s, &failure), 0);
  EXPECT_EQ(failure.code, VEPOD_OK);
  EXPECT_STREQ(failure.message, "");
  vepod_free_settings(&s);

  // The quoted line is cut to its redaction buffer, so the message fits the limit.
  std::string long_line = "ftp://h/" + std::string(400, 'a');
  outcome got = read(("{\"URL\":\"" + long_line + "\"}").c_str());
  EXPECT_EQ(got.message, std::string(k_not_http) + long_line.substr(0, 255));
}

TEST(FreeSettings, IsSafeTwiceOnNullAndOnZeroedRecords) {
  vepod_free_settings(nullptr);
  vepod_settings s{};
  vepod_free_settings(&s);

  vepod_failure failure;
  ASSERT_EQ(vepod_read_settings("{\"URL\":\"http://a/\\nhttp://b/\",\"ID\":\"x\"}", &s, &failure),
            0);
  vepod_free_settings(&s);
  EXPECT_EQ(s.doc, nullptr);
  EXPECT_EQ(s.url_count, 0);
  EXPECT_EQ(s.id, nullptr);
  vepod_free_settings(&s);
}

}  // namespace
