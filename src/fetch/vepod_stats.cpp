// The process-wide counters and their JSON text.

#include <cstdio>

#include "fetch/vepod_fetch.h"

namespace {

vepod_stats g_stats;

// Room for every counter at its largest value.
constexpr size_t k_stats_text_size = 512;

}  // namespace

vepod_stats *vepod_stats_get() { return &g_stats; }

const char *vepod_stats_text() {
  // One buffer per thread, so that a concurrent call cannot tear the text being read.
  static thread_local char buf[k_stats_text_size];
  auto get = [](const std::atomic<uint32_t> &counter) {
    return static_cast<unsigned long>(counter.load(std::memory_order_relaxed));
  };
  std::snprintf(buf, sizeof buf,
                "{\"http\":{\"gets\":%lu,\"304\":%lu,\"errors\":%lu},\"cache\":{\"entries\":%zu,"
                "\"hits\":%lu,\"misses\":%lu},\"feeds\":{\"parsed\":%lu,\"rejected\":%lu},"
                "\"items\":{\"kept\":%lu,\"guid_fallback\":%lu}}",
                get(g_stats.http_gets), get(g_stats.http_304), get(g_stats.http_errors),
                vepod_cache_entry_count(), get(g_stats.cache_hits), get(g_stats.cache_misses),
                get(g_stats.feeds_parsed), get(g_stats.feeds_rejected), get(g_stats.items_kept),
                get(g_stats.items_guid_fallback));
  return buf;
}
