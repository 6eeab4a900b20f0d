// `vepod demo`: bundled sample documents served by the library's fake transport, and the walk a
// media player makes through them. The shows, hosts and people are invented.

#include <string>

#include "commands/commands.h"
#include "vepod.h"

namespace {

constexpr const char *k_page_url = "https://www.example.org/listen";
constexpr const char *k_rss_url = "https://feeds.example.com/harbor-lights.rss";
constexpr const char *k_atom_url = "https://www.example.org/shows/quiet-workshop/atom.xml";

// Announces both feeds; the Atom link is relative and resolves against the page's URL.
constexpr const char *k_page = R"(<!DOCTYPE html>
<html lang="en">
<head>
  <meta charset="utf-8">
  <title>Listen | Example Audio Collective</title>
  <link rel="stylesheet" href="/style.css">
  <link rel="alternate" type="application/rss+xml" title="Harbor Lights"
        href="https://feeds.example.com/harbor-lights.rss">
  <link rel="alternate" type="application/atom+xml" title="The Quiet Workshop"
        href="/shows/quiet-workshop/atom.xml">
</head>
<body>
  <h1>Our shows</h1>
  <p>Two small shows, made by neighbours, for anyone with a long walk ahead.</p>
</body>
</html>
)";

// Five episodes out of date order, one without a guid, durations in several notations.
constexpr const char *k_rss = R"(<?xml version="1.0" encoding="UTF-8"?>
<rss version="2.0" xmlns:itunes="http://www.itunes.com/dtds/podcast-1.0.dtd">
  <channel>
    <title>Harbor Lights</title>
    <link>https://www.example.org/shows/harbor-lights</link>
    <description>Evening stories from small harbour towns, told by the people who keep them
      running.</description>
    <language>en</language>
    <itunes:image href="https://media.example.com/harbor-lights/cover.jpg"/>
    <item>
      <title>Fog Signals, Then and Now</title>
      <pubDate>Tue, 16 Apr 2024 18:00:00 GMT</pubDate>
      <itunes:duration>1:05:03</itunes:duration>
      <enclosure url="https://media.example.com/harbor-lights/003-fog-signals.mp3"
                 type="audio/mpeg" length="62453760"/>
    </item>
    <item>
      <title>The Lighthouse Keeper's Logbook</title>
      <guid isPermaLink="false">harbor-lights-005</guid>
      <pubDate>Tue, 14 May 2024 18:00:00 GMT</pubDate>
      <itunes:duration>42:10</itunes:duration>
      <enclosure url="https://media.example.com/harbor-lights/005-logbook.mp3"
                 type="audio/mpeg" length="40488960"/>
    </item>
    <item>
      <title>Trailer: Welcome Aboard</title>
      <guid isPermaLink="false">harbor-lights-001</guid>
      <pubDate>Tue, 19 Mar 2024 18:00:00 GMT</pubDate>
      <itunes:duration>90</itunes:duration>
      <enclosure url="https://media.example.com/harbor-lights/001-trailer.mp3"
                 type="audio/mpeg" length="1441792"/>
    </item>
    <item>
      <title>Ropes &amp; Knots / Mending Season</title>
      <guid isPermaLink="false">harbor-lights-004</guid>
      <pubDate>Tue, 30 Apr 2024 18:00:00 GMT</pubDate>
      <itunes:duration>2531</itunes:duration>
      <enclosure url="https://media.example.com/harbor-lights/004-mending.mp3"
                 type="audio/mpeg" length="36450112"/>
    </item>
    <item>
      <title>The Café at the End of the Pier</title>
      <guid isPermaLink="false">harbor-lights-002</guid>
      <pubDate>Tue, 02 Apr 2024 18:00:00 GMT</pubDate>
      <itunes:duration>28:45</itunes:duration>
      <enclosure url="https://media.example.com/harbor-lights/002-cafe.mp3"
                 type="audio/mpeg" length="27598848"/>
    </item>
  </channel>
</rss>
)";

