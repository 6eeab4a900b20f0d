// The strict feed reader: every refusal, the limits at their boundaries, references, markup that is
// skipped, and the mapping of RSS 2.0, RDF and Atom documents onto the feed model.

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "support.h"
#include "util/vepod_utf8.h"
#include "xml/vepod_xml.h"

namespace {

using vepod_test::cleared;
using vepod_test::parsed;
using vepod_test::text_or_null;

std::string rss_title(const std::string &content) {
  return "<rss><channel><title>" + content + "</title></channel></rss>";
}

std::string rss_items(const std::string &items) {
  return "<rss version=\"2.0\"><channel><title>T</title>" + items + "</channel></rss>";
}

// Elements nested `levels` deep, the root included; the innermost is self-closing when asked.
std::string nested(int levels, bool self_closing) {
  std::string doc = "<rss>";
  for (int i = 2; i < levels; i++) doc += "<a>";
  doc += self_closing ? "<b/>" : "<b></b>";
  for (int i = 2; i < levels; i++) doc += "</a>";
  return doc + "</rss>";
}

// MARK: Refusals

// A refusal names where reading stopped, as "line:column" here (a decoder's, where the refused
// bytes start); an empty document has no place.
struct refusal {
  std::string doc;
  const char *message;
  const char *where;
};

std::string expected_message(const refusal &c) {
  if (!c.where) return c.message;
  std::string where = c.where;
  size_t colon = where.find(':');
  return std::string(c.message) + " at line " + where.substr(0, colon) + ", column " +
         where.substr(colon + 1);
}

// The failure record carries the code and the place as numbers, alike to the message's.
void expect_refusal(const parsed &p, const refusal &c) {
  EXPECT_EQ(p.rc, VEPOD_ERR_NO_DATA);
  EXPECT_EQ(p.failure.code, VEPOD_ERR_NO_DATA);
  EXPECT_EQ(p.err, expected_message(c));
  std::string where = c.where ? c.where : "0:0";
  EXPECT_EQ(std::to_string(p.failure.line) + ":" + std::to_string(p.failure.column), where);
  EXPECT_FALSE(p.failure.out_of_memory);
}

const char *const k_undeclared = "undeclared entity reference (forbidden)";
const char *const k_noncharacter = "U+FFFE and U+FFFF are not XML characters";
const char *const k_decl = "DTD / DOCTYPE / ENTITY declarations are forbidden";
const char *const k_subset = "DOCTYPE with an internal subset is forbidden";

const std::vector<refusal> &refusals() {
  static const std::vector<refusal> cases = {
      {"\xEF\xBB\xBF", "empty document", nullptr},
      {" \t\r\n", "empty document", nullptr},
      {"<?xml version=\"1.0\"?>\n<?pi x?>\n", "empty document", nullptr},
      {"\xEF\xBB", "truncated UTF-8 sequence", "1:1"},
      {"<rss></rss>\xE2\x82", "truncated UTF-8 sequence", "1:12"},
      {"<rss>\xC0\x80</rss>", "invalid UTF-8 byte (UTF-8 only)", "1:6"},
      // Read as UTF-16BE by its mark: 11 bytes end in half a unit, after five characters.
      {"\xFE\xFF<rss></rss>", "invalid byte sequence for UTF-16BE", "1:6"},
      // The whole document is checked first: after the root, and ahead of an earlier XML fault.
      {"<rss></rss>\x80", "invalid UTF-8 byte (UTF-8 only)", "1:12"},
      {"<html>\xF5</html>", "invalid UTF-8 byte (UTF-8 only)", "1:7"},
      {"<rss>\xE2\x28\xA1</rss>", "invalid UTF-8 continuation byte", "1:6"},
      {"<?xml version='1.0'", "malformed processing instruction", "1:1"},
      {"<?\?><rss></rss>", "malformed processing instruction", "1:1"},
      {"<?a?b?><rss></rss>", "malformed processing instruction", "1:1"},
      {"<?a?", "malformed processing instruction", "1:1"},
      {"<rss><?a b></rss>", "malformed processing instruction", "1:6"},
      {"<rss><?", "malformed processing instruction", "1:6"},
      // A document type declaration is skipped, but not its internal subset, where entities are
      // declared, nor any other declaration.
      {"<!DOCTYPE rss [<!ENTITY x \"y\">]><rss>&x;</rss>", k_subset, "1:15"},
      {"<!DOCTYPE rss PUBLIC '-//x//EN' 'y.dtd'\n[]><rss/>", k_subset, "2:1"},
      {"<!DOCTYPE rss><!DOCTYPE rss><rss/>", k_decl, "1:15"},
      {"<!-- c --><!ENTITY x 'y'><rss></rss>", k_decl, "1:11"},
      {"<!doctype rss><rss/>", k_decl, "1:1"},
      {"<!DOCTYPE>", "malformed DOCTYPE", "1:10"},
      {"<!DOCTYPErss><rss/>", "malformed DOCTYPE", "1:10"},
      {"<!DOCTYPE rss", "malformed DOCTYPE", "1:14"},
      {"<!DOCTYPE rss SYSTEM><rss/>", "malformed DOCTYPE", "1:21"},
      {"<!DOCTYPE rss PUBLIC \"x><rss/>", "malformed DOCTYPE", "1:22"},
      {"<!DOCTYPE rss \"x.dtd\"><rss/>", "malformed DOCTYPE", "1:15"},
      {"<!-- c -><rss></rss>", "unterminated comment", "1:1"},
      {"<!--", "unterminated comment", "1:1"},
      {"x<rss/>", "missing root element", "1:1"},
      {"<?pi?>x<rss/>", "missing root element", "1:7"},
      {"< rss></rss>", "malformed element name", "1:2"},
      {"<1rss></rss>", "malformed element name", "1:2"},
      {"<", "malformed element name", "1:2"},
      {"<?", "malformed element name", "1:2"},
      {"<rss></ rss>", "malformed element name", "1:8"},
      {"<rss><2a/></rss>", "malformed element name", "1:7"},
      {"<rss><", "malformed element name", "1:7"},
      {"<rss>", "unexpected end of input", "1:6"},
      {"<rss>\n  ", "unexpected end of input", "2:3"},
      {"<rss a='1'", "unexpected end of input", "1:11"},
      {"<rss a=\"", "unexpected end of input", "1:9"},
      {"<rss a/b></rss>", "malformed attribute list", "1:7"},
      {"<rss a='1'/ ></rss>", "malformed attribute list", "1:11"},
      {"<rss 1a='x'></rss>", "malformed attribute list", "1:6"},
      {"<rss a='1'\"></rss>", "malformed attribute list", "1:11"},
      {"<rss \xC3\xA9='x'></rss>", "malformed attribute list", "1:6"},
      {"<rss a=1></rss>", "attribute value must be quoted", "1:8"},
      {"<rss a=", "attribute value must be quoted", "1:8"},
      {"<rss a='x></rss>", "unterminated attribute value", "1:8"},
      {"<rss a='x\"></rss>", "unterminated attribute value", "1:8"},
      {rss_title("AT&T"), "unterminated entity reference", "1:24"},
      {"<rss a='&amp' b=';'></rss>", "unterminated entity reference", "1:9"},
      {rss_title("&abcdefghijklmnop;"), "entity reference too long", "1:22"},
      {"<rss a='x&abcdefghijklmnop;'></rss>", "entity reference too long", "1:10"},
      // A ';' further on in the run still ends the reference, which is then too long.
      {rss_title("AT&T and a lot more;"), "entity reference too long", "1:24"},
      {rss_title("&nbsp;"), k_undeclared, "1:22"},
      {rss_title("&copy;"), k_undeclared, "1:22"},
      {rss_title("&;"), k_undeclared, "1:22"},
      {rss_title("&#;"), k_undeclared, "1:22"},
      {rss_title("&#x;"), k_undeclared, "1:22"},
      {rss_title("&#0;"), k_undeclared, "1:22"},
      {rss_title("&#x0;"), k_undeclared, "1:22"},
      {rss_title("&#12a;"), k_undeclared, "1:22"},
      {rss_title("&#x1g;"), k_undeclared, "1:22"},
      {rss_title("&#x110000;"), k_undeclared, "1:22"},
      {rss_title("&#xFFFE;"), k_undeclared, "1:22"},
      {rss_title("&#xffff;"), k_undeclared, "1:22"},
      {rss_title("&#65535;"), k_undeclared, "1:22"},
      // Not XML characters, even when written as themselves: the place is the character's.
      {rss_title("a\xEF\xBF\xBF"), k_noncharacter, "1:23"},
      {"<rss>\n<x a='\xEF\xBF\xBE'/></rss>", k_noncharacter, "2:7"},
      {rss_title("&#1114112;"), k_undeclared, "1:22"},
      // Values that would wrap around a 32-bit accumulator into 'A'.
      {rss_title("&#4294967361;"), k_undeclared, "1:22"},
      {rss_title("&#x100000041;"), k_undeclared, "1:22"},
      {rss_title("&#000000000065;"), k_undeclared, "1:22"},    // 13 bytes
      {rss_title("&abcdefghijklmno;"), k_undeclared, "1:22"},  // 15 bytes: unknown, not too long
      {"<rss a='&nbsp;'></rss>", k_undeclared, "1:9"},
      {"<rss><!-- x </rss>", "unterminated comment", "1:6"},
      {"<rss><!-->", "unterminated comment", "1:6"},
      {"<rss><![CDATA[ab", "unterminated CDATA section", "1:6"},
      {"<rss><![CDATA[a", "unterminated CDATA section", "1:6"},
      {"<rss><![CDATA[", k_decl, "1:6"},
      {"<rss><!DOCTYPE x></rss>", k_decl, "1:6"},
      {"<rss><!ENTITY x 'y'></rss>", k_decl, "1:6"},
      {"<rss><!x></rss>", k_decl, "1:6"},
      {"<rss><!-", k_decl, "1:6"},
      {"<rss></rss x>", "malformed close tag", "1:12"},
      {"<rss></rss", "malformed close tag", "1:11"},
      {"<rss><a></b></rss>", "mismatched close tag", "1:9"},
      {"<rss>text", "unclosed element", "1:6"},
      {"<rss><title>text", "unclosed element", "1:13"},
      {"<html></html>", "root element is not <rss>, <rdf:RDF> or <feed>", "1:1"},
      {"<html/>", "root element is not <rss>, <rdf:RDF> or <feed>", "1:1"},
      {"<channel></channel>", "root element is not <rss>, <rdf:RDF> or <feed>", "1:1"},
      {"<rss/>", "self-closing root", "1:1"},
      {"<feed/>", "self-closing root", "1:1"},
      {"<rdf:RDF />", "self-closing root", "1:1"},
      {nested(33, true), "nesting deeper than 32", "1:99"},
      {nested(33, false), "nesting deeper than 32", "1:99"},
  };
  return cases;
}

TEST(Reader, RefusesEachFaultWithItsMessageAndLeavesTheRecordCleared) {
  for (const refusal &c : refusals()) {
    SCOPED_TRACE(c.doc);
    parsed p(c.doc);
    expect_refusal(p, c);
    EXPECT_TRUE(cleared(p.feed));
  }
}

// Lines end at LF, CR LF or a lone CR; columns count characters, after a byte order mark.
TEST(Reader, FailureNamesLineAndColumnWhereReadingStopped) {
  const refusal cases[] = {
      {"<rss>\n<channel>\n<item><title>x</title>\n    </channel>", "mismatched close tag", "4:5"},
      {"<rss>\r\n\r\n  </x>", "mismatched close tag", "3:3"},
      {"<rss>\r\r  </x>", "mismatched close tag", "3:3"},
      {"\xEF\xBB\xBF<rss></x>", "mismatched close tag", "1:6"},
      {"<rss><title>\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 &bad;</title></rss>", k_undeclared,
       "1:17"},
      {"<rss>\n<title>\xC3\xA9\xFF</title></rss>", "invalid UTF-8 byte (UTF-8 only)", "2:9"},
      {"<rss>\n  <title>text", "unclosed element", "2:10"},
  };
  for (const refusal &c : cases) {
    SCOPED_TRACE(c.doc);
    parsed p(c.doc);
    expect_refusal(p, c);
  }
}

// A DOCTYPE without an internal subset is passed over and nothing is fetched. Only the RSS 0.91 DTD
// (by its public identifier or its file) brings HTML 4's named characters, case-sensitive as HTML
// has them; elsewhere they stay undeclared.
TEST(Reader, DocumentTypeDeclarationIsSkipped) {
  const std::string title = "Caf&eacute;&nbsp;&Eacute;t&eacute; &amp; &hellip;&euro;";
  const std::string decoded = "Caf\xC3\xA9\xC2\xA0\xC3\x89t\xC3\xA9 & \xE2\x80\xA6\xE2\x82\xAC";
  const std::string rss091 =
      "<!DOCTYPE rss PUBLIC \"-//Netscape Communications//DTD RSS 0.91//EN\"\n"
      "  \"http://my.netscape.com/publish/formats/rss-0.91.dtd\">\n";
  const struct {
    std::string prolog;
    bool html4;
  } cases[] = {
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n" + rss091, true},
      {"<!-- a --><!DOCTYPE rss SYSTEM 'http://www.rssboard.org/rss-0.91.dtd' ><!-- b -->", true},
      {"<!DOCTYPE rss PUBLIC '-//x//DTD RSS 0.91//EN'>", true},
      {"<!DOCTYPE rss>", false},
      {"<!DOCTYPE rss SYSTEM \"rss-0.92.dtd\">", false},
      {"<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" \"x[y]>.dtd\">", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.prolog);
    parsed plain(c.prolog + rss_title("a &amp; b"));
    ASSERT_EQ(plain.rc, 0) << plain.err;
    EXPECT_EQ(text_or_null(plain.feed.title), "a & b");
    parsed named(c.prolog + rss_items("<item><title>" + title +
                                      "</title><enclosure url='/caf&eacute;'/></item>"));
    EXPECT_EQ(named.rc, c.html4 ? 0 : VEPOD_ERR_NO_DATA) << named.err;
    if (c.html4) {
      EXPECT_EQ(text_or_null(named.item(0).title), decoded);
      EXPECT_EQ(text_or_null(named.item(0).url), "/caf\xC3\xA9");
    }
  }
  parsed upper(rss091 + rss_title("&EACUTE;"));
  EXPECT_EQ(upper.rc, VEPOD_ERR_NO_DATA);
}

TEST(Reader, EmptyBodyAndNullRecord) {
  vepod_feed feed;
  vepod_failure failure;
  EXPECT_EQ(vepod_feed_parse(nullptr, 10, &feed, &failure), VEPOD_ERR_NO_DATA);
  EXPECT_STREQ(failure.message, "empty document");
  EXPECT_EQ(vepod_feed_parse("<rss/>", 0, &feed, &failure), VEPOD_ERR_NO_DATA);
  EXPECT_STREQ(failure.message, "empty document");
  EXPECT_EQ(failure.line, 0u);
  EXPECT_TRUE(cleared(feed));

  EXPECT_EQ(vepod_feed_parse("<rss></rss>", 11, nullptr, &failure), VEPOD_ERR_NO_DATA);
}

// The first fault by the byte rules, one character at a time, and its column on the one line of s;
// "" when there is none. The reader checks many bytes at once, so it is compared with this on
// random text.
std::string utf8_fault(std::string_view s) {
  size_t column = 1;
  auto at = [&column](const char *message) {
    return std::string(message) + " at line 1, column " + std::to_string(column);
  };
  for (size_t i = 0; i < s.size(); column++) {
    unsigned char c = s[i];
    size_t need = c < 0x80                 ? 1
                  : c >= 0xC2 && c <= 0xDF ? 2
                  : c >= 0xE0 && c <= 0xEF ? 3
                  : c >= 0xF0 && c <= 0xF4 ? 4
                                           : 0;
    if (need == 0) return at("invalid UTF-8 byte (UTF-8 only)");
    if (s.size() - i < need) return at("truncated UTF-8 sequence");
    for (size_t k = 1; k < need; k++) {
      if ((s[i + k] & 0xC0) != 0x80) return at("invalid UTF-8 continuation byte");
    }
    i += need;
  }
  return "";
}

// Whether s is well-formed UTF-8, by the code points its sequences encode: none overlong, none a
// surrogate, none above U+10FFFF.
bool well_formed(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = s[i];
    size_t need = c < 0x80 ? 1 : c >= 0xC0 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : 4;
    if (c >= 0x80 && c < 0xC0) return false;
    if (c >= 0xF8 || s.size() - i < need) return false;
    uint32_t cp = need == 1 ? c : c & (0x7F >> need);
    for (size_t k = 1; k < need; k++) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (s[i + k] & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[need] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    i += need;
  }
  return true;
}

TEST(Reader, Utf8CheckAgreesWithTheByteRulesOnRandomText) {
  // Mostly well-formed pieces (loose forms included), now and then a broken one.
  const std::string_view good[] = {"a",
                                   "bc ",
                                   "\xC3\xA9",
                                   "\xE2\x82\xAC",
                                   "\xF0\x9F\x98\x80",
                                   "\xED\xA0\x80",
                                   "\xE0\x80\x80",
                                   "\xF4\x90\x80\x80",
                                   "\xED\x9F\xBF",
                                   "\xF4\x8F\xBF\xBF",
                                   "0123456789abcdef"};
  const std::string_view bad[] = {"\x80", "\xBF", "\xC0",     "\xC1\x80",     "\xF5",
                                  "\xFF", "\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xE2\x28\xA1"};
  uint64_t state = 12345;
  auto next = [&state](uint32_t n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return uint32_t(state >> 33) % n;
  };
  for (int round = 0; round < 4000; round++) {
    std::string text(next(70), ' ');
    int pieces = int(next(120));
    for (int i = 0; i < pieces; i++) {
      text += next(150) == 0 ? bad[next(std::size(bad))] : good[next(std::size(good))];
    }
    const bool at_end = next(2);
    const std::string doc = at_end ? "<rss></rss>" + text : "<rss><x>" + text + "</x></rss>";
    const std::string expected = utf8_fault(doc);
    SCOPED_TRACE(testing::PrintToString(doc));
    parsed p(doc);
    EXPECT_EQ(p.rc, expected.empty() ? 0 : VEPOD_ERR_NO_DATA);
    EXPECT_EQ(std::string(p.err), expected);
    // The same pass tells whether the text is well-formed too (a text cut from it then needs no
    // second check), and the well-formed rules fault exactly where it is not.
    bool strict = false;
    if (vepod_utf8_check(text.data(), text.size(), vepod_utf8_rules::lead_and_continuation, nullptr,
                         &strict) == vepod_utf8_fault::none) {
      EXPECT_EQ(strict, well_formed(text));
    }
    EXPECT_EQ(vepod_utf8_valid(text.data(), text.size()), well_formed(text));
    if (HasFailure()) break;
  }
}

// MARK: Limits

TEST(Reader, DocumentOfSixteenMebibytesIsReadAndOneByteMoreIsRefused) {
  const size_t limit = 16777216;
  std::string doc = "<rss><channel><title>big</title><description>";
  const std::string tail = "</description></channel></rss>";
  doc.append(limit - doc.size() - tail.size(), 'x');
  doc += tail;
  ASSERT_EQ(doc.size(), limit);
  {
    parsed p(doc);
    EXPECT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(text_or_null(p.feed.title), "big");
  }
  doc.insert(doc.size() - tail.size(), 1, 'x');
  parsed p(doc);
  EXPECT_EQ(p.rc, VEPOD_ERR_NO_DATA);
  EXPECT_STREQ(p.err, "feed larger than 16 MiB");
}

TEST(Reader, ThirtyTwoLevelsAreRead) {
  for (bool self_closing : {true, false}) {
    parsed p(nested(32, self_closing));
    EXPECT_EQ(p.rc, 0) << p.err;
  }
}

TEST(Reader, ManyElementsNeedNoStackOfTheirOwn) {
  std::string doc = "<rss><channel>";
  for (int i = 0; i < 200000; i++) doc += "<a><b/></a>";
  doc += "</channel></rss>";
  parsed p(doc);
  EXPECT_EQ(p.rc, 0) << p.err;
}

// MARK: Text, references and skipped markup

struct collected {
  std::string content;  // the channel title's content as written
  const char *text;     // what the feed title becomes, NULL for none
};

TEST(Reader, CollectsDecodedText) {
  const collected cases[] = {
      {"&AMP;&Lt;&gT;&quot;&apos;", "&<>\"'"},
      {"&#X41;&#x6a;&#65;&#00000000065;", "AjAA"},
      {"&#xE9;&#x20AC;&#x1F600;&#x10FFFF;", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
      // A surrogate is not refused, and enters the feed model as U+FFFD.
      {"&#xD800;", "\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD"},
      {"a <b>x</b> y", "a x y"},
      {"this <i>includes</i> html content", "this includes html content"},
      {"a<b> </b>b", "a b"},
      {"a <!-- c --> b", "a  b"},
      {" \t padded \r\n", "padded"},
      {"<![CDATA[ X & <Y> ]]>", "X & <Y>"},
      {"<![CDATA[a]]]>", "a]"},
      {"a<![CDATA[ & ]]>b", "a & b"},
      {"x![CDATA[y]]>", "x![CDATA[y]]>"},
      {"a<!-- -- <x> -->b", "ab"},
      {"a<?pi x?>b", "ab"},
      {"<![CDATA[]]>", nullptr},
      {"<![CDATA[ \t ]]>", nullptr},
      {"  ", nullptr},
      {"", nullptr},
  };
  for (const collected &c : cases) {
    SCOPED_TRACE(c.content);
    parsed p(rss_title(c.content));
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_STREQ(p.err, "");
    EXPECT_EQ(text_or_null(p.feed.title), text_or_null(c.text));
  }
}

TEST(Reader, AcceptsWhatItSkipsOrIgnores) {
  const std::string cases[] = {
      "\xEF\xBB\xBF<rss></rss>",
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<?x?><rss></rss>",
      "<rss></rss><<<",
      "<rss></rss><rss>",
      "<rss><!-- c --><?pi?></rss>",
      "<?xml version=\"1.0\"?>\n<!--Generated by Site-Server v1.0 on Wed, 03 Apr 2019 11:30:12 "
      "GMT\n--><rss version=\"2.0\"></rss>",
      "<!-- a --> <!-- b --><?x?><!----><rss></rss>",
      // References are only read where text is collected.
      "<rss><description>AT&T &nbsp; &</description></rss>",
      "<rss><title>x</title ></rss>",
      "<Rss><Title>x</TITLE></rSS >",
      "<rss a=\"1\"b='2' defer c = '<>\t\n' d=\"'\" e='\"'></rss>",
      "<rdf:RDF xmlns:rdf=\"x\"></rdf:RDF>",
      "<rss><_x:a.b-c></_X:A.B-C></rss>",
  };
  for (const std::string &doc : cases) {
    SCOPED_TRACE(doc);
    parsed p(doc);
    EXPECT_EQ(p.rc, 0) << p.err;
  }
}

TEST(Reader, AttributeValuesAreDecodedAndKeptAsWritten) {
  parsed p(
      rss_items("<item><enclosure url='&amp;x&#x41;' type=\"a&lt;b\"length=\"5\"/></item>"
                "<item><enclosure url=\"a<b>\tc\nd\"/></item>"));
  ASSERT_EQ(p.rc, 0) << p.err;
  ASSERT_EQ(p.feed.nitems, 2);
  EXPECT_EQ(text_or_null(p.item(0).url), "&xA");
  EXPECT_EQ(text_or_null(p.item(0).enclosure_type), "a<b");
  EXPECT_EQ(p.item(0).size, 5);
  EXPECT_EQ(text_or_null(p.item(1).url), "a<b>\tc\nd");
  // Values are looked at in blocks of 16 bytes: the closing quote, the other quote and a reference
  // anywhere in or after the first blocks.
  for (size_t k : {0, 1, 15, 16, 17, 31, 32, 33, 47, 48, 70}) {
    std::string a(k, 'a'), b(k, 'b');
    parsed q(rss_items("<item><enclosure url=\"" + a + "'" + b + "\" type='" + a + "&amp;" + b +
                       "'/></item>"));
    ASSERT_EQ(q.rc, 0) << q.err;
    EXPECT_EQ(text_or_null(q.item(0).url), a + "'" + b);
    EXPECT_EQ(text_or_null(q.item(0).enclosure_type), a + "&" + b);
  }
}

TEST(Reader, KeepsSixteenAttributesPerTag) {
  std::string filler;
  for (int i = 0; i < 15; i++) filler += " a" + std::to_string(i) + "='&amp;'";
  {
    parsed p(rss_items("<itunes:image" + filler + " href='h'/>"));
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(text_or_null(p.feed.image), "h");
  }
  {
    parsed p(rss_items("<itunes:image" + filler + " x='&amp;' href='h'/>"));
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.feed.image, nullptr);
  }
  // A dropped attribute is still read and validated.
  std::string doc = rss_items("<itunes:image" + filler + " x='1' href='&bad;'/>");
  parsed p(doc);
  EXPECT_EQ(p.err, expected_message({doc, k_undeclared, "1:241"}));
  EXPECT_EQ(doc.find("&bad;"), 240u);
}

// MARK: Extraction

TEST(Extract, TypicalRss) {
  parsed p(R"(<?xml version="1.0" encoding="UTF-8"?>
<rss version="2.0" xmlns:itunes="http://www.itunes.com/dtds/podcast-1.0.dtd">
  <channel>
    <title>Show &amp; Tell</title>
    <link>https://example.com/</link>
    <itunes:image href="https://example.com/it.jpg"/>
    <image><url>https://example.com/img.png</url><title>Logo</title></image>
    <description><![CDATA[<p>About the show</p>]]></description>
    <item>
      <title>Episode 2</title>
      <description>&lt;p&gt;Second &amp; last&lt;/p&gt;</description>
      <guid isPermaLink="false">ep-2</guid>
      <pubDate>Mon, 02 Jan 2006 15:04:05 GMT</pubDate>
      <itunes:duration>1:01:01</itunes:duration>
      <enclosure url="https://example.com/2.mp3?a=1&amp;b=2" type="audio/mpeg" length="12345"/>
    </item>
    <item>
      <title><![CDATA[Episode 1]]></title>
      <enclosure url="https://example.com/1.mp3" length="0"/>
    </item>
  </channel>
</rss>
)");
  ASSERT_EQ(p.rc, 0) << p.err;
  EXPECT_STREQ(p.err, "");
  EXPECT_EQ(p.feed.format, vepod_format_rss2);
  EXPECT_EQ(text_or_null(p.feed.title), "Show & Tell");
  EXPECT_EQ(text_or_null(p.feed.image), "https://example.com/it.jpg");
  ASSERT_EQ(p.feed.nitems, 2);
  const vepod_item &a = p.item(0);
  EXPECT_EQ(text_or_null(a.title), "Episode 2");
  EXPECT_EQ(text_or_null(a.id), "ep-2");
  EXPECT_EQ(a.id_fallback, 0);
  EXPECT_EQ(text_or_null(a.url), "https://example.com/2.mp3?a=1&b=2");
  EXPECT_EQ(text_or_null(a.enclosure_type), "audio/mpeg");
  EXPECT_EQ(a.size, 12345);
  EXPECT_EQ(a.mtime_ms, 1136214245000);
  EXPECT_EQ(a.duration_s, 3661);
  EXPECT_EQ(a.index, 0);
  const vepod_item &b = p.item(1);
  EXPECT_EQ(text_or_null(b.title), "Episode 1");
  EXPECT_EQ(b.id_fallback, 1);
  EXPECT_EQ(std::strncmp(b.id, "enc:", 4), 0);
  EXPECT_EQ(std::strlen(b.id), 20u);
  EXPECT_EQ(b.enclosure_type, nullptr);
  EXPECT_EQ(b.size, -1);
  EXPECT_EQ(b.mtime_ms, -1);
  EXPECT_EQ(b.duration_s, -1);
  EXPECT_EQ(b.index, 1);
}

TEST(Extract, TypicalRdf) {
  parsed p(R"(<?xml version="1.0"?>
<rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#" xmlns="http://purl.org/rss/1.0/"
         xmlns:dc="http://purl.org/dc/elements/1.1/">
  <channel rdf:about="https://example.org/">
    <title>RDF Show</title>
    <link>https://example.org/</link>
    <items><rdf:Seq><rdf:li rdf:resource="https://example.org/1"/></rdf:Seq></items>
  </channel>
  <image rdf:about="https://example.org/logo.png">
    <title>RDF Show</title><link>https://example.org/logo.png</link>
  </image>
  <item rdf:about="https://example.org/1">
    <title>First</title>
    <link>https://example.org/1</link>
    <dc:date>2006-01-02T15:04:05Z</dc:date>
    <enclosure url="https://example.org/1.ogg" type="audio/ogg" length="99"/>
  </item>
</rdf:RDF>)");
  ASSERT_EQ(p.rc, 0) << p.err;
  EXPECT_EQ(p.feed.format, vepod_format_rdf);
  EXPECT_EQ(text_or_null(p.feed.title), "RDF Show");
  EXPECT_EQ(p.feed.image, nullptr);  // an image's link is the site, not the picture
  ASSERT_EQ(p.feed.nitems, 1);
  EXPECT_EQ(text_or_null(p.item(0).title), "First");
  // Outside Atom a link is not the media URL.
  EXPECT_EQ(text_or_null(p.item(0).url), "https://example.org/1.ogg");
  EXPECT_EQ(p.item(0).mtime_ms, 1136214245000);
  EXPECT_EQ(p.item(0).size, 99);
  EXPECT_EQ(p.item(0).id_fallback, 1);
}

TEST(Extract, TypicalAtom) {
  parsed p(R"(<?xml version="1.0" encoding="utf-8"?>
<feed xmlns="http://www.w3.org/2005/Atom">
  <title type="text">Atom Show</title>
  <id>urn:feed</id>
  <link rel="self" href="https://example.net/feed"/>
  <updated>2006-01-02T15:04:05Z</updated>
  <entry>
    <title>Alternate then enclosure</title>
    <id>urn:1</id>
    <link rel="alternate" href="p"/>
    <link rel="enclosure" type="audio/mpeg" href="e"/>
    <published>garbage</published>
    <updated>2006-01-02T15:04:05Z</updated>
  </entry>
  <entry>
    <link href="p"/>
    <link rel="ENCLOSURE" href="e"/>
    <published>2006-01-02T15:04:05+01:00</published>
    <updated>2007-01-02T15:04:05Z</updated>
  </entry>
  <entry><link rel="" href="x"/><link>text-link</link></entry>
  <entry><link rel="self" href="x"/><link rel="enclosure" href="a" href=""/></entry>
</feed>)");
  ASSERT_EQ(p.rc, 0) << p.err;
  EXPECT_EQ(p.feed.format, vepod_format_atom);
  EXPECT_EQ(text_or_null(p.feed.title), "Atom Show");
  ASSERT_EQ(p.feed.nitems, 4);
  EXPECT_EQ(text_or_null(p.item(0).id), "urn:1");
  EXPECT_EQ(text_or_null(p.item(0).url), "e");
  EXPECT_EQ(p.item(0).mtime_ms, 1136214245000);
  // A link without rel is a web page, and so is a link's text.
  EXPECT_EQ(text_or_null(p.item(1).url), "e");
  EXPECT_EQ(p.item(1).mtime_ms, 1136214245000 - 3600000);
  EXPECT_EQ(p.item(2).url, nullptr);
  EXPECT_EQ(p.item(3).url, nullptr);  // the last href counts, and it is empty
  EXPECT_EQ(p.item(3).id, nullptr);
}

// Names of known vocabularies count by their namespace, whatever prefix the document binds.
TEST(Extract, NamespacePrefixesAreReadThroughTheirUris) {
  const char *const atom = "xmlns:a='http://www.w3.org/2005/Atom'";
  const char *const itunes = "xmlns:it='http://www.itunes.com/dtds/podcast-1.0.dtd'";
  const struct {
    std::string doc;
    int32_t format;
    const char *image;
    const char *url;
    int64_t duration_s;
    int64_t mtime_ms;
  } cases[] = {
      {std::string("<a:feed ") + atom +
           "><a:entry><a:link a:rel='enclosure' href='m'/></a:entry></a:feed>",
       vepod_format_atom, nullptr, "m", -1, -1},
      {std::string("<rss ") + itunes +
           "><channel><it:image href='c'/><item><it:duration>1:00</it:duration></item></channel>"
           "</rss>",
       vepod_format_rss2, "c", nullptr, 60, -1},
      // A binding holds for its element and what it contains.
      {"<rss><channel><item><d:date xmlns:d='http://purl.org/dc/elements/1.1/'>2006-01-02T15:04:"
       "05Z</d:date></item></channel></rss>",
       vepod_format_rss2, nullptr, nullptr, -1, 1136214245000},
      {"<rss><channel><x xmlns:d='http://purl.org/dc/elements/1.1/'/><item><d:date>2006-01-02T15:"
       "04:05Z</d:date></item></channel></rss>",
       vepod_format_rss2, nullptr, nullptr, -1, -1},
      // An inner binding of the same prefix to another namespace hides the outer one.
      {std::string("<rss ") + itunes +
           "><channel><item xmlns:it='urn:other'><it:duration>1:00</it:duration></item></channel>"
           "</rss>",
       vepod_format_rss2, nullptr, nullptr, -1, -1},
      // The usual prefix works without a declaration, and its own binding changes nothing.
      {"<rss xmlns:itunes='http://www.itunes.com/dtds/podcast-1.0.dtd'><channel><item>"
       "<itunes:duration>2:00</itunes:duration></item></channel></rss>",
       vepod_format_rss2, nullptr, nullptr, 120, -1},
      {"<r:RDF xmlns:r='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><item/></r:RDF>",
       vepod_format_rdf, nullptr, nullptr, -1, -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.doc);
    parsed p(c.doc);
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.feed.format, c.format);
    EXPECT_EQ(text_or_null(p.feed.image), text_or_null(c.image));
    ASSERT_EQ(p.feed.nitems, 1);
    EXPECT_EQ(text_or_null(p.item(0).url), text_or_null(c.url));
    EXPECT_EQ(p.item(0).duration_s, c.duration_s);
    EXPECT_EQ(p.item(0).mtime_ms, c.mtime_ms);
  }
}

