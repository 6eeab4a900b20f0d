// Episode and feed details beyond the skeleton: show notes, artwork, numbering, chapters,
// transcripts, people, alternates, funding and moves; how each is read, normalised and bounded,
// and which answers carry it.

#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "support.h"
#include "vepod.h"
#include "xml/vepod_xml.h"

namespace {

using vepod_test::parsed;
using vepod_test::text_or_null;

// One episode carrying every detail, under unusual prefixes and namespace URIs as real feeds
// write them.
constexpr const char *kDetailed = R"(<?xml version="1.0" encoding="UTF-8"?>
<rss version="2.0" xmlns:it="https://www.itunes.com/DTDs/Podcast-1.0.dtd"
     xmlns:p="https://podcastindex.org/namespace/1.0" xmlns:sc="http://podlove.org/simple-chapters"
     xmlns:c="http://purl.org/rss/1.0/modules/content/" xmlns:m="http://search.yahoo.com/mrss/"
     xmlns:atom="http://www.w3.org/2005/Atom">
<channel>
  <title>Show</title>
  <atom:link rel="self" href="http://pod.example/feed.xml"/>
  <link> https://pod.example/ </link>
  <language>en-gb</language>
  <it:summary>Summary of the show</it:summary>
  <description>About the show</description>
  <managingEditor>editor@pod.example</managingEditor>
  <it:author>Pod People</it:author>
  <it:explicit>Clean</it:explicit>
  <it:type>Serial</it:type>
  <it:complete>Yes</it:complete>
  <it:new-feed-url>https://new.example/feed.xml</it:new-feed-url>
  <p:guid>917393e3-1b1e-5cef-ace4-edaa54e1f810</p:guid>
  <p:funding url="https://fund.example/">Support us</p:funding>
  <p:funding url="https://other.example/"/>
  <p:person role="Host" img="https://pod.example/a.jpg">Alice</p:person>
  <item>
    <title>One</title><guid>g1</guid>
    <enclosure url="https://pod.example/1.mp3" type="audio/mpeg" length="5"/>
    <description>Plain notes</description>
    <c:encoded><![CDATA[<p>Rich <b>notes</b></p>]]></c:encoded>
    <link>https://pod.example/1</link>
    <m:thumbnail url="https://pod.example/thumb.jpg"/>
    <it:image href=" https://pod.example/1.jpg "/>
    <dc:creator>Bob</dc:creator>
    <it:author>Carol</it:author>
    <p:season>9</p:season>
    <it:season>2</it:season>
    <p:episode>315.5</p:episode>
    <it:episodeType>Trailer</it:episodeType>
    <it:explicit>yes</it:explicit>
    <p:chapters url="https://pod.example/1.json" type="application/json+chapters"/>
    <p:transcript url="https://pod.example/1.srt" type="application/x-subrip" language="EN"
                  rel="captions"/>
    <p:transcript url="https://pod.example/1.html" type="text/html"/>
    <p:person role="guest" group="Cast" href="https://dave.example/">Dave</p:person>
    <p:person role="" img="">Eve</p:person>
    <p:alternateEnclosure type="audio/opus" length="1000" bitrate="64000.5" height="0"
                          lang="de" title="German" rel="dub" codecs="opus" default="TRUE">
      <p:source uri="https://pod.example/1.opus" contentType="audio/opus"/>
      <p:source uri="ipfs://abc"/>
      <p:integrity type="sri" value="x"/>
    </p:alternateEnclosure>
    <sc:chapters version="1.2">
      <sc:chapter start="00:00:00.000" title="Intro"/>
      <sc:chapter start="01:02:03.5" title="Deep" href="https://pod.example/deep"
                  image="https://pod.example/deep.jpg"/>
    </sc:chapters>
  </item>
</channel></rss>)";

