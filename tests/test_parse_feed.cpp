// The feed-to-JSON export: its exact text, key order, failures and the repair of ill-formed text.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "vepod.h"

namespace {

struct answer {
  int rc;
  std::string json;
  char err[160];
};

answer parse(std::string_view doc) {
  answer a;
  char *out = reinterpret_cast<char *>(1);
  std::memset(a.err, 'x', sizeof a.err);
  a.rc = vepod_parse_feed(doc.data(), doc.size(), &out, a.err, sizeof a.err);
  if (a.rc == 0) {
    a.json = out;
    std::free(out);
  } else {
    EXPECT_EQ(out, nullptr);
  }
  return a;
}

TEST(ParseFeed, ExactTextAndKeyOrder) {
  answer a = parse(
      "<rss><channel><title>Show \"1\"</title>"
      "<item><title>Ep\ttab</title><guid>g1</guid><pubDate>Mon, 02 Jan 2006 15:04:05 GMT</pubDate>"
      "<itunes:duration>90</itunes:duration>"
      "<enclosure url='https://e/1.mp3' type='audio/mpeg' length='42'/></item>"
      "<item><enclosure url='abc'/></item>"
      "<item></item>"
      "</channel></rss>");
  ASSERT_EQ(a.rc, 0) << a.err;
  EXPECT_STREQ(a.err, "");
  EXPECT_EQ(a.json,
            "{\"title\":\"Show \\\"1\\\"\",\"image\":\"\",\"format\":\"rss2\",\"items\":["
            "{\"title\":\"Ep\\ttab\",\"id\":\"g1\",\"id_fallback\":false,"
            "\"url\":\"https://e/1.mp3\",\"size\":42,\"mtime_ms\":1136214245000,"
            "\"duration_s\":90,\"enclosure_type\":\"audio/mpeg\"},"
            "{\"title\":\"\",\"id\":\"enc:e71fa2190541574b\",\"id_fallback\":true,\"url\":\"abc\","
            "\"size\":-1,\"mtime_ms\":-1,\"duration_s\":-1,\"enclosure_type\":\"\"},"
            "{\"title\":\"\",\"id\":\"\",\"id_fallback\":false,\"url\":\"\",\"size\":-1,"
            "\"mtime_ms\":-1,\"duration_s\":-1,\"enclosure_type\":\"\"}]}");
}

// JSON escaping, one byte at a time: '"', '\\' and control characters, the short forms where JSON
// has them; '/', DEL and non-ASCII as they are.
std::string json_escaped(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    const char *short_form = c == '"'    ? "\\\""
                             : c == '\\' ? "\\\\"
                             : c == '\b' ? "\\b"
                             : c == '\t' ? "\\t"
                             : c == '\n' ? "\\n"
                             : c == '\f' ? "\\f"
                             : c == '\r' ? "\\r"
                                         : nullptr;
    if (short_form) {
      out += short_form;
    } else if (c < 0x20) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04X", c);
      out += hex;
    } else {
      out += char(c);
    }
  }
  return out;
}

// Numbers are written two digits at a time: every count of digits.
TEST(ParseFeed, NumbersAsWritten) {
  for (const char *length : {"1", "9", "10", "99", "100", "101", "1000", "12345", "100000000000",
                             "999999999999999", "4611686018427387903"}) {
    answer a = parse(std::string("<rss><channel><item><enclosure url='u' length='") + length +
                     "'/></item></channel></rss>");
    ASSERT_EQ(a.rc, 0) << a.err;
    EXPECT_NE(a.json.find(std::string("\"size\":") + length + ","), std::string::npos) << a.json;
  }
}

// Every byte that needs escaping, at every place in a 16-byte block and beyond, and texts whose
// escapes make the answer several times the size of its texts.
TEST(ParseFeed, TextsAreEscapedAsJsonEscapesThem) {
  struct text {
    std::string read, written;  // a title as read, and as the document writes it
  };
  text every{"", ""}, quotes{"", ""}, controls{"", ""};
  for (int c = 1; c < 0x80; c++) {
    for (int pad = 0; pad < 17; pad += 5) {
      every.read += std::string(size_t(pad), 'a') + char(c);
      char ref[8];
      std::snprintf(ref, sizeof ref, "&#%d;", c);
      every.written += std::string(size_t(pad), 'a') + ref;
    }
  }
  every.read += "/\xC3\xA9\x7F/";
  every.written += "/\xC3\xA9\x7F/";
  for (int i = 0; i < 30000; i++) {
    quotes.read += '"';
    quotes.written += "&quot;";
  }
  for (int i = 0; i < 9000; i++) {
    controls.read += '\x01';
    controls.written += "&#1;";
  }
  for (const text *t : {&every, &quotes, &controls}) {
    answer a = parse("<rss><channel><title>x" + t->written + "x</title></channel></rss>");
    ASSERT_EQ(a.rc, 0) << a.err;
    EXPECT_EQ(a.json, "{\"title\":\"x" + json_escaped(t->read) +
                          "x\",\"image\":\"\",\"format\":\"rss2\",\"items\":[]}");
  }
}