TEST(Extract, FeedImageRules) {
  const struct {
    std::string channel;
    const char *image;
  } cases[] = {
      {"<image><url>u</url></image><itunes:image href='i'/>", "i"},
      {"<itunes:image href='i'/><image><url>u</url></image>", "i"},
      {"<itunes:image href='a'/><itunes:image href='b'/>", "b"},
      {"<itunes:image href='a'/><itunes:image href=''/>", "a"},
      {"<itunes:image href='a' href='b'/>", "b"},
      {"<image><link>l</link><url>u</url></image>", "u"},
      {"<image><link>http://site/</link><url>http://site/logo.png</url></image>",
       "http://site/logo.png"},
      {"<image><link>l</link></image>", nullptr},
      {"<image><x><url>u</url></x></image>", nullptr},
      {"<item><itunes:image href='i'/></item>", nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.channel);
    parsed p("<rss><channel>" + c.channel + "</channel></rss>");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(text_or_null(p.feed.image), text_or_null(c.image));
  }
}

TEST(Extract, FirstTitleOutsideItemsIsTheFeedTitle) {
  parsed p(
      "<rss><channel><item><title>i</title></item><image><title>img</title></image>"
      "<title>channel</title></channel></rss>");
  ASSERT_EQ(p.rc, 0) << p.err;
  EXPECT_EQ(text_or_null(p.feed.title), "img");
}