constexpr const char *kFeedDetailsJson =
    R"("description":"About the show","author":"Pod People","link":"https://pod.example/",)"
    R"("language":"en-gb","explicit":false,"show_type":"serial","complete":true,)"
    R"("new_feed_url":"https://new.example/feed.xml",)"
    R"("feed_guid":"917393e3-1b1e-5cef-ace4-edaa54e1f810",)"
    R"("funding":[{"url":"https://fund.example/","text":"Support us"},)"
    R"({"url":"https://other.example/"}],)"
    R"("persons":[{"name":"Alice","role":"host","img":"https://pod.example/a.jpg"}])";

constexpr const char *kLightJson =
    R"("image":"https://pod.example/1.jpg","link":"https://pod.example/1","author":"Carol",)"
    R"("season":2,"episode":315.5,"episode_type":"trailer","explicit":true,)"
    R"("chapters_url":"https://pod.example/1.json","chapters_type":"application/json+chapters")";

constexpr const char *kHeavyJson =
    R"("description":"<p>Rich <b>notes</b></p>",)"
    R"("transcripts":[{"url":"https://pod.example/1.srt","type":"application/x-subrip",)"
    R"("language":"EN","rel":"captions"},{"url":"https://pod.example/1.html","type":"text/html"}],)"
    R"("persons":[{"name":"Dave","role":"guest","group":"cast","href":"https://dave.example/"},)"
    R"({"name":"Eve"}],)"
    R"("alternates":[{"type":"audio/opus","length":1000,"bitrate":64000.5,"height":0,)"
    R"("lang":"de","title":"German","rel":"dub","codecs":"opus","default":true,)"
    R"("sources":[{"uri":"https://pod.example/1.opus","content_type":"audio/opus"},)"
    R"({"uri":"ipfs://abc"}]}],)"
    R"("chapters":[{"start_ms":0,"title":"Intro"},{"start_ms":3723500,"title":"Deep",)"
    R"("href":"https://pod.example/deep","image":"https://pod.example/deep.jpg"}])";

std::string parse_json(std::string_view doc) {
  char *out = nullptr;
  char err[160];
  if (vepod_parse_feed(doc.data(), doc.size(), &out, err, sizeof err) != 0) {
    ADD_FAILURE() << err;
    return {};
  }
  std::string json = out;
  std::free(out);
  return json;
}

std::string rss_item(const std::string &children, const std::string &channel = "") {
  return "<rss><channel>" + channel + "<item><guid>g</guid>" + children + "</item></channel></rss>";
}

// The members an episode's JSON has beyond the skeleton that ends with "enclosure_type".
std::string item_details(const std::string &item_children, const std::string &channel = "") {
  std::string json = parse_json(rss_item(item_children, channel));
  size_t at = json.find("\"enclosure_type\":\"\"");
  if (at == std::string::npos) return "<no item>";
  json = json.substr(at + std::strlen("\"enclosure_type\":\"\""));
  return json.substr(0, json.size() - 3);  // without "}]}"
}

// The feed-level members of a document's JSON: between "format" and "items".
std::string feed_details(const std::string &doc) {
  std::string json = parse_json(doc);
  size_t from = json.find("\"format\":");
  from = json.find(',', from);
  size_t to = json.find("\"items\":");
  if (from == std::string::npos || to == std::string::npos) return "<no feed>";
  return json.substr(from + 1, to - from - 1);
}

// MARK: The feed JSON

TEST(Details, ParseFeedWritesEveryMemberInOrder) {
  std::string json = parse_json(kDetailed);
  std::string expected =
      std::string(R"({"title":"Show","image":"","format":"rss2",)") + kFeedDetailsJson +
      R"(,"items":[{"title":"One","id":"g1","id_fallback":false,"url":"https://pod.example/1.mp3",)"
      R"("size":5,"mtime_ms":-1,"duration_s":-1,"enclosure_type":"audio/mpeg",)" +
      kLightJson + "," + kHeavyJson + "}]}";
  EXPECT_EQ(json, expected);
}