// Show notes that are one run of the document are written from it, their references decoded then;
// the answer is the same as for notes gathered from several runs.
TEST(ParseFeed, ShowNotesReadAsWritten) {
  const struct {
    std::string notes, description;
  } cases[] = {
      {"  &lt;p&gt;Hi &amp; &quot;bye&quot;&apos;&lt;/p&gt;\n", "<p>Hi & \\\"bye\\\"'</p>"},
      {"&#32;x&#x41;&#32;", "xA"},  // references that decode to blanks are trimmed
      {"a &#x9;", "a"},
      {"\n <![CDATA[ <b>&amp;</b> ]]>\t", "<b>&amp;</b>"},
      {"a<x>&lt;</x>c", "a<c"},
      {"<![CDATA[a]]>b", "ab"},
      {std::string("a\0b", 3), "a"},  // a NUL ends the text, as it ends a copied one
      {"&#233;t&#xE9; \x01", "\xC3\xA9t\xC3\xA9 \\u0001"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.notes);
    for (const char *element : {"description", "content:encoded"}) {
      answer a = parse("<rss><channel><item><guid>g</guid><" + std::string(element) + ">" +
                       c.notes + "</" + element + "></item></channel></rss>");
      ASSERT_EQ(a.rc, 0) << a.err;
      EXPECT_NE(a.json.find(",\"description\":\"" + c.description + "\"}]}"), std::string::npos)
          << a.json;
    }
  }
  // Notes of a lower rank give way to later ones of a higher rank, whichever way each was kept.
  answer a = parse(
      "<rss><channel><item><itunes:summary>s</itunes:summary><description><![CDATA[d]]>"
      "</description><content:encoded>&#99;</content:encoded><description>e</description>"
      "</item></channel></rss>");
  ASSERT_EQ(a.rc, 0) << a.err;
  EXPECT_NE(a.json.find("\"description\":\"c\""), std::string::npos) << a.json;
}

// The JSON string after "key": in the first episode of an answer, as written (escapes kept).
std::string written_value(const std::string &json, std::string_view key) {
  size_t at = json.find("\"" + std::string(key) + "\":\"", json.find("\"items\":"));
  if (at == std::string::npos) return "(absent)";
  size_t begin = at + key.size() + 4, end = begin;
  while (end < json.size() && json[end] != '"') end += json[end] == '\\' ? 2 : 1;
  return json.substr(begin, end - begin);
}

// Long show notes are read and written by blocks; wherever their references, escapes and a NUL
// fall in a block, the notes read as the same text copied into a title does.
TEST(ParseFeed, LongShowNotesReadAsTheSameTextCopied) {
  const std::string pieces[] = {"&lt;p&gt;", "&amp;", "&quot;",      "&apos;",
                                "\"",        "\\",    "\n",          "&#233;",
                                "&#x1;",     "\t",    "caf\xC3\xA9", "&lt;/a&gt;"};
  for (bool general : {false, true}) {
    for (size_t shift = 0; shift < 80; shift += 3) {
      std::string text(shift + 1, 'a');
      for (size_t i = 0; text.size() < 400; i++) text += pieces[(i * 7 + shift) % 12] + "b";
      // A reference other than the predefined ones, far into the run.
      if (general) text += "&#x26;&lt;&#8212;";
      text += "z";
      size_t cut = text.find('b', 200 + shift) + 1;
      std::string nul = text.substr(0, cut) + std::string(1, '\0') + text.substr(cut);
      for (const std::string *t : {&text, &nul}) {
        SCOPED_TRACE(testing::Message() << "shift " << shift << (t == &nul ? ", NUL" : ""));
        for (const char *element : {"description", "content:encoded"}) {
          answer a = parse("<rss><channel><item><title>" + *t + "</title><" + element + ">" + *t +
                           "</" + element + "></item></channel></rss>");
          ASSERT_EQ(a.rc, 0) << a.err;
          EXPECT_EQ(written_value(a.json, "description"), written_value(a.json, "title"));
        }
        answer a = parse("<feed><entry><title><![CDATA[" + *t + "]]></title><content><![CDATA[" +
                         *t + "]]></content></entry></feed>");
        ASSERT_EQ(a.rc, 0) << a.err;
        EXPECT_EQ(written_value(a.json, "description"), written_value(a.json, "title"));
      }
    }
  }
}

