// Feed discovery: attribute rules, resolution, de-duplication, escaping, size limits and the
// repair of pages in legacy encodings.

#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "vepod.h"

namespace {

struct found {
  int rc;
  bool has_json;
  std::string json;
  std::string err;
};

found discover(std::string_view page, const char *page_url) {
  char *json = reinterpret_cast<char *>(1);
  char err[128] = "stale";
  found f{};
  f.rc = vepod_discover_feeds(page.data(), page.size(), page_url, &json, err, sizeof err);
  f.has_json = json != nullptr;
  if (json) f.json = json;
  std::free(json);
  f.err = err;
  return f;
}

std::string rss_link(const std::string &href, const std::string &title = "") {
  std::string tag = R"(<link rel="alternate" type="application/rss+xml" href=")" + href + "\"";
  if (!title.empty()) tag += " title=\"" + title + "\"";
  return tag + ">";
}

struct discover_case {
  const char *name;
  std::string page;
  const char *page_url;
  const char *json;
};

void run_cases(const discover_case *cases, size_t n) {
  for (size_t i = 0; i < n; i++) {
    const discover_case &c = cases[i];
    SCOPED_TRACE(c.name);
    found f = discover(c.page, c.page_url);
    EXPECT_EQ(f.rc, 0);
    EXPECT_EQ(f.err, "");
    EXPECT_EQ(f.json, c.json);
  }
}

constexpr const char *k_page = "http://h/x/page";
constexpr const char *k_none = "[]";