TEST(Extract, EnclosureLength) {
  const struct {
    const char *length;
    int64_t size;
  } cases[] = {
      {"1", 1},
      {"123 bytes", 123},
      {" \t+7", 7},
      {"4611686018427387903", 4611686018427387903},
      {"4611686018427387904", -1},
      {"99999999999999999999", -1},
      {"0", -1},
      {"-1", -1},
      {"x", -1},
      {"", -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.length);
    parsed p(rss_items(std::string("<item><enclosure url='u' length='") + c.length + "'/></item>"));
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.item(0).size, c.size);
  }
}

// An episode's URL, type and size describe one file: the first enclosure with a URL.
TEST(Extract, FirstEnclosureWithAUrlGivesTheMedia) {
  const struct {
    const char *item;
    const char *url;
    const char *type;
    int64_t size;
  } cases[] = {
      {"<enclosure url='a' length='5'/><enclosure url='b' type='t' length='7'/>", "a", nullptr, 5},
      {"<enclosure type='image/png' length='9'/><enclosure url='b' type='audio/mpeg'/>", "b",
       "audio/mpeg", -1},
      {"<enclosure url='' type='x' length='3'/><enclosure url='b' length='4'/>", "b", nullptr, 4},
      {"<enclosure url='' url='a' type='' type='t' length='2' length='x'/>", "a", "t", 2},
      {"<enclosure url='a'/><enclosure length='0'/>", "a", nullptr, -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.item);
    parsed p(rss_items(std::string("<item>") + c.item + "</item>"));
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(text_or_null(p.item(0).url), text_or_null(c.url));
    EXPECT_EQ(text_or_null(p.item(0).enclosure_type), text_or_null(c.type));
    EXPECT_EQ(p.item(0).size, c.size);
  }
}

