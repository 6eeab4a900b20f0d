// Feed parsing throughput: the JSON export, the reader and extraction alone, and the peers (expat
// and pugixml extracting the same members into strings) over the same generated documents, side by
// side; then a folder listing of the same feeds. Each peer's findings are checked against the
// library's answer before it is timed, and the export reports the most heap one call holds
// ("peak_heap") beside the answer's size ("answer") where the heap is counted (glibc, no
// sanitizer).

#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if VEPOD_BENCH_HEAP
#include "bench_heap.h"
#endif
#include "bench_peers.h"
#include "bench_text.h"
#include "vepod.h"
#include "xml/vepod_xml.h"

namespace {

using bench::lcg;

const char *const k_words[] = {
    "the",          "episode", "podcast",   "listen", "season",  "guest",   "interview", "news",
    "weekly",       "archive", "music",     "story",  "science", "culture", "daily",     "review",
    "conversation", "we",      "talk",      "about",  "and",     "café",    "naïve",     "—",
    "réseau",       "über",    "programme", "history"};

void words(std::string &out, lcg &rng, int count) { bench::words(out, rng, count, k_words); }

// Show notes as podcast hosts write them: paragraphs, links, emphasis and a list.
std::string show_notes(lcg &rng) {
  std::string html;
  size_t target = 1024 + rng.below(2048);
  while (html.size() < target) {
    switch (rng.below(4)) {
      case 0:
        html += "<p>";
        words(html, rng, 20 + rng.below(30));
        html += ". <strong>";
        words(html, rng, 3);
        html += "</strong> &amp; ";
        words(html, rng, 10);
        html += ".</p>\n";
        break;
      case 1:
        html += "<p>Links: <a href=\"https://example.com/notes/" + std::to_string(rng.next()) +
                "?utm_source=feed&amp;utm_medium=rss\" target=\"_blank\">";
        words(html, rng, 4);
        html += "</a></p>\n";
        break;
      case 2:
        html += "<ul>";
        for (int i = 0; i < 3; i++) {
          html += "<li>";
          words(html, rng, 8);
          html += "</li>";
        }
        html += "</ul>\n";
        break;
      default:
        html += "<p><em>";
        words(html, rng, 12);
        html += "</em> (00:" + std::to_string(10 + rng.below(50)) + ":12)</p>\n";
    }
  }
  return html;
}

std::string escaped(const std::string &html) {
  std::string out;
  out.reserve(html.size() * 6 / 5);
  for (char c : html) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

enum notes_style { in_cdata, as_text };

void item(std::string &doc, lcg &rng, int n, notes_style style) {
  std::string id = std::to_string(n);
  std::string notes = show_notes(rng);
  doc += "    <item>\n      <title>Episode " + id + ": ";
  words(doc, rng, 5);
  doc += "</title>\n      <link>https://example.com/episodes/" + id +
         "</link>\n      <guid isPermaLink=\"false\">urn:uuid:6f1c" + id +
         "-4a2b-9c3d</guid>\n      <pubDate>Mon, 0" + std::to_string(1 + n % 9) +
         " Jan 2024 15:04:05 +0000</pubDate>\n      <description>";
  doc += style == in_cdata ? "<![CDATA[" + notes + "]]>" : escaped(notes);
  doc += "</description>\n      <itunes:duration>" + std::to_string(n % 3) + ":" +
         std::to_string(10 + n % 50) + ":0" + std::to_string(n % 10) +
         "</itunes:duration>\n      <itunes:explicit>false</itunes:explicit>\n"
         "      <itunes:image href=\"https://cdn.example.com/art/" +
         id + ".jpg\"/>\n      <enclosure url=\"https://cdn.example.com/audio/" + id +
         ".mp3?source=feed&amp;id=" + id + "\" length=\"" +
         std::to_string(20000000 + rng.below(40000000)) + "\" type=\"audio/mpeg\"/>\n    </item>\n";
}

// An RSS 2.0 podcast feed of `items` episodes, stopping early rather than exceed `max_bytes`.
std::string feed(int items, notes_style style, size_t max_bytes) {
  lcg rng{0x2545F4914F6CDD1Dull};
  std::string doc =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<rss version=\"2.0\" xmlns:itunes=\"http://www.itunes.com/dtds/podcast-1.0.dtd\" "
      "xmlns:atom=\"http://www.w3.org/2005/Atom\">\n  <channel>\n"
      "    <title>The Example Show</title>\n    <link>https://example.com/</link>\n"
      "    <atom:link href=\"https://example.com/feed.xml\" rel=\"self\" "
      "type=\"application/rss+xml\"/>\n    <language>en</language>\n"
      "    <description>Weekly conversations about everything.</description>\n"
      "    <itunes:author>Example Media</itunes:author>\n"
      "    <itunes:image href=\"https://cdn.example.com/art/show.jpg\"/>\n"
      "    <image><url>https://cdn.example.com/art/show.png</url><title>The Example Show</title>"
      "<link>https://example.com/</link></image>\n"
      "    <itunes:category text=\"Society &amp; Culture\"/>\n";
  const std::string tail = "  </channel>\n</rss>\n";
  for (int n = 0; n < items; n++) {
    size_t before = doc.size();
    item(doc, rng, n, style);
    if (doc.size() + tail.size() > max_bytes) {
      doc.resize(before);
      break;
    }
  }
  return doc + tail;
}

// An Atom podcast feed of `items` entries: each with a summary that its content (the show notes,
// escaped) outranks, and season and episode numbers.
std::string atom_feed(int items) {
  lcg rng{0x9E3779B97F4A7C15ull};
  std::string doc =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<feed xmlns=\"http://www.w3.org/2005/Atom\" "
      "xmlns:itunes=\"http://www.itunes.com/dtds/podcast-1.0.dtd\">\n"
      "  <title>The Example Show</title>\n"
      "  <subtitle>Weekly conversations about everything.</subtitle>\n"
      "  <link rel=\"alternate\" href=\"https://example.com/\"/>\n"
      "  <link rel=\"self\" href=\"https://example.com/feed.atom\"/>\n"
      "  <id>urn:uuid:60a76c80-d399-11d9-b93C-0003939e0af6</id>\n"
      "  <updated>2024-01-09T15:04:05Z</updated>\n"
      "  <author><name>Example Media</name></author>\n"
      "  <itunes:image href=\"https://cdn.example.com/art/show.jpg\"/>\n";
  for (int n = 0; n < items; n++) {
    std::string id = std::to_string(n);
    doc += "  <entry>\n    <title type=\"text\">Episode " + id + ": ";
    words(doc, rng, 5);
    doc += "</title>\n    <id>urn:uuid:7a2d" + id +
           "-4a2b-9c3d</id>\n"
           "    <link rel=\"alternate\" type=\"text/html\" href=\"https://example.com/episodes/" +
           id + "\"/>\n    <link rel=\"enclosure\" type=\"audio/mpeg\" length=\"" +
           std::to_string(20000000 + rng.below(40000000)) +
           "\" href=\"https://cdn.example.com/audio/" + id + ".mp3?source=feed&amp;id=" + id +
           "\"/>\n    <published>2024-01-0" + std::to_string(1 + n % 9) +
           "T15:04:05Z</published>\n    <updated>2024-02-01T10:00:00Z</updated>\n    <summary>";
    words(doc, rng, 25);
    doc += "</summary>\n    <content type=\"html\">" + escaped(show_notes(rng)) +
           "</content>\n    <itunes:season>" + std::to_string(1 + n / 100) +
           "</itunes:season>\n    <itunes:episode>" + id +
           "</itunes:episode>\n    <itunes:explicit>" + (n % 7 ? "false" : "true") +
           "</itunes:explicit>\n    <itunes:image href=\"https://cdn.example.com/art/" + id +
           ".jpg\"/>\n  </entry>\n";
  }
  return doc + "</feed>\n";
}

const std::string &doc_atom() {
  static const std::string doc = atom_feed(500);
  return doc;
}

const std::string &doc_cdata() {
  static const std::string doc = feed(500, in_cdata, SIZE_MAX);
  return doc;
}
const std::string &doc_escaped() {
  static const std::string doc = feed(500, as_text, SIZE_MAX);
  return doc;
}
const std::string &doc_cdata_50() {
  static const std::string doc = feed(50, in_cdata, SIZE_MAX);
  return doc;
}
// Near the 16 MiB limit: items beyond the 500th are read but not stored.
const std::string &doc_large() {
  static const std::string doc = feed(1 << 20, as_text, 16777216);
  return doc;
}

void parse_feed(benchmark::State &state, const std::string &(*doc)()) {
  const std::string &d = doc();
#if VEPOD_BENCH_HEAP
  {
    size_t before = bench::heap_in_use();
    bench::heap_reset_peak();
    char *json = nullptr;
    if (vepod_parse_feed(d.data(), d.size(), &json, nullptr, 0) != 0) {
      state.SkipWithError("the document was refused");
      return;
    }
    state.counters["peak_heap"] = double(bench::heap_peak() - before);
    state.counters["answer"] = double(std::strlen(json) + 1);
    std::free(json);
  }
#endif
  for (auto _ : state) {
    char *json = nullptr;
    char err[160];
    if (vepod_parse_feed(d.data(), d.size(), &json, err, sizeof err) != 0) {
      state.SkipWithError(err);
      break;
    }
    benchmark::DoNotOptimize(json);
    std::free(json);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(d.size()));
}

// detail: all as vepod_parse_feed parses, light as a listing does.
void feed_parse(benchmark::State &state, const std::string &(*doc)(), vepod_detail detail) {
  const std::string &d = doc();
  for (auto _ : state) {
    vepod_feed f;
    vepod_failure failure;
    if (vepod_feed_parse(d.data(), d.size(), &f, &failure, detail) != VEPOD_OK) {
      state.SkipWithError(failure.message);
      break;
    }
    benchmark::DoNotOptimize(f.nitems);
    vepod_feed_free(&f);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(d.size()));
}

// A peer over the document, after checking once that it finds what the library's answer holds.
void peer(benchmark::State &state, const std::string &(*doc)(),
          bool (*extract)(const std::string &, bench::peer_feed &)) {
  const std::string &d = doc();
  bench::peer_feed found;
  char *json = nullptr;
  if (!extract(d, found) || vepod_parse_feed(d.data(), d.size(), &json, nullptr, 0) != 0) {
    state.SkipWithError("the document was refused");
    return;
  }
  std::string why = bench::disagreement(json, found);
  std::free(json);
  if (!why.empty()) {
    state.SkipWithError(why.c_str());
    return;
  }
  for (auto _ : state) {
    bench::peer_feed f;
    extract(d, f);
    benchmark::DoNotOptimize(f.items.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(d.size()));
}

// The export, each peer, and the parse alone (all members, and a listing's) of each document.
#define VEPOD_FEED_BENCH(name, doc, unit)                                           \
  BENCHMARK_CAPTURE(parse_feed, name, doc)->Unit(unit);                             \
  BENCHMARK_CAPTURE(peer, name##_pugixml, doc, bench::pugixml_extract)->Unit(unit); \
  BENCHMARK_CAPTURE(peer, name##_expat, doc, bench::expat_extract)->Unit(unit);     \
  BENCHMARK_CAPTURE(feed_parse, name, doc, vepod_detail::all)->Unit(unit);          \
  BENCHMARK_CAPTURE(feed_parse, name##_light, doc, vepod_detail::light)->Unit(unit)

VEPOD_FEED_BENCH(rss_50, doc_cdata_50, benchmark::kMicrosecond);
VEPOD_FEED_BENCH(rss_500, doc_cdata, benchmark::kMicrosecond);
VEPOD_FEED_BENCH(rss_500_escaped, doc_escaped, benchmark::kMicrosecond);
VEPOD_FEED_BENCH(atom_500, doc_atom, benchmark::kMicrosecond);
VEPOD_FEED_BENCH(rss_16m, doc_large, benchmark::kMillisecond);

// A folder listing of a cached feed beside a bare vepod_parse_feed of the same document: the
// listing parses once and then sorts, checks ids and writes its answer. The counter "list/parse"
// is the listing's CPU time over the parse's, both timed in this run.

// CPU seconds of the calling thread, so that other work on a shared machine does not count.
double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double seconds_per_parse(const std::string &d, int64_t rounds) {
  double start = cpu_seconds();
  for (int64_t i = 0; i < rounds; i++) {
    char *json = nullptr;
    vepod_parse_feed(d.data(), d.size(), &json, nullptr, 0);
    benchmark::DoNotOptimize(json);
    std::free(json);
  }
  return (cpu_seconds() - start) / double(rounds);
}

void list_folder(benchmark::State &state, const std::string &(*doc)()) {
  const std::string &d = doc();
  constexpr const char *url = "http://bench.example/feed.xml";
  const std::string settings = std::string("{\"URL\":\"") + url + "\"}";
  vepod_fake_reset();
  vepod_cache_clear();
  vepod_cache_set_max_age(21600);
  vepod_fake_set(url, 200, d.c_str());
  std::vector<char> out(size_t(1) << 22);
  int64_t rounds = 0;
  double start = cpu_seconds();
  for (auto _ : state) {
    if (vepod_list(settings.c_str(), url, out.data(), int32_t(out.size())) != 0) {
      state.SkipWithError(vepod_last_error());
      break;
    }
    rounds++;
  }
  double list = cpu_seconds() - start;
  if (rounds > 0)
    state.counters["list/parse"] = list / double(rounds) / seconds_per_parse(d, rounds);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(d.size()));
  vepod_fake_reset();
  vepod_cache_clear();
}

BENCHMARK_CAPTURE(list_folder, cdata_50, doc_cdata_50)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(list_folder, cdata_500, doc_cdata)->Unit(benchmark::kMicrosecond);

}  // namespace