TEST(Discover, AttributeRules) {
  const discover_case cases[] = {
      {"no link tags", "<html><body><p class=\"x\">hi</p></body></html>", k_page, k_none},
      {"announced feed",
       R"(<link rel="alternate" type="application/rss+xml" href="/feed" title="News">)",
       "https://h/x/page", R"([{"url":"https://h/feed","title":"News"}])"},
      {"any letter case",
       R"(<LINK REL="Alternate" TYPE="Application/Atom+XML" HREF="/a" TITLE="A">)", k_page,
       R"([{"url":"http://h/a","title":"A"}])"},
      {"every feed type in document order",
       R"(<link rel="alternate" type="application/rss+xml" href="/1">)"
       R"(<link rel="alternate" type="application/atom+xml" href="/2">)"
       R"(<link rel="alternate" type="application/feed+json" href="/3">)"
       R"(<link rel="alternate" type="application/rdf+xml" href="/4">)"
       R"(<link rel="alternate" type="text/rss+xml" href="/5">)",
       k_page,
       R"([{"url":"http://h/1","title":""},{"url":"http://h/2","title":""},)"
       R"({"url":"http://h/3","title":""},{"url":"http://h/4","title":""},)"
       R"({"url":"http://h/5","title":""}])"},
      {"rel containing alternate",
       R"(<link rel="alternate stylesheet" type="application/rss+xml" href="/f">)", k_page,
       R"([{"url":"http://h/f","title":""}])"},
      {"type with parameters",
       R"(<link rel="alternate" type="application/rss+xml; charset=utf-8" href="/f">)", k_page,
       R"([{"url":"http://h/f","title":""}])"},
      {"single quotes and blanks around =",
       "<link rel \r\n= \t'alternate' type='application/rss+xml' href='/f'>", k_page,
       R"([{"url":"http://h/f","title":""}])"},
      {"empty rel", R"(<link rel="" type="application/rss+xml" href="/f">)", k_page, k_none},
      {"no rel", R"(<link type="application/rss+xml" href="/f">)", k_page, k_none},
      {"unquoted rel", R"(<link rel=alternate type="application/rss+xml" href="/f">)", k_page,
       R"([{"url":"http://h/f","title":""}])"},
      {"unquoted values", "<link rel=alternate type=application/rss+xml href=/feed.xml>", k_page,
       R"([{"url":"http://h/feed.xml","title":""}])"},
      {"unquoted value runs to a blank, with references",
       "<link rel = alternate\ntype=application/rss+xml href=\t/f title=A&amp;B'C>", k_page,
       R"([{"url":"http://h/f","title":"A&B'C"}])"},
      {"unquoted value keeps a '/' before '>'",
       "<link rel=alternate type=application/rss+xml href=/feed/>", k_page,
       R"([{"url":"http://h/feed/","title":""}])"},
      {"unquoted value before a spaced '/>'",
       "<link rel=alternate type=application/rss+xml href=/feed.xml />", k_page,
       R"([{"url":"http://h/feed.xml","title":""}])"},
      {"unquoted name inside a quoted value is not an attribute",
       R"(<link rel=alternate title="see href=/x" type=application/rss+xml href=/f>)", k_page,
       R"([{"url":"http://h/f","title":"see href=/x"}])"},
      {"quoted value wins over a name inside another value",
       R"(<link href="/index.php?format=feed&amp;type=rss" rel="alternate" )"
       R"(type="application/rss+xml">)",
       k_page, R"([{"url":"http://h/index.php?format=feed&type=rss","title":""}])"},
      {"unquoted value only under its own name",
       "<link rel=alternate type=application/rss+xml data-href=/d>", k_page, k_none},
      {"line feed between = and the quote",
       "<link rel=\n\"alternate\" type=\"application/rss+xml\" href=\"/f\">", k_page,
       R"([{"url":"http://h/f","title":""}])"},
      {"no blank between attributes",
       R"(<link rel="alternate"type="application/rss+xml"href='/f'title="T">)", k_page,
       R"([{"url":"http://h/f","title":"T"}])"},
      {"the first of a repeated attribute counts",
       R"(<link rel="alternate" type="application/rss+xml" href="/a" href="/b">)", k_page,
       R"([{"url":"http://h/a","title":""}])"},
      {"a name ending in href is another attribute",
       R"(<link rel="alternate" type="application/rss+xml" data-href="/wrong" href="/right">)",
       k_page, R"([{"url":"http://h/right","title":""}])"},
      {"a valueless attribute before the others",
       R"(<link hidden rel="alternate" type="application/rss+xml" href="/f">)", k_page,
       R"([{"url":"http://h/f","title":""}])"},
      {"no type", R"(<link rel="alternate" href="/f">)", k_page, k_none},
      {"html type", R"(<link rel="alternate" type="text/html" href="/f">)", k_page, k_none},
      {"empty href", R"(<link rel="alternate" type="application/rss+xml" href="">)", k_page,
       k_none},
      {"name inside another attribute's name",
       R"(<link rel="alternate" type="application/rss+xml" data-href="/d">)", k_page, k_none},
      {"name inside another attribute's value",
       R"(<link rel="alternate" type="application/rss+xml" title="href='/v'">)", k_page, k_none},
      {"type inside another attribute's value",
       R"(<link rel="alternate" title="type='application/rss+xml'" href="/f">)", k_page, k_none},
      {"quoted > ends the tag early",
       R"(<link rel="alternate" type="application/rss+xml" title="a>b" href="/f">)", k_page,
       k_none},
      {"value without closing quote runs to the tag end",
       R"(<link rel="alternate" type="application/rss+xml" href="/f" title="News>)", k_page,
       R"([{"url":"http://h/f","title":"News"}])"},
      {"tag name only begins with link",
       R"(<linkage rel="alternate" type="application/rss+xml" href="/f">)", k_page,
       R"([{"url":"http://h/f","title":""}])"},
      {"closing tag", R"(</link rel="alternate" type="application/rss+xml" href="/f">)", k_page,
       k_none},
      {"inside a comment and a script",
       R"(<!-- <link rel="alternate" type="application/rss+xml" href="/c"> -->)"
       R"(<script>var s = '<link rel="alternate" type="application/rss+xml" href="/s">';)"
       R"(</script>)",
       k_page, R"([{"url":"http://h/c","title":""},{"url":"http://h/s","title":""}])"},
      {"unclosed tag", R"(<p>x</p><link rel="alternate" type="application/rss+xml" href="/f")",
       k_page, k_none},
      {"< as the last byte", "<p>x</p><", k_page, k_none},
  };
  run_cases(cases, std::size(cases));
}

TEST(Discover, Resolution) {
  const discover_case cases[] = {
      {"relative to the page's directory", rss_link("ep.xml"), "http://h/a/b.html",
       R"([{"url":"http://h/a/ep.xml","title":""}])"},
      {"dot segments removed", rss_link("../f"), "http://h/a/b/c",
       R"([{"url":"http://h/a/f","title":""}])"},
      {"scheme-relative", rss_link("//cdn/f"), "https://h/a",
       R"([{"url":"https://cdn/f","title":""}])"},
      {"absolute http(s) kept", rss_link("HTTPS://other/f"), k_page,
       R"([{"url":"HTTPS://other/f","title":""}])"},
      {"other scheme skipped", rss_link("ftp://h/f"), k_page, k_none},
      {"no page URL: relative skipped", rss_link("/f"), nullptr, k_none},
      {"no page URL: other scheme skipped", rss_link("ftp://h/f"), nullptr, k_none},
      {"no page URL: absolute kept", rss_link("http://h/f"), nullptr,
       R"([{"url":"http://h/f","title":""}])"},
      {"control byte in the result", rss_link("/a\tb"), k_page, k_none},
  };
  run_cases(cases, std::size(cases));
}

TEST(Discover, FirstOccurrenceOfAUrlWins) {
  const discover_case cases[] = {
      {"same link twice", rss_link("/f", "One") + rss_link("/f", "Two"), k_page,
       R"([{"url":"http://h/f","title":"One"}])"},
      {"relative and absolute spelling", rss_link("/f", "One") + rss_link("http://h/f", "Two"),
       k_page, R"([{"url":"http://h/f","title":"One"}])"},
      {"comparison is byte-exact", rss_link("/f", "One") + rss_link("/F", "Two"), k_page,
       R"([{"url":"http://h/f","title":"One"},{"url":"http://h/F","title":"Two"}])"},
  };
  run_cases(cases, std::size(cases));

  // Many distinct URLs, each announced again after all of them: every one listed once, with its
  // first title, in order.
  constexpr int k_links = 20000;
  std::string page;
  for (int pass = 0; pass < 2; pass++) {
    for (int i = 0; i < k_links; i++) {
      page += rss_link("/f/" + std::to_string(i), (pass ? "late " : "") + std::to_string(i));
    }
  }
  found f = discover(page, k_page);
  ASSERT_EQ(f.rc, 0);
  yyjson_doc *doc = yyjson_read(f.json.data(), f.json.size(), 0);
  ASSERT_NE(doc, nullptr);
  yyjson_val *root = yyjson_doc_get_root(doc);
  ASSERT_EQ(yyjson_arr_size(root), size_t(k_links));
  for (int i = 0; i < k_links; i += 997) {
    yyjson_val *item = yyjson_arr_get(root, size_t(i));
    EXPECT_EQ(std::string(yyjson_get_str(yyjson_obj_get(item, "url"))),
              "http://h/f/" + std::to_string(i));
    EXPECT_EQ(std::string(yyjson_get_str(yyjson_obj_get(item, "title"))), std::to_string(i));
  }
  yyjson_doc_free(doc);
}

TEST(Discover, ReferencesAndEscaping) {
  const discover_case cases[] = {
      {"named reference in href", rss_link("a.php?x=1&amp;y=2"), k_page,
       R"([{"url":"http://h/x/a.php?x=1&y=2","title":""}])"},
      {"numeric reference kept", rss_link("a.php?x=1&#38;y=2"), k_page,
       R"([{"url":"http://h/x/a.php?x=1&#38;y=2","title":""}])"},
      {"references in any case", rss_link("/f", "&LT;a&Gt; &apos;b&apos; &amp &bogus;"), k_page,
       R"([{"url":"http://h/f","title":"<a> 'b' &amp &bogus;"}])"},
      {"quote and backslash escaped", rss_link("/f", "say &quot;hi&quot; C:\\dir"), k_page,
       R"([{"url":"http://h/f","title":"say \"hi\" C:\\dir"}])"},
      {"control bytes dropped", rss_link("/f", "two\nlines\tand\x01 more"), k_page,
       R"([{"url":"http://h/f","title":"twolinesand more"}])"},
      {"UTF-8 passes", rss_link("/f", "Caf\xC3\xA9 \xE2\x82\xAC"), k_page,
       "[{\"url\":\"http://h/f\",\"title\":\"Caf\xC3\xA9 \xE2\x82\xAC\"}]"},
  };
  run_cases(cases, std::size(cases));
}

// A page in Latin-1 announcing 'Café' must still give an array the loader can read.
TEST(Discover, IllFormedUtf8BecomesReplacementCharacter) {
  const discover_case cases[] = {
      {"Latin-1 title", rss_link("/f", "Caf\xE9"), k_page,
       "[{\"url\":\"http://h/f\",\"title\":\"Caf\xEF\xBF\xBD\"}]"},
      {"ill-formed URL", rss_link("/caf\xE9/\xF0\x9F", "t\xC0\xAF"), k_page,
       "[{\"url\":\"http://h/caf\xEF\xBF\xBD/\xEF\xBF\xBD\",\"title\":\"t\xEF\xBF\xBD\"}]"},
  };
  run_cases(cases, std::size(cases));

  found f = discover(rss_link("/f", "Caf\xE9"), k_page);
  yyjson_doc *doc = yyjson_read(f.json.data(), f.json.size(), 0);
  ASSERT_NE(doc, nullptr);
  EXPECT_TRUE(yyjson_is_arr(yyjson_doc_get_root(doc)));
  EXPECT_STREQ(
      yyjson_get_str(yyjson_obj_get(yyjson_arr_get_first(yyjson_doc_get_root(doc)), "title")),
      "Caf\xEF\xBF\xBD");
  yyjson_doc_free(doc);
}

// A title too long is cut; an href too long is left out, since a cut one names another URL.
TEST(Discover, LongTitlesAreCutAndLongUrlsLeftOut) {
  std::string longest_href = "/" + std::string(2046, 'a');
  std::string long_title(600, 't');
  found f = discover(rss_link(longest_href, long_title), k_page);
  ASSERT_EQ(f.rc, 0);
  EXPECT_EQ(f.json, R"([{"url":"http://h)" + longest_href + R"(","title":")" +
                        long_title.substr(0, 511) + R"("}])");
  for (size_t len : {size_t(2048), size_t(3001)}) {
    f = discover(rss_link("/" + std::string(len - 1, 'a')) + rss_link("/next"), k_page);
    EXPECT_EQ(f.json, R"([{"url":"http://h/next","title":""}])") << len;
  }
  // A decoded reference counts as its one byte against either limit.
  f = discover(rss_link("/" + std::string(2040, 'a') + "&amp;&amp;&amp;&amp;&amp;&amp;"), k_page);
  EXPECT_EQ(f.json, R"([{"url":"http://h/)" + std::string(2040, 'a') + R"(&&&&&&","title":""}])");

  std::string amps;
  for (int i = 0; i < 600; i++) amps += "&amp;";
  f = discover(rss_link("/f", amps), k_page);
  EXPECT_EQ(f.json, R"([{"url":"http://h/f","title":")" + std::string(511, '&') + R"("}])");
}

TEST(Discover, EntryChecks) {
  char err[64] = "stale";
  EXPECT_EQ(vepod_discover_feeds("x", 1, k_page, nullptr, err, sizeof err), -1);
  EXPECT_STREQ(err, "");

  struct {
    const void *page;
    uint64_t len;
  } empty_cases[] = {{nullptr, 10}, {"<link>", 0}};
  for (const auto &c : empty_cases) {
    char *json = nullptr;
    EXPECT_EQ(vepod_discover_feeds(c.page, c.len, k_page, &json, nullptr, 0), 0);
    ASSERT_NE(json, nullptr);
    EXPECT_STREQ(json, "[]");
    std::free(json);
  }
}

TEST(Discover, PageSizeLimit) {
  constexpr size_t k_limit = 16777216;
  std::string link = rss_link("/last");
  std::string page(k_limit - link.size(), 'x');
  page += link;
  found f = discover(page, k_page);
  EXPECT_EQ(f.rc, 0);
  EXPECT_EQ(f.json, R"([{"url":"http://h/last","title":""}])");

  page += ' ';
  f = discover(page, k_page);
  EXPECT_EQ(f.rc, -1);
  EXPECT_FALSE(f.has_json);
  EXPECT_EQ(f.err, "page larger than 16 MiB");

  // The message is cut to the buffer; a size of 0 leaves the buffer alone.
  char *json = nullptr;
  char small[5];
  EXPECT_EQ(vepod_discover_feeds(page.data(), page.size(), k_page, &json, small, sizeof small), -1);
  EXPECT_STREQ(small, "page");
  char untouched[4] = "abc";
  EXPECT_EQ(vepod_discover_feeds(page.data(), page.size(), k_page, &json, untouched, 0), -1);
  EXPECT_STREQ(untouched, "abc");
  EXPECT_EQ(json, nullptr);

  // A length with the top bit set is a page above the limit too, not an empty one.
  for (uint64_t len : {uint64_t(1) << 63, UINT64_MAX}) {
    char err[64] = "stale";
    EXPECT_EQ(vepod_discover_feeds("<link>", len, k_page, &json, err, sizeof err), -1) << len;
    EXPECT_STREQ(err, "page larger than 16 MiB");
    EXPECT_EQ(json, nullptr);
  }
}

}  // namespace