TEST(Extract, AtomEnclosureLinks) {
  const struct {
    const char *entry;
    const char *url;
    const char *type;
    int64_t size;
  } cases[] = {
      {"<link rel='enclosure' type='audio/mpeg' length='1337' href='http://e/a.mp3'/>",
       "http://e/a.mp3", "audio/mpeg", 1337},
      {"<link href='page'/><link rel='alternate' href='p'/>", nullptr, nullptr, -1},
      {"<link>text</link>", nullptr, nullptr, -1},
      {"<link rel='Enclosure' href='a' length='7'/><link rel='enclosure' href='b' type='t'/>", "a",
       nullptr, 7},
      {"<link rel='enclosure' type='t' length='5'/><link rel='enclosure' href='b'/>", "b", nullptr,
       -1},
      {"<enclosure url='r' length='1'/><link rel='enclosure' href='b'/>", "r", nullptr, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.entry);
    parsed p(std::string("<feed><entry>") + c.entry + "</entry></feed>");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(text_or_null(p.item(0).url), text_or_null(c.url));
    EXPECT_EQ(text_or_null(p.item(0).enclosure_type), text_or_null(c.type));
    EXPECT_EQ(p.item(0).size, c.size);
  }
}

TEST(Extract, FallbackIdentifierFromTheMediaUrl) {
  parsed p(
      rss_items("<item><guid> </guid><enclosure url='abc'/></item>"
                "<item><guid>g</guid><enclosure url='abc'/></item>"
                "<item><title>no media</title></item>"));
  ASSERT_EQ(p.rc, 0) << p.err;
  EXPECT_EQ(text_or_null(p.item(0).id), "enc:e71fa2190541574b");
  EXPECT_EQ(p.item(0).id_fallback, 1);
  EXPECT_EQ(text_or_null(p.item(1).id), "g");
  EXPECT_EQ(p.item(1).id_fallback, 0);
  EXPECT_EQ(p.item(2).id, nullptr);
  EXPECT_EQ(p.item(2).id_fallback, 0);
}