constexpr const char *k_atom = R"(<?xml version="1.0" encoding="utf-8"?>
<feed xmlns="http://www.w3.org/2005/Atom" xmlns:itunes="http://www.itunes.com/dtds/podcast-1.0.dtd">
  <title>The Quiet Workshop</title>
  <id>tag:example.org,2024:quiet-workshop</id>
  <updated>2024-05-21T09:00:00Z</updated>
  <link rel="self" href="https://www.example.org/shows/quiet-workshop/atom.xml"/>
  <author><name>Example Audio Collective</name></author>
  <entry>
    <title>Sharpening, Slowly</title>
    <id>tag:example.org,2024:quiet-workshop:3</id>
    <published>2024-05-20T07:30:00Z</published>
    <updated>2024-05-21T09:00:00Z</updated>
    <link rel="alternate" href="https://www.example.org/shows/quiet-workshop/3"/>
    <itunes:duration>00:31:40</itunes:duration>
    <link rel="enclosure" type="audio/ogg" length="18874368"
          href="https://media.example.net/quiet-workshop/3-sharpening.ogg"/>
    <summary>Whetstones, patience and the sound of a plane on pine.</summary>
  </entry>
  <entry>
    <title>A Bench for the Garden</title>
    <id>tag:example.org,2024:quiet-workshop:2</id>
    <published>2024-05-06T07:30:00+02:00</published>
    <itunes:duration>47 min</itunes:duration>
    <link rel="enclosure" type="audio/ogg" length="25165824"
          href="https://media.example.net/quiet-workshop/2-garden-bench.ogg"/>
  </entry>
  <entry>
    <title>Choosing Wood</title>
    <id>tag:example.org,2024:quiet-workshop:1</id>
    <updated>2024-04-22T07:30:00Z</updated>
    <link rel="enclosure" type="audio/ogg" length="21495808"
          href="https://media.example.net/quiet-workshop/1-choosing-wood.ogg"/>
  </entry>
</feed>
)";

// Lists one feed folder; on success `newest` receives its first entry as a JSON object text.
int list_feed(const std::string &settings, const std::string &path, std::string *newest) {
  answer folder = call_list(settings, path);
  if (folder.code != 0) return fail("demo", folder.problem());
  json_doc doc = read_json(folder.json);
  yyjson_val *entries = yyjson_doc_get_root(doc.get());
  print_episodes(stdout, entries);
  if (newest != nullptr) *newest = write_json(yyjson_arr_get_first(entries));
  return k_exit_ok;
}

int walk() {
  print_demo_intro(k_page_url, k_rss_url, k_atom_url);

  const std::string settings =
      std::string(R"({"URL":")") + k_page_url + R"(","Name":"Demo shelf"})";
  print_heading(1, "Validate the source: the description a player stores");
  print_demo_value("settings", settings);
  answer validated = call_validate(settings);
  if (validated.code != 0) return fail("demo", validated.problem());
  json_doc description = read_json(validated.json);
  print_source(stdout, yyjson_doc_get_root(description.get()));

  print_heading(2, "List the root folder: one folder per feed the page announces");
  answer root = call_list(settings, "");
  if (root.code != 0) return fail("demo", root.problem());
  json_doc feeds = read_json(root.json);
  print_feeds(stdout, yyjson_doc_get_root(feeds.get()));

  std::string newest;
  print_heading(3, "List a feed folder: the episodes of Harbor Lights, newest first");
  if (int rc = list_feed(settings, k_rss_url, &newest)) return rc;
  print_heading(4, "List the other feed folder: The Quiet Workshop (Atom)");
  if (int rc = list_feed(settings, k_atom_url, nullptr)) return rc;

  print_heading(5, "Resolve the stream URL of the newest Harbor Lights episode");
  print_demo_value("entry", newest);
  answer stream = call_stream_url(settings.c_str(), newest);
  if (stream.code != 0) return fail("demo", stream.problem());
  json_doc resolved = read_json(stream.json);
  print_demo_stream(yyjson_doc_get_root(resolved.get()));

  print_heading(6, "Statistics");
  json_doc stats = read_json(vepod_stats_json());
  print_stats(stdout, yyjson_doc_get_root(stats.get()));
  print_demo_fetches(vepod_fake_calls(nullptr));
  return k_exit_ok;
}

}  // namespace

int run_demo() {
  vepod_fake_reset();
  if (vepod_fake_set(k_page_url, 200, k_page) != 0 || vepod_fake_set(k_rss_url, 200, k_rss) != 0 ||
      vepod_fake_set(k_atom_url, 200, k_atom) != 0)
    return report("demo", k_exit_failure, "cannot register the sample documents");
  vepod_use_fake();
  int rc = walk();
  vepod_fake_reset();
  return rc;
}