// The export keeps its episodes' texts in blocks; a feed written oldest first replaces the ones
// read first, and ranked members replace what lower ranks gave, without either mixing texts up.
TEST(ParseFeed, NewestFiveHundredWithTheirOwnTexts) {
  auto item = [](int n, bool guid) {
    std::string id = "y" + std::to_string(n);
    std::string month = (n % 12 < 9 ? "0" : "") + std::to_string(n % 12 + 1);
    return "<item><title>t" + id + "</title>" + (guid ? "<guid>" + id + "</guid>" : "") +
           "<dc:date>" + std::to_string(2000 + n / 12) + "-" + month + "-01T00:00:00Z</dc:date>" +
           "<enclosure url='http://m/" + id + "'/><dc:creator>c</dc:creator><itunes:author>a" + id +
           "</itunes:author><media:thumbnail url='http://i/" + id +
           "'/><itunes:image href='http://j/" + id + "'/><description>d</description>" +
           "<content:encoded>n" + id + "<![CDATA[!]]></content:encoded></item>";
  };
  std::string items;
  for (int n = 0; n < 730; n++) items += item(n, n != 729);
  answer a = parse("<rss><channel>" + items + "</channel></rss>");
  ASSERT_EQ(a.rc, 0) << a.err;
  size_t count = 0;
  for (size_t at = 0; (at = a.json.find("\"id_fallback\"", at)) != std::string::npos; at++) count++;
  EXPECT_EQ(count, 500u);
  EXPECT_EQ(a.json.find("ty229"), std::string::npos);
  for (int n : {230, 500, 728}) {
    std::string id = "y" + std::to_string(n);
    EXPECT_NE(a.json.find("{\"title\":\"t" + id + "\",\"id\":\"" + id +
                          "\",\"id_fallback\":false,\"url\":\"http://m/" + id + "\""),
              std::string::npos)
        << id;
    EXPECT_NE(a.json.find("\"image\":\"http://j/" + id + "\",\"author\":\"a" + id + "\""),
              std::string::npos)
        << id;
    EXPECT_NE(a.json.find("\"description\":\"n" + id + "!\""), std::string::npos) << id;
  }
  // The newest has no guid: its id is made from its media URL.
  EXPECT_NE(a.json.find("{\"title\":\"ty729\",\"id\":\"enc:"), std::string::npos);
}

// A document in another encoding is read from its decoded copy, which the show notes outlive.
TEST(ParseFeed, ShowNotesOfADecodedDocument) {
  answer a = parse(
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><rss><channel><item><guid>g</guid>"
      "<description>caf\xE9 &amp; notes</description></item></channel></rss>");
  ASSERT_EQ(a.rc, 0) << a.err;
  EXPECT_NE(a.json.find(",\"description\":\"caf\xC3\xA9 & notes\"}]}"), std::string::npos)
      << a.json;
}

TEST(ParseFeed, FormatsAndEmptyItems) {
  const struct {
    const char *doc;
    const char *json;
  } cases[] = {
      {"<rss></rss>", "{\"title\":\"\",\"image\":\"\",\"format\":\"rss2\",\"items\":[]}"},
      {"<rdf:RDF><image><url>i</url></image></rdf:RDF>",
       "{\"title\":\"\",\"image\":\"i\",\"format\":\"rdf\",\"items\":[]}"},
      {"<feed><title>A</title></feed>",
       "{\"title\":\"A\",\"image\":\"\",\"format\":\"atom\",\"items\":[]}"},
  };
  for (const auto &c : cases) {
    answer a = parse(c.doc);
    ASSERT_EQ(a.rc, 0) << a.err;
    EXPECT_EQ(a.json, c.json);
  }
}

// Text the reader lets through but that is not well-formed UTF-8 (encoded surrogates, overlong
// forms, values above U+10FFFF, a surrogate from a reference) becomes U+FFFD instead of failing.
TEST(ParseFeed, IllFormedTextBecomesReplacementCharacters) {
  const std::string fffd = "\xEF\xBF\xBD";
  answer a = parse(
      "<rss><channel><title>a&#xD800;b</title>"
      "<item><title>\xED\xA0\x80</title><guid>\xE0\x80\xAF</guid>"
      "<enclosure url='x\xF4\x90\x80\x80' type='ok \xC3\xA9'/></item></channel></rss>");
  ASSERT_EQ(a.rc, 0) << a.err;
  EXPECT_EQ(a.json, "{\"title\":\"a" + fffd + "b\",\"image\":\"\",\"format\":\"rss2\",\"items\":[" +
                        "{\"title\":\"" + fffd + "\",\"id\":\"" + fffd +
                        "\",\"id_fallback\":false,\"url\":\"x" + fffd +
                        "\",\"size\":-1,\"mtime_ms\":-1,\"duration_s\":-1,"
                        "\"enclosure_type\":\"ok \xC3\xA9\"}]}");
}