TEST(Extract, DatesAndDurations) {
  const struct {
    const char *children;
    int64_t mtime_ms;
    int64_t duration_s;
  } cases[] = {
      {"<pubDate>garbage</pubDate><dc:date>2006-01-02T15:04:05Z</dc:date>", 1136214245000, -1},
      {"<title>x</title><dc:date>2024-03-02T15:34:00+00:00</dc:date>", 1709393640000, -1},
      {"<dc:date>2022-12-17</dc:date>", 1671235200000, -1},
      {"<dcterms:issued>x</dcterms:issued><dcterms:created>2006-01-02T15:04:05Z</dcterms:created>",
       1136214245000, -1},
      {"<dcterms:modified>2006-01-02T15:04:05Z</dcterms:modified><dc:date>2007-01-02T00:00:00Z"
       "</dc:date>",
       1136214245000, -1},
      {"<dc:creator>2006-01-02T15:04:05Z</dc:creator>", -1, -1},
      {"<pubDate>garbage</pubDate><updated>2006-01-02T15:04:05Z</updated>", 1136214245000, -1},
      {"<pubDate>Mon, 02 Jan 2006 15:04:05 GMT</pubDate><issued>2007-01-02T00:00:00Z</issued>",
       1136214245000, -1},
      {"<itunes:duration>1:00</itunes:duration><duration>x</duration>", -1, 60},
      {"<itunes:duration>1:00</itunes:duration><itunes:duration>2:00</itunes:duration>", -1, 120},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.children);
    parsed p(rss_items(std::string("<item>") + c.children + "</item>"));
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.item(0).mtime_ms, c.mtime_ms);
    EXPECT_EQ(p.item(0).duration_s, c.duration_s);
  }
}