TEST(Details, NamespaceUrisAndPrefixes) {
  const struct {
    const char *declaration;
    const char *prefix;
  } cases[] = {
      {"xmlns:i='http://www.itunes.com/dtds/podcast-1.0.dtd'", "i"},
      {"xmlns:i='HTTPS://WWW.ITUNES.COM/DTDS/PODCAST-1.0.DTD'", "i"},
      {"xmlns:q='https://podcastindex.org/namespace/1.0'", "q"},
      {"xmlns:q='https://github.com/Podcastindex-org/podcast-namespace/blob/main/docs/1.0.md'",
       "q"},
      {"", "podcast"},  // the usual prefix, undeclared
      {"", "itunes"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.declaration);
    std::string element = std::string(c.prefix) + ":season";
    parsed p(std::string("<rss ") + c.declaration + "><channel><item><" + element + ">3</" +
             element + "></item></channel></rss>");
    ASSERT_EQ(p.rc, 0) << p.err;
    ASSERT_EQ(p.feed.nitems, 1);
    EXPECT_EQ(p.item(0).season, 3);
  }
  // Another vocabulary's URI is not taken for one of these, whatever its letters.
  parsed other(
      "<rss xmlns:i='http://www.itunes.com/dtds/other-1.0.dtd'><channel><item><i:season>3"
      "</i:season></item></channel></rss>");
  ASSERT_EQ(other.rc, 0) << other.err;
  EXPECT_EQ(other.item(0).season, -1);
  parsed chapters(
      "<rss xmlns:x='HTTP://PODLOVE.ORG/SIMPLE-CHAPTERS'><channel><item><x:chapter start='1'/>"
      "</item></channel></rss>");
  ASSERT_EQ(chapters.rc, 0) << chapters.err;
  EXPECT_EQ(chapters.item(0).heavy->nchapters, 1);
}

// MARK: Values

