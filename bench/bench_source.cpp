// An episode's stream URL and details from a source of many feeds beside a source of one: an entry
// names its feed, so the work per call should not grow with the feeds the source configures. The
// counter "vs_1_feed" is a call's CPU time over the same call on a one-feed source, both timed in
// this run.

#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench_text.h"
#include "vepod.h"

namespace {

using bench::lcg;

const char *const k_words[] = {"the",   "episode", "podcast", "listen", "season", "guest",
                               "story", "weekly",  "archive", "music",  "news",   "review"};

constexpr int k_items = 88;  // what a real source of 44 feeds held per feed on average

std::string feed_url(int n) { return "http://bench.example/feeds/" + std::to_string(n) + ".xml"; }

// A podcast feed with show notes, so that reading it costs what reading a real one does.
std::string feed(int n) {
  lcg rng{uint64_t(n) * 0x9E3779B97F4A7C15ull + 1};
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\" ";
  doc += "xmlns:itunes=\"http://www.itunes.com/dtds/podcast-1.0.dtd\"><channel><title>Show ";
  doc += std::to_string(n) + "</title><link>http://bench.example/</link>\n";
  for (int i = 0; i < k_items; i++) {
    std::string id = "show-" + std::to_string(n) + "-ep-" + std::to_string(i);
    doc += "<item><title>";
    bench::words(doc, rng, 6, k_words);
    doc += "</title><guid isPermaLink=\"false\">" + id + "</guid>";
    doc += "<pubDate>Mon, 02 Jan 2023 15:04:05 GMT</pubDate><itunes:duration>" +
           std::to_string(600 + i) + "</itunes:duration><description><![CDATA[<p>";
    bench::words(doc, rng, 300, k_words);
    doc += "</p>]]></description><enclosure url=\"http://media.example/" + id +
           ".mp3\" type=\"audio/mpeg\" length=\"123456\"/></item>\n";
  }
  return doc + "</channel></rss>\n";
}

struct source {
  std::string settings;
  std::string entry;    // the stream URL request for an episode of the source's last feed
  std::string details;  // that episode's entry path
};

// Serves `feeds` feeds through the fake transport, every answer stored by the cache.
source serve(int feeds) {
  vepod_fake_reset();
  vepod_cache_clear();
  vepod_cache_set_max_age(21600);
  std::string urls;
  for (int n = 0; n < feeds; n++) {
    vepod_fake_set(feed_url(n).c_str(), 200, feed(n).c_str());
    urls += (n ? "\\n" : "") + feed_url(n);
  }
  const std::string last = feed_url(feeds - 1);
  const std::string id = "show-" + std::to_string(feeds - 1) + "-ep-40";
  return {"{\"URL\":\"" + urls + "\"}",
          R"({"id":")" + id + R"(","path":")" + last + "/" + id + "\"}", last + "/" + id};
}

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

enum class operation { stream_url, details };

int call(operation op, const source &s, std::vector<char> &out) {
  if (op == operation::stream_url) {
    return vepod_stream_url(s.settings.c_str(), s.entry.c_str(), out.data(), int32_t(out.size()));
  }
  return vepod_list(s.settings.c_str(), s.details.c_str(), out.data(), int32_t(out.size()));
}

// CPU seconds per call over rounds calls.
double seconds_per_call(operation op, const source &s, std::vector<char> &out, int64_t rounds) {
  double start = cpu_seconds();
  for (int64_t i = 0; i < rounds; i++) call(op, s, out);
  return (cpu_seconds() - start) / double(rounds);
}

void entry_call(benchmark::State &state, operation op) {
  const int feeds = int(state.range(0));
  std::vector<char> out(size_t(1) << 20);
  const source many = serve(feeds);
  if (call(op, many, out) != 0) {  // stores every answer the calls need
    state.SkipWithError(vepod_last_error());
    return;
  }
  int64_t rounds = 0;
  double start = cpu_seconds();
  for (auto _ : state) {
    benchmark::DoNotOptimize(call(op, many, out));
    rounds++;
  }
  double per_call = (cpu_seconds() - start) / double(rounds > 0 ? rounds : 1);
  const source one = serve(1);
  call(op, one, out);
  if (rounds > 0) state.counters["vs_1_feed"] = per_call / seconds_per_call(op, one, out, rounds);
  vepod_fake_reset();
  vepod_cache_clear();
}

BENCHMARK_CAPTURE(entry_call, stream_url, operation::stream_url)
    ->Arg(1)
    ->Arg(43)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(entry_call, details, operation::details)
    ->Arg(1)
    ->Arg(43)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