TEST(Extract, EpisodeElementsFollowTheFormat) {
  // In RSS an entry is no episode and an id is not collected, but an entry end tag ends the item.
  parsed p(rss_items("<item><id>x</id><entry></entry><title>late</title></item>"));
  ASSERT_EQ(p.rc, 0) << p.err;
  ASSERT_EQ(p.feed.nitems, 1);
  EXPECT_EQ(p.item(0).id, nullptr);
  EXPECT_EQ(p.item(0).title, nullptr);
  EXPECT_EQ(text_or_null(p.feed.title), "T");

  parsed atom("<feed><item><title>x</title></item><entry><guid>g</guid></entry></feed>");
  ASSERT_EQ(atom.rc, 0) << atom.err;
  ASSERT_EQ(atom.feed.nitems, 1);
  EXPECT_EQ(text_or_null(atom.feed.title), "x");
  EXPECT_EQ(text_or_null(atom.item(0).id), "g");
}

TEST(Extract, SelfClosingItemStaysCurrent) {
  parsed p(rss_items("<item/><item><title>a</title></item><title>feed</title>"));
  ASSERT_EQ(p.rc, 0) << p.err;
  ASSERT_EQ(p.feed.nitems, 1);
  EXPECT_EQ(text_or_null(p.item(0).title), "a");
}