TEST(Details, ValuesAreNormalised) {
  const struct {
    std::string children;
    const char *json;
  } cases[] = {
      {"<itunes:explicit>YES</itunes:explicit>", R"(,"explicit":true)"},
      {"<itunes:explicit>True</itunes:explicit>", R"(,"explicit":true)"},
      {"<itunes:explicit>explicit</itunes:explicit>", R"(,"explicit":true)"},
      {"<itunes:explicit>No</itunes:explicit>", R"(,"explicit":false)"},
      {"<itunes:explicit>false</itunes:explicit>", R"(,"explicit":false)"},
      {"<itunes:explicit>CLEAN</itunes:explicit>", R"(,"explicit":false)"},
      {"<itunes:explicit>maybe</itunes:explicit><itunes:explicit>no</itunes:explicit>",
       R"(,"explicit":false)"},
      {"<itunes:explicit>1</itunes:explicit>", ""},
      {"<itunes:episodeType>FULL</itunes:episodeType>", R"(,"episode_type":"full")"},
      {"<itunes:episodeType>Bonus</itunes:episodeType>", R"(,"episode_type":"bonus")"},
      {"<itunes:episodeType>special</itunes:episodeType>", ""},
      {"<itunes:episodeType></itunes:episodeType>", ""},
      {"<itunes:episode>12</itunes:episode>", R"(,"episode":12)"},
      {"<itunes:episode>007</itunes:episode>", R"(,"episode":7)"},
      {"<podcast:episode>315.5</podcast:episode>", R"(,"episode":315.5)"},
      {"<itunes:episode>1e3</itunes:episode>", ""},
      {"<itunes:episode>-1</itunes:episode>", ""},
      {"<itunes:episode>3.</itunes:episode>", ""},
      {"<itunes:episode>x</itunes:episode><podcast:episode>4</podcast:episode>", R"(,"episode":4)"},
      {"<itunes:season>0</itunes:season>", R"(,"season":0)"},
      {"<itunes:season>2.5</itunes:season>", ""},
      {"<itunes:season>two</itunes:season>", ""},
      {"<itunes:season>99999999999999999999</itunes:season>", ""},
      // Blanks around a value are not part of it.
      {"<itunes:season> 4 </itunes:season>", R"(,"season":4)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.children);
    EXPECT_EQ(item_details(c.children), c.json);
  }
}

TEST(Details, FeedValuesAreNormalised) {
  const struct {
    std::string channel;
    const char *json;
  } cases[] = {
      {"<itunes:type>EPISODIC</itunes:type>", R"("show_type":"episodic",)"},
      {"<itunes:type>daily</itunes:type>", ""},
      {"<itunes:complete>no</itunes:complete>", ""},
      {"<itunes:complete>YES</itunes:complete>", R"("complete":true,)"},
      {"<itunes:explicit>true</itunes:explicit>", R"("explicit":true,)"},
      {"<itunes:new-feed-url>/relative.xml</itunes:new-feed-url>", ""},
      {"<itunes:new-feed-url>ftp://h/f.xml</itunes:new-feed-url>", ""},
      {"<itunes:new-feed-url> HTTP://h/f.xml </itunes:new-feed-url>",
       R"("new_feed_url":"HTTP://h/f.xml",)"},
      {"<podcast:funding url=''>Nothing</podcast:funding>", ""},
      {"<podcast:person>  </podcast:person><podcast:person role='host'/>", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.channel);
    EXPECT_EQ(feed_details("<rss><channel>" + c.channel + "</channel></rss>"), c.json);
  }
}

TEST(Details, ChapterStartsInNormalPlayTime) {
  const struct {
    const char *start;
    int64_t ms;  // -1: the chapter is skipped
  } cases[] = {
      {"01:02:03.456", 3723456},
      {"1:02:03", 3723000},
      {"02:03", 123000},
      {"45", 45000},
      {"45.5", 45500},
      {"0:00:01.1234", 1123},
      {" 7 ", 7000},
      {"100:00:00", 360000000},
      {"1:60", -1},
      {"1:2:3:4", -1},
      {"x", -1},
      {"", -1},
      {"1.", -1},
      {"-1", -1},
      {"1:", -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.start);
    parsed p(rss_item(std::string("<psc:chapter start='") + c.start + "' title='t'/>"));
    ASSERT_EQ(p.rc, 0) << p.err;
    if (c.ms < 0) {
      EXPECT_EQ(p.item(0).heavy, nullptr);
    } else {
      ASSERT_NE(p.item(0).heavy, nullptr);
      ASSERT_EQ(p.item(0).heavy->nchapters, 1);
      EXPECT_EQ(p.item(0).heavy->chapters[0].start_ms, c.ms);
    }
  }
}

// Where several elements give a member, the better source wins whatever the order.
TEST(Details, SourcesInOrderOfPreference) {
  const struct {
    std::string channel;
    std::string children;
    const char *json;
  } cases[] = {
      {"", "<itunes:summary>s</itunes:summary><description>d</description>",
       R"(,"description":"d")"},
      {"", "<description>d</description><itunes:summary>s</itunes:summary>",
       R"(,"description":"d")"},
      {"", "<itunes:summary>s</itunes:summary>", R"(,"description":"s")"},
      {"", "<media:thumbnail url='t'/><itunes:image href=''/>", R"(,"image":"t")"},
      {"", "<media:thumbnail url='t'/><itunes:image href='i'/>", R"(,"image":"i")"},
      {"", "<author>a@x (A)</author><dc:creator>C</dc:creator>", R"(,"author":"C")"},
      {"", "<author>a@x (A)</author>", R"x(,"author":"a@x (A)")x"},
      {"", "<podcast:season>5</podcast:season>", R"(,"season":5)"},
      // Episode persons stand on their own: the show's are not merged in.
      {"<podcast:person>Host</podcast:person>", "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.children);
    EXPECT_EQ(item_details(c.children, c.channel), c.json);
  }
  const struct {
    std::string channel;
    const char *json;
  } feeds[] = {
      {"<itunes:summary>s</itunes:summary>", R"("description":"s",)"},
      {"<dc:creator>C</dc:creator><managingEditor>M</managingEditor>", R"("author":"M",)"},
      {"<dc:creator>C</dc:creator>", R"("author":"C",)"},
      // An image's description and link are not the show's.
      {"<image><url>u</url><link>l</link><description>i</description></image>", ""},
      {"<atom:link rel='alternate' href='https://site/'/><link>https://other/</link>",
       R"("link":"https://site/",)"},
  };
  for (const auto &c : feeds) {
    SCOPED_TRACE(c.channel);
    EXPECT_EQ(feed_details("<rss xmlns:atom='http://www.w3.org/2005/Atom'><channel>" + c.channel +
                           "</channel></rss>"),
              c.json);
  }
}

// Members that real feeds carry in less common places; each case names what its document must give.
TEST(Details, LessCommonPlacesOfMembers) {
  const std::string atom = "<feed xmlns='http://www.w3.org/2005/Atom'><title>A</title>";
  const std::string rss =
      "<rss xmlns:atom='http://www.w3.org/2005/Atom' xmlns:media='http://search.yahoo.com/mrss/' "
      "xmlns:itunes='http://www.itunes.com/dtds/podcast-1.0.dtd' "
      "xmlns:podcast='https://podcastindex.org/namespace/1.0'><channel><title>S</title>";
  const std::string enclosure = "<enclosure url='https://a/1.mp3'/>";
  const struct {
    std::string doc;
    const char *want;
  } cases[] = {
      // An Atom link without a rel is the entry's page, as it is the feed's.
      {atom + "<entry><id>e</id><link href='https://a/1'/>"
              "<link rel='enclosure' href='https://a/1.mp3'/></entry></feed>",
       R"("link":"https://a/1")"},
      // The publication date wins over the update, whichever comes first.
      {atom + "<entry><id>e</id><updated>2020-01-02T00:00:00Z</updated>"
              "<published>2020-01-01T00:00:00Z</published>"
              "<link rel='enclosure' href='https://a/1.mp3'/></entry></feed>",
       R"("mtime_ms":1577836800000)"},
      {atom + "<entry><id>e</id><updated>2020-01-02T00:00:00Z</updated>"
              "<link rel='enclosure' href='https://a/1.mp3'/></entry></feed>",
       R"("mtime_ms":1577923200000)"},
      {atom + "<entry><id>e</id><updated>not a date</updated><published>2020-01-01</published>"
              "<link rel='enclosure' href='https://a/1.mp3'/></entry></feed>",
       R"("mtime_ms":1577836800000)"},
      // Media RSS show notes, also inside a group, when nothing better says it.
      {rss + "<item><guid>g</guid>" + enclosure +
           "<media:group><media:description>Media notes</media:description></media:group>"
           "</item></channel></rss>",
       R"("description":"Media notes")"},
      {rss + "<item><guid>g</guid>" + enclosure +
           "<media:description>Media notes</media:description><description>Notes</description>"
           "</item></channel></rss>",
       R"("description":"Notes")"},
      // An Atom author inside an RSS item gives its name alone.
      {rss + "<item><guid>g</guid>" + enclosure +
           "<atom:author><atom:name>John Doe</atom:name><atom:email>jd@example.com</atom:email>"
           "</atom:author></item></channel></rss>",
       R"("author":"John Doe")"},
      // Nothing inside a live item speaks for the channel.
      {rss + "<podcast:liveItem status='live'><title>Live</title>"
             "<itunes:image href='https://a/live.jpg'/></podcast:liveItem>"
             "<itunes:image href='https://a/cover.jpg'/></channel></rss>",
       R"({"title":"S","image":"https://a/cover.jpg")"},
      {rss +
           "<itunes:image href='https://a/cover.jpg'/><podcast:liveItem status='live'>"
           "<itunes:image href='https://a/live.jpg'/><podcast:person>Guest</podcast:person>"
           "</podcast:liveItem><podcast:liveItem/>" +
           "<item><guid>g</guid>" + enclosure + "</item></channel></rss>",
       R"({"title":"S","image":"https://a/cover.jpg","format":"rss2","items":[{"title":"","id":"g")"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.doc);
    std::string json = parse_json(c.doc);
    EXPECT_NE(json.find(c.want), std::string::npos) << json;
  }
}

TEST(Details, AtomDocument) {
  std::string json = parse_json(
      "<feed xmlns='http://www.w3.org/2005/Atom'><title>A</title><subtitle>Sub</subtitle>"
      "<link rel='self' href='https://a/feed'/><link href='https://a/'/>"
      "<author><name>Ann</name><email>ann@a</email></author>"
      "<entry><id>e1</id><summary>short</summary><content type='html'>&lt;p&gt;long</content>"
      "<link rel='alternate' href='https://a/1'/><link rel='enclosure' href='https://a/1.mp3'/>"
      "<author><name>Ben</name></author></entry></feed>");
  EXPECT_EQ(
      json,
      R"({"title":"A","image":"","format":"atom","description":"Sub","author":"Ann",)"
      R"("link":"https://a/","items":[{"title":"","id":"e1","id_fallback":false,)"
      R"("url":"https://a/1.mp3","size":-1,"mtime_ms":-1,"duration_s":-1,)"
      R"("enclosure_type":"","link":"https://a/1","author":"Ben","description":"<p>long"}]})");
}

// MARK: Bounds

std::string repeated(const std::string &element, int count) {
  std::string out;
  for (int i = 0; i < count; i++) {
    std::string e = element;
    for (size_t at; (at = e.find("{n}")) != std::string::npos;) e.replace(at, 3, std::to_string(i));
    out += e;
  }
  return out;
}

TEST(Details, ListsStopAtTheirBounds) {
  std::string alternate = "<podcast:alternateEnclosure type='audio/mpeg'>" +
                          repeated("<podcast:source uri='https://s/{n}'/>", 9) +
                          "</podcast:alternateEnclosure>";
  std::string item = repeated("<podcast:transcript url='https://t/{n}'/>", 9) +
                     repeated(alternate, 9) +
                     repeated("<podcast:person>P{n}</podcast:person>", 65) +
                     repeated("<psc:chapter start='{n}' title='c{n}'/>", 501);
  std::string channel = repeated("<podcast:funding url='https://f/{n}'/>", 9) +
                        repeated("<podcast:person>F{n}</podcast:person>", 65);
  parsed p(rss_item(item, channel));
  ASSERT_EQ(p.rc, 0) << p.err;
  ASSERT_NE(p.item(0).heavy, nullptr);
  const vepod_item_heavy &i = *p.item(0).heavy;
  EXPECT_EQ(i.ntranscripts, 8);
  EXPECT_STREQ(i.transcripts[7].url, "https://t/7");
  ASSERT_EQ(i.nalternates, 8);
  for (int k = 0; k < 8; k++) EXPECT_EQ(i.alternates[k].nsources, 8);
  EXPECT_EQ(i.npersons, 64);
  EXPECT_STREQ(i.persons[63].name, "P63");
  ASSERT_EQ(i.nchapters, 500);
  EXPECT_EQ(i.chapters[499].start_ms, 499000);
  EXPECT_EQ(p.feed.nfunding, 8);
  EXPECT_EQ(p.feed.npersons, 64);
}

// MARK: Hostile or incomplete markup

TEST(Details, IncompleteEntriesAreSkipped) {
  const struct {
    std::string children;
    const char *json;
  } cases[] = {
      {"<podcast:transcript type='text/vtt'/>", ""},
      {"<podcast:transcript url=' '/>", ""},
      {"<podcast:chapters type='application/json'/>", ""},
      {"<podcast:alternateEnclosure><podcast:source/></podcast:alternateEnclosure>",
       R"(,"alternates":[{}])"},
      {"<podcast:alternateEnclosure length='x' bitrate='fast' default='yes'/>",
       R"(,"alternates":[{}])"},
      // A source only belongs to an alternate it stands in.
      {"<podcast:source uri='https://s/'/>", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.children);
    EXPECT_EQ(item_details(c.children), c.json);
  }
  // An entry end tag inside an alternate ends the item; the source after it, inside the next item,
  // belongs to no alternate of that one.
  parsed p(rss_item(
      "<podcast:alternateEnclosure><entry></entry><item/><podcast:source uri='https://s/'/>"
      "</podcast:alternateEnclosure>"));
  ASSERT_EQ(p.rc, 0) << p.err;
  ASSERT_EQ(p.feed.nitems, 2);
  ASSERT_EQ(p.item(0).heavy->nalternates, 1);
  EXPECT_EQ(p.item(0).heavy->alternates[0].nsources, 0);
  EXPECT_EQ(p.item(1).heavy, nullptr);
}

TEST(Details, AnyAllocationFailureFailsTheParse) {
  EXPECT_GT(vepod_test::expect_each_allocation_failure_fails_the_parse(kDetailed), 30);
}

// MARK: Light parses

TEST(Details, LightParseKeepsNoHeavyMembers) {
  vepod_feed feed;
  vepod_failure failure;
  ASSERT_EQ(
      vepod_feed_parse(kDetailed, std::strlen(kDetailed), &feed, &failure, vepod_detail::light),
      VEPOD_OK)
      << failure.message;
  const vepod_item &item = feed.items[0];
  EXPECT_EQ(item.heavy, nullptr);
  EXPECT_EQ(text_or_null(item.image), "https://pod.example/1.jpg");
  EXPECT_EQ(text_or_null(item.chapters_url), "https://pod.example/1.json");
  EXPECT_EQ(item.season, 2);
  // The feed's own members are small and always kept.
  EXPECT_EQ(text_or_null(feed.description), "About the show");
  EXPECT_EQ(feed.npersons, 1);
  EXPECT_EQ(feed.nfunding, 2);
  vepod_feed_free(&feed);
}

// MARK: Listings

class DetailsListing : public ::testing::Test {
 protected:
  void SetUp() override {
    vepod_set_io(nullptr);
    vepod_fake_reset();
    vepod_cache_clear();
    vepod_cache_set_max_age(21600);
    ASSERT_EQ(vepod_fake_set(kUrl, 200, kDetailed), 0);
  }
  void TearDown() override {
    vepod_fake_reset();
    vepod_cache_clear();
  }
  static constexpr const char *kUrl = "http://pod.example/feed.xml";
  const std::string settings = vepod_test::settings_for(kUrl);
};

TEST_F(DetailsListing, EpisodeListingCarriesTheLightMembersOnly) {
  vepod_test::Answer a = vepod_test::list(settings, kUrl);
  ASSERT_EQ(a.code, 0) << a.text;
  EXPECT_EQ(a.text,
            std::string(R"([{"name":"One","path":"http://pod.example/feed.xml/g1","folder":false,)"
                        R"("size":5,"mtime_ms":-1,"id":"g1","locator":"https://pod.example/1.mp3",)"
                        R"("duration_s":-1,"guid_fallback":false,"title":"One",)"
                        R"("enclosure_type":"audio/mpeg",)") +
                kLightJson + "}]");
}

TEST_F(DetailsListing, RootFolderCarriesTheFeedMembers) {
  ASSERT_EQ(vepod_fake_set("http://pod.example/page", 200,
                           "<html><head><link rel='alternate' type='application/rss+xml' "
                           "href='http://pod.example/other.xml'></head></html>"),
            0);
  vepod_test::Answer a = vepod_test::list(
      vepod_test::settings_for(std::string(kUrl) + "\nhttp://pod.example/page"), "");
  ASSERT_EQ(a.code, 0) << a.text;
  // The announced feed is not fetched for the root, so it has nothing to add.
  EXPECT_EQ(a.text, std::string(R"([{"name":"Show","path":"http://pod.example/feed.xml",)"
                                R"("id":"http://pod.example/feed.xml","folder":true,"size":-1,)") +
                        kFeedDetailsJson +
                        "},{\"name\":\"http:\u2215\u2215pod.example\u2215other.xml\","
                        R"("path":"http://pod.example/other.xml",)"
                        R"("id":"http://pod.example/other.xml","folder":true,"size":-1}])");
}

// The details pane of one episode: the path a listing gives it lists that entry alone, with the
// heavy members after the light ones.
TEST_F(DetailsListing, EntryPathAnswersTheEntryWithEveryMember) {
  vepod_test::Answer folder = vepod_test::list(settings, kUrl);
  ASSERT_EQ(folder.code, 0) << folder.text;
  vepod_test::Answer entry = vepod_test::list(settings, "http://pod.example/feed.xml/g1");
  ASSERT_EQ(entry.code, 0) << entry.text;
  // A source whose URL is not http(s) is not handed to the host.
  std::string heavy = kHeavyJson;
  heavy.erase(heavy.find(R"(,{"uri":"ipfs://abc"})"), 21);
  EXPECT_EQ(entry.text, folder.text.substr(0, folder.text.size() - 2) + "," + heavy + "}]");
}

// Each entry of a folder, asked for by its path, answers as the folder listed it: also one of a
// feed a page announced, an untitled one named by its place, and an id that needed encoding.
TEST_F(DetailsListing, EntryPathsAnswerAsTheFolderListsThem) {
  constexpr const char *other = "http://pod.example/other.xml";
  ASSERT_EQ(vepod_fake_set("http://pod.example/page", 200,
                           "<html><head><link rel='alternate' type='application/rss+xml' "
                           "href='other.xml'></head></html>"),
            0);
  ASSERT_EQ(vepod_fake_set(other, 200,
                           "<rss><channel><item><enclosure url='m1'/>"
                           "<pubDate>Tue, 03 Jan 2006 00:00:00 GMT</pubDate></item>"
                           "<item><guid>a/b c</guid><title>X</title><enclosure url='m2'/>"
                           "<itunes:episode>2</itunes:episode></item></channel></rss>"),
            0);
  std::string page = vepod_test::settings_for("http://pod.example/page");
  vepod_test::Answer folder = vepod_test::list(page, other);
  ASSERT_EQ(folder.code, 0) << folder.text;
  yyjson_doc *listed = yyjson_read(folder.text.data(), folder.text.size(), 0);
  ASSERT_EQ(yyjson_arr_size(yyjson_doc_get_root(listed)), 2u);
  size_t i, n;
  yyjson_val *e;
  yyjson_arr_foreach(yyjson_doc_get_root(listed), i, n, e) {
    char *json = yyjson_val_write(e, 0, nullptr);
    const char *path = yyjson_get_str(yyjson_obj_get(e, "path"));
    SCOPED_TRACE(path);
    vepod_test::Answer entry = vepod_test::list(page, path);
    EXPECT_EQ(entry.code, 0);
    EXPECT_EQ(entry.text, std::string("[") + json + "]");
    std::free(json);
  }
  EXPECT_NE(folder.text.find(R"("name":"episode 1")"), std::string::npos) << folder.text;
  EXPECT_NE(folder.text.find(R"("path":"http://pod.example/other.xml/a%2Fb%20c")"),
            std::string::npos)
      << folder.text;
  yyjson_doc_free(listed);
}

TEST_F(DetailsListing, EntryPathFailures) {
  ASSERT_EQ(vepod_fake_set("http://pod.example/gone.xml", 404, ""), 0);
  const struct {
    const char *urls;
    const char *path;
    int code;
    const char *message;
  } cases[] = {
      {kUrl, "http://pod.example/feed.xml/nope", -2,
       "folder not found: http://pod.example/feed.xml/nope"},
      {kUrl, "http://pod.example/feed.xml/g1/", -2,
       "folder not found: http://pod.example/feed.xml/g1/"},
      {kUrl, "http://pod.example/other.xml/g1", -2,
       "folder not found: http://pod.example/other.xml/g1"},
      {"http://pod.example/gone.xml", "http://pod.example/gone.xml/g1", -2,
       "HTTP 404 from http://pod.example/gone.xml"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    vepod_test::Answer a = vepod_test::list(vepod_test::settings_for(c.urls), c.path);
    EXPECT_EQ(a.code, c.code);
    EXPECT_STREQ(vepod_last_error(), c.message);
  }
}

}  // namespace