TEST(ParseFeed, RefusedDocumentGivesTheReaderMessage) {
  answer a = parse("<!DOCTYPE html><html></html>");
  EXPECT_EQ(a.rc, -1);
  EXPECT_STREQ(a.err, "root element is not <rss>, <rdf:RDF> or <feed> at line 1, column 16");

  char *out = nullptr;
  EXPECT_EQ(vepod_parse_feed("<html/>", 7, &out, nullptr, 0), -1);
  EXPECT_EQ(out, nullptr);
  char err[5];
  EXPECT_EQ(vepod_parse_feed("<html/>", 7, &out, err, sizeof err), -1);
  EXPECT_STREQ(err, "root");
}

// Show notes are written from the document with their references read only then; a faulty one
// is refused all the same, with the document's first error, whether the notes were kept, given up
// for better ones or for a newer episode, or cut short by a NUL.
TEST(ParseFeed, FaultyReferenceInShowNotesIsRefusedWhateverBecomesOfThem) {
  const char *const undeclared = "undeclared entity reference (forbidden)";
  auto rss = [](const std::string &items) { return "<rss><channel>" + items + "</channel></rss>"; };
  // Long notes are read by blocks: the fault lies some blocks in (and the notes neither begin nor
  // end with a character reference, which would keep them from being borrowed).
  std::string lots;
  for (int i = 0; i < 20; i++) lots += "&lt;p&gt;x&#233; &amp; &quot;y&quot;";
  const std::string notes = lots + "&bad;" + lots;
  // 501 episodes, the oldest first with faulty notes: it is given up for the newest.
  std::string many = "<item><pubDate>Mon, 01 Jan 2001 00:00:00 GMT</pubDate><description>" + notes +
                     "</description></item>";
  for (int n = 0; n < 500; n++) {
    many += "<item><guid>g" + std::to_string(n) +
            "</guid><pubDate>Mon, 01 Jan 2024 00:00:00 GMT</pubDate>"
            "<description>&lt;p&gt;</description></item>";
  }
  const struct {
    std::string doc;
    const char *message;
    const char *at;  // where the fault begins (the documents are one line)
  } cases[] = {
      {rss("<item><description>&lt;p&gt; &bad; x</description></item>"), undeclared, "&bad"},
      {rss("<item><content:encoded>&lt;a &bad;</content:encoded></item>"), undeclared, "&bad"},
      {rss("<item><description>&lt;AT&T</description></item>"), "unterminated entity reference",
       "&T"},
      {rss("<item><description>&lt;&abcdefghijklmnop;</description></item>"),
       "entity reference too long", "&abc"},
      {rss("<item><description>AT&T and a lot more;</description></item>"),
       "entity reference too long", "&T"},
      {rss("<item><description>&#xFFFE;&lt;</description></item>"), undeclared, "&#x"},
      {rss(std::string("<item><description>&lt;a\0b &bad;</description></item>", 53)), undeclared,
       "&bad"},
      // Given up for a better source that comes after them, or inside them.
      {rss("<item><description>&lt;&bad;</description><content:encoded>c</content:encoded></item>"),
       undeclared, "&bad"},
      {rss("<item><description>" + notes +
           "</description><content:encoded>c</content:encoded>"
           "</item>"),
       undeclared, "&bad"},
      {rss("<item><description>&lt; &bad; <content:encoded>c</content:encoded></description>"
           "</item>"),
       undeclared, "&bad"},
      // The first fault wins over one the reader meets later.
      {rss("<item><description>&bad;&lt;</description></item><x></y>"), undeclared, "&bad"},
      {rss("<item><description>&lt;&bad;</description></x></item>"), undeclared, "&bad"},
      {rss(many), undeclared, "&bad"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.doc.substr(0, 120));
    answer a = parse(c.doc);
    EXPECT_EQ(a.rc, -1);
    EXPECT_EQ(std::string(a.err), std::string(c.message) + " at line 1, column " +
                                      std::to_string(c.doc.find(c.at) + 1));
  }
}

TEST(ParseFeed, NullOutWritesNothing) {
  char err[16] = "x";
  EXPECT_EQ(vepod_parse_feed("<rss></rss>", 11, nullptr, err, sizeof err), -1);
  EXPECT_STREQ(err, "");
}

}  // namespace