TEST(Extract, KeepsFiveHundredItems) {
  std::string items;
  for (int i = 0; i < 501; i++) {
    items += "<item><guid>" + std::to_string(i) + "</guid><itunes:image href='x" +
             std::to_string(i) + "'/><title>t" + std::to_string(i) + "</title></item>";
  }
  // Undated episodes: the earlier in the document are kept.
  parsed p("<rss><channel>" + items + "</channel></rss>");
  ASSERT_EQ(p.rc, 0) << p.err;
  ASSERT_EQ(p.feed.nitems, 500);
  EXPECT_EQ(text_or_null(p.item(499).id), "499");
  EXPECT_EQ(p.item(499).index, 499);
  // Nothing of the 501st item reaches the feed.
  EXPECT_EQ(p.feed.title, nullptr);
  EXPECT_EQ(p.feed.image, nullptr);
  // Reading goes on normally after it.
  parsed after("<rss><channel>" + items + "<title>t</title></channel></rss>");
  ASSERT_EQ(after.rc, 0) << after.err;
  EXPECT_EQ(text_or_null(after.feed.title), "t");
}

// A feed written oldest first keeps its newest 500 episodes, in document order; undated ones count
// as older than any dated one, and of equal dates the earlier in the document stays.
TEST(Extract, KeepsTheNewestFiveHundred) {
  auto item = [](const std::string &id, const std::string &date) {
    return "<item><guid>" + id + "</guid>" +
           (date.empty() ? "" : "<dc:date>" + date + "</dc:date>") + "<enclosure url='http://m/" +
           id + "'/></item>";
  };
  std::string items = item("undated-first", "");
  for (int year = 0; year < 730; year++) {
    items += item("y" + std::to_string(year), std::to_string(2000 + year / 12) + "-" +
                                                  (year % 12 < 9 ? "0" : "") +
                                                  std::to_string(year % 12 + 1) + "-01T00:00:00Z");
  }
  // Ties with the oldest kept date: the one read first stays.
  items += item("tie", "2019-03-01T00:00:00Z") + item("undated-last", "");
  parsed p("<rss><channel>" + items + "</channel></rss>");
  ASSERT_EQ(p.rc, 0) << p.err;
  ASSERT_EQ(p.feed.nitems, 500);
  EXPECT_EQ(text_or_null(p.item(0).id), "y230");
  EXPECT_EQ(text_or_null(p.item(499).id), "y729");
  for (int32_t i = 0; i < p.feed.nitems; i++) {
    EXPECT_EQ(p.item(i).index, i);
    EXPECT_EQ(text_or_null(p.item(i).id), "y" + std::to_string(230 + i));
  }
}

