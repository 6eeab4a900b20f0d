// The process-wide counters and their JSON text.

#include <cstring>

#include <yyjson.h>

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
    return uint64_t(counter.load(std::memory_order_relaxed));
  };
  // The document lives in a pool on the stack: counters are read when memory may be short.
  alignas(16) char pool[4096];
  yyjson_alc alc;
  yyjson_alc_pool_init(&alc, pool, sizeof pool);
  yyjson_mut_doc *doc = yyjson_mut_doc_new(&alc);
  yyjson_mut_val *root = doc ? yyjson_mut_obj(doc) : nullptr;
  auto group = [&](const char *name) {
    yyjson_mut_val *obj = yyjson_mut_obj(doc);
    return obj && yyjson_mut_obj_add_val(doc, root, name, obj) ? obj : nullptr;
  };
  auto add = [&](yyjson_mut_val *obj, const char *name, uint64_t value) {
    return obj && yyjson_mut_obj_add_uint(doc, obj, name, value);
  };
  yyjson_mut_val *http = root ? group("http") : nullptr;
  bool complete = add(http, "gets", get(g_stats.http_gets)) &&
                  add(http, "304", get(g_stats.http_304)) &&
                  add(http, "errors", get(g_stats.http_errors));
  yyjson_mut_val *cache = complete ? group("cache") : nullptr;
  complete = add(cache, "entries", vepod_cache_entry_count()) &&
             add(cache, "hits", get(g_stats.cache_hits)) &&
             add(cache, "misses", get(g_stats.cache_misses));
  yyjson_mut_val *feeds = complete ? group("feeds") : nullptr;
  complete = add(feeds, "parsed", get(g_stats.feeds_parsed)) &&
             add(feeds, "rejected", get(g_stats.feeds_rejected));
  yyjson_mut_val *items = complete ? group("items") : nullptr;
  complete = add(items, "kept", get(g_stats.items_kept)) &&
             add(items, "guid_fallback", get(g_stats.items_guid_fallback));
  size_t len = 0;
  char *json = nullptr;
  if (complete) {
    yyjson_mut_doc_set_root(doc, root);
    json = yyjson_mut_write_opts(doc, 0, &alc, &len, nullptr);
  }
  // The pool is sized for every counter at its largest value, so this only guards the copy.
  if (!json || len >= sizeof buf) len = 0;
  if (json) std::memcpy(buf, json, len);
  buf[len] = '\0';
  return buf;
}
