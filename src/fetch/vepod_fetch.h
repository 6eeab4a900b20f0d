// The cached fetch and the process-wide counters.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "util/vepod_failure.h"
#include "vepod.h"

// Process-wide counters; callers add to the fields directly (they are atomics, so concurrent
// operations count exactly).
struct vepod_stats {
  std::atomic<uint32_t> http_gets;
  std::atomic<uint32_t> http_304;
  std::atomic<uint32_t> http_errors;
  std::atomic<uint32_t> cache_hits;
  std::atomic<uint32_t> cache_misses;
  std::atomic<uint32_t> cache_cleared;  // zeroed by vepod_cache_clear; not reported
  std::atomic<uint32_t> feeds_parsed;
  std::atomic<uint32_t> feeds_rejected;
  std::atomic<uint32_t> items_kept;
  std::atomic<uint32_t> items_guid_fallback;
};

vepod_stats *vepod_stats_get();
// The counters as the compact JSON text of vepod_stats_json, in a buffer of the calling thread
// that the thread's next call overwrites.
const char *vepod_stats_text();

// The message of an operation or a fetch without a transport (or one without get).
inline constexpr const char *vepod_no_transport = "no tervala_io transport";

// Fetches url through io behind the response cache; concurrent calls for the same URL share one
// transport call (the others wait for it and count as cache hits). VEPOD_OK with the body
// (*body_out, NUL-terminated at *body_len_out) and a 2xx status, or a failure code with the failure
// in *failure (URLs redacted); then *body_out is NULL and *body_len_out and *status_out 0. The body
// is shared with the cache and other callers, never copied: read it only, and release it with
// vepod_body_release. failure->out_of_memory tells a failure to store the body for lack of memory,
// which says nothing about the URL, from the others.
vepod_code vepod_get(const tervala_io *io, const char *url, const char **body_out,
                     size_t *body_len_out, int *status_out, vepod_failure *failure);
// The fresh stored answer for url as vepod_get would hand it out, without asking any transport and
// without counting it; false when there is none (or the cache keeps nothing fresh).
bool vepod_get_stored(const char *url, const char **body_out, size_t *body_len_out,
                      int *status_out);
// Lets go of a body vepod_get or vepod_get_stored handed out; NULL is fine.
void vepod_body_release(const char *body);

// The freshness limit in seconds (0 to 2592000).
int vepod_cache_max_age();
// Slots that hold a URL.
size_t vepod_cache_entry_count();
// Empties every slot (behind vepod_cache_clear); the counters are kept.
void vepod_cache_empty();
// Sets the freshness limit, clamped to 0 to 2592000 seconds (behind vepod_cache_set_max_age).
void vepod_cache_store_max_age(int32_t seconds);

// Test hook: the cache takes its times from now_ms instead of vepod_now_ms; NULL restores the
// platform clock.
void vepod_fetch_set_clock(uint64_t (*now_ms)());
// Test hook: how many callers wait now for a fetch of url that another caller has in flight.
size_t vepod_fetch_waiters(const char *url);
