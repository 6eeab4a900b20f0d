// Feed discovery throughput beside plain memchr passes over the same page: one call per '<' (the
// floor for any scanner that visits every tag) and one call for an absent byte (memory bandwidth).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_text.h"
#include "vepod.h"

namespace {

using bench::lcg;

constexpr const char *k_page_url = "https://news.example.org/shows/index.html";

const char *const k_words[] = {"the",       "episode", "podcast", "listen",  "season", "guest",
                               "interview", "news",    "weekly",  "archive", "music",  "story",
                               "science",   "culture", "daily",   "review",  "live",   "special"};

void words(std::string &out, lcg &rng, int count) { bench::words(out, rng, count, k_words); }

void script(std::string &out, lcg &rng) {
  out += "<script>\n(function(){var items=[];for(var i=0;i<data.length;i++){if(data[i].n<3&&";
  out += "data[i].k>1){items.push('<li class=\"item\">'+data[i].t+'</li>');}}";
  int statements = 40 + int(rng.below(200));
  for (int i = 0; i < statements; i++) {
    out += "var v" + std::to_string(i) + "=document.querySelector('#x" +
           std::to_string(rng.below(1000)) + "');if(v" + std::to_string(i) + "&&v" +
           std::to_string(i) + ".offsetWidth<" + std::to_string(rng.below(900)) + "){v" +
           std::to_string(i) + ".innerHTML='<span>";
    words(out, rng, 3);
    out += "</span>';}\n";
  }
  out += "})();\n</script>\n";
}

// A news-site page: head with stylesheets, preloads, icons and a handful of feed links, inline
// scripts and styles, comments, and a body of nested articles, links, images and text.
std::string realistic_page(size_t target) {
  lcg rng{0x9E3779B97F4A7C15ull};
  std::string page = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
  page += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
  page += "<title>Shows - Example News</title>\n";
  for (int i = 0; i < 12; i++) {
    page += "<link rel=\"stylesheet\" href=\"/static/css/s" + std::to_string(i) + ".css\">\n";
    page += "<link rel=\"preload\" as=\"font\" type=\"font/woff2\" href=\"/f/" + std::to_string(i) +
            ".woff2\" crossorigin>\n";
  }
  page += "<link rel=\"icon\" type=\"image/png\" href=\"/favicon.png\">\n";
  page +=
      "<link rel=\"alternate\" type=\"application/rss+xml\" title=\"All shows\" "
      "href=\"/feeds/all.rss\">\n";
  page +=
      "<link rel=\"alternate\" type=\"application/atom+xml\" title=\"Daily\" "
      "href=\"https://news.example.org/feeds/daily.atom\">\n";
  page +=
      "<link rel=\"alternate\" type=\"application/feed+json\" title=\"Weekly\" "
      "href=\"/feeds/weekly.json\">\n";
  page += "<link rel=\"alternate\" hreflang=\"fr\" href=\"/fr/shows/\">\n";
  script(page, rng);
  page += "<style>.item>a{color:#333}.grid>div:first-child{margin:0}</style></head>\n<body>\n";
  page += "<!-- header navigation -->\n<nav class=\"top\"><ul>";
  for (int i = 0; i < 30; i++) {
    page += "<li><a href=\"/section/" + std::to_string(i) + "\">";
    words(page, rng, 1);
    page += "</a></li>";
  }
  page += "</ul></nav>\n";
  int article = 0;
  while (page.size() < target) {
    if (rng.below(25) == 0) script(page, rng);
    if (rng.below(8) == 0) {
      page += "<!-- article block ";
      words(page, rng, 6);
      page += " -->\n";
    }
    page += "<article class=\"card\" data-id=\"" + std::to_string(article++) +
            "\"><div class=\"media\">";
    page += "<img src=\"/img/" + std::to_string(rng.next()) + ".jpg\" srcset=\"/img/a.jpg 1x, " +
            "/img/b.jpg 2x\" alt=\"";
    words(page, rng, 4);
    page +=
        "\" loading=\"lazy\" width=\"640\" height=\"360\"></div><div class=\"body\"><h2>"
        "<a href=\"/shows/" +
        std::to_string(rng.next()) + "\">";
    words(page, rng, 5);
    page += "</a></h2>";
    int paragraphs = 1 + int(rng.below(4));
    for (int p = 0; p < paragraphs; p++) {
      page += "<p>";
      words(page, rng, 20 + int(rng.below(60)));
      page += " <em>";
      words(page, rng, 2);
      page += "</em> <a href=\"/t/";
      words(page, rng, 1);
      page += "\">";
      words(page, rng, 2);
      page += "</a>.</p>";
    }
    page += "<footer><time datetime=\"2024-05-0" + std::to_string(1 + rng.below(9)) +
            "\">May</time> <span class=\"tag\">";
    words(page, rng, 1);
    page += "</span></footer></div></article>\n";
  }
  page +=
      "<link rel=\"alternate\" type=\"application/rss+xml\" title=\"Footer feed\" "
      "href=\"/feeds/footer.xml\">\n</body></html>\n";
  return page;
}

// A page made of nothing but distinct feed links (about 190,000 in 16 MiB): the worst case for
// de-duplication. Two sizes show that the cost grows with the page, not with its square.
std::string links_page(size_t size) {
  std::string page;
  page.reserve(size);
  for (int i = 0;; i++) {
    std::string n = std::to_string(1000000 + i);
    std::string link = "<link rel=\"alternate\" type=\"application/rss+xml\" href=\"/f/" + n +
                       ".xml\" title=\"" + n + "\">\n";
    if (page.size() + link.size() > size) break;
    page += link;
  }
  page.append(size - page.size(), ' ');
  return page;
}

enum page_kind { realistic_4mib, links_4mib, links_16mib };

const std::string &page_of(int which) {
  switch (which) {
    case realistic_4mib: {
      static const std::string page = realistic_page(4u << 20);
      return page;
    }
    case links_4mib: {
      static const std::string page = links_page(4u << 20);
      return page;
    }
    default: {
      static const std::string page = links_page(16u << 20);
      return page;
    }
  }
}

void discover_feeds(benchmark::State &state, int which) {
  const std::string &page = page_of(which);
  char *json = nullptr;
  for (auto _ : state) {
    std::free(json);
    json = nullptr;
    if (vepod_discover_feeds(page.data(), page.size(), k_page_url, &json, nullptr, 0) != 0) {
      state.SkipWithError("discovery failed");
      return;
    }
  }
  size_t feeds = 0;
  for (const char *p = json; (p = std::strstr(p, "{\"url\":")); p++) feeds++;
  std::free(json);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(page.size()));
  state.counters["feeds"] = double(feeds);
  state.counters["page_MiB"] = double(page.size()) / (1 << 20);
}

void discover_memchr_tags(benchmark::State &state, int which) {
  const std::string &page = page_of(which);
  for (auto _ : state) {
    size_t tags = 0;
    const char *p = page.data();
    const char *end = p + page.size();
    while ((p = static_cast<const char *>(std::memchr(p, '<', size_t(end - p))))) {
      tags++;
      p++;
    }
    benchmark::DoNotOptimize(tags);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(page.size()));
}

void discover_memchr_sweep(benchmark::State &state, int which) {
  const std::string &page = page_of(which);
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::memchr(page.data(), '\x01', page.size()));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(page.size()));
}

BENCHMARK_CAPTURE(discover_feeds, realistic_4MiB, realistic_4mib)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(discover_memchr_tags, realistic_4MiB, realistic_4mib)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(discover_memchr_sweep, realistic_4MiB, realistic_4mib)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(discover_feeds, links_4MiB, links_4mib)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(discover_feeds, links_16MiB, links_16mib)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(discover_memchr_tags, links_16MiB, links_16mib)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(discover_memchr_sweep, links_16MiB, links_16mib)->Unit(benchmark::kMillisecond);

}  // namespace