TEST(Extract, DocumentWithoutItems) {
  parsed p("<rss></rss>");
  ASSERT_EQ(p.rc, 0) << p.err;
  EXPECT_EQ(p.feed.format, vepod_format_rss2);
  EXPECT_EQ(p.feed.nitems, 0);
  EXPECT_NE(p.feed.items, nullptr);
  EXPECT_EQ(p.feed.title, nullptr);
}

TEST(Extract, ItemWithoutKnownChildren) {
  parsed p(rss_items("<item><foo>bar</foo></item>"));
  ASSERT_EQ(p.rc, 0) << p.err;
  ASSERT_EQ(p.feed.nitems, 1);
  const vepod_item &i = p.item(0);
  EXPECT_TRUE(!i.title && !i.id && !i.url && !i.enclosure_type);
  EXPECT_EQ(i.size, -1);
  EXPECT_EQ(i.mtime_ms, -1);
  EXPECT_EQ(i.duration_s, -1);
}

// Every copy the extraction makes is needed for a faithful record: a lost guid would come back as
// a made-up "enc:" identifier. So each allocation, made to fail in turn, must fail the parse.
TEST(Extract, AnyAllocationFailureFailsTheParse) {
  const std::string docs[] = {
      rss_items("<itunes:image href='i'/><image><url>u</url></image>"
                "<item><title>a</title><guid>g</guid><enclosure url='m&amp;1' type='t'/></item>"
                "<item><enclosure url='abc'/></item>"),
      "<feed><title>A</title><entry><id>i</id><link rel='enclosure' href='e' type='t'/></entry>"
      "<entry><title>t</title><link rel='enclosure' href='f'/></entry></feed>",
  };
  for (const std::string &doc : docs) {
    SCOPED_TRACE(doc);
    EXPECT_GT(vepod_test::expect_each_allocation_failure_fails_the_parse(doc), 0);
  }
}

// MARK: Releasing

TEST(FeedFree, NullClearedAndTwice) {
  vepod_feed_free(nullptr);
  vepod_feed feed{};
  vepod_feed_free(&feed);
  EXPECT_TRUE(cleared(feed));
  const std::string doc = rss_items("<item><title>a</title><enclosure url='u'/></item>");
  vepod_failure failure;
  ASSERT_EQ(vepod_feed_parse(doc.data(), doc.size(), &feed, &failure), 0);
  vepod_feed_free(&feed);
  EXPECT_TRUE(cleared(feed));
  vepod_feed_free(&feed);
  EXPECT_TRUE(cleared(feed));
}

}  // namespace
