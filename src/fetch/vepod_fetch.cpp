// The cached fetch: a 64-slot response cache in front of the transport, and the cache controls.

#include "fetch/vepod_fetch.h"

#include <cstdlib>
#include <cstring>

#include "util/vepod_util.h"

namespace {

constexpr size_t k_cache_slots = 64;
constexpr int32_t k_default_max_age = 21600;  // six hours
constexpr int32_t k_max_age_limit = 2592000;  // thirty days

struct vepod_cache_entry {
  char *url;  // the key, exact bytes; NULL marks a free slot
  char *body;
  size_t body_len;
  int32_t status;
  uint64_t tick;  // g_tick at the last store: orders eviction, hits do not refresh it
  uint64_t stored_ms;
};

vepod_lock g_cache_lock;
vepod_cache_entry g_cache[k_cache_slots];

std::atomic<uint64_t> g_tick;
std::atomic<int32_t> g_max_age{k_default_max_age};
std::atomic<uint64_t (*)()> g_clock;

uint64_t cache_now() {
  uint64_t (*clock)() = g_clock.load(std::memory_order_acquire);
  return clock ? clock() : vepod_now_ms();
}

bool is_2xx(int status) { return status >= 200 && status <= 299; }

struct refusal {
  int status;
  vepod_code code;
};
constexpr refusal k_refusals[] = {{401, VEPOD_ERR_ACCESS},
                                  {403, VEPOD_ERR_ACCESS},
                                  {404, VEPOD_ERR_NOT_FOUND},
                                  {410, VEPOD_ERR_NOT_FOUND},
                                  {429, VEPOD_ERR_RATE_LIMITED}};

// The code for a status that is neither 2xx nor 304.
vepod_code refusal_code(int status) {
  for (const refusal &r : k_refusals) {
    if (r.status == status) return r.code;
  }
  return status >= 500 ? VEPOD_ERR_TRANSPORT : VEPOD_ERR_NO_DATA;
}

// With g_cache_lock held.
vepod_cache_entry *find_slot(const char *url) {
  for (vepod_cache_entry &slot : g_cache) {
    if (slot.url && std::strcmp(slot.url, url) == 0) return &slot;
  }
  return nullptr;
}

// With g_cache_lock held: the slot for a store of a URL that has none, emptying the oldest store
// when every slot is taken. Its old URL is handed to *evicted for release outside the lock.
vepod_cache_entry *slot_for_new_url(char **evicted) {
  vepod_cache_entry *oldest = &g_cache[0];
  for (vepod_cache_entry &slot : g_cache) {
    if (!slot.url) return &slot;
    if (slot.tick < oldest->tick) oldest = &slot;
  }
  *evicted = oldest->url;
  oldest->url = nullptr;
  return oldest;
}

// Stores a 2xx body. Allocation failures leave the slot without a URL or body; the read-back
// that follows reports them.
void store(const char *url, const char *body, int status) {
  // Bodies can be megabytes: copy before taking the lock and release after it.
  size_t len = std::strlen(body);
  auto *copy = static_cast<char *>(vepod_malloc(len + 1));
  if (copy) std::memcpy(copy, body, len + 1);
  uint64_t now = cache_now();
  char *evicted = nullptr;
  char *old_body;
  {
    vepod_lock_guard hold(g_cache_lock);
    vepod_cache_entry *slot = find_slot(url);
    if (!slot) {
      slot = slot_for_new_url(&evicted);
      slot->url = vepod_strdup(url);
    }
    old_body = slot->body;
    slot->body = copy;
    slot->body_len = len;
    slot->status = status;
    slot->stored_ms = now;
    slot->tick = g_tick.load(std::memory_order_relaxed);
  }
  std::free(evicted);
  std::free(old_body);
}

// A copy of a stored answer handed out by vepod_get.
struct stored_copy {
  char *body = nullptr;  // NULL when memory ran out
  size_t len = 0;
  int status = 0;
};

// With g_cache_lock held.
void copy_slot(const vepod_cache_entry &slot, stored_copy *copy) {
  copy->body = static_cast<char *>(vepod_malloc(slot.body_len + 1));
  if (copy->body) std::memcpy(copy->body, slot.body, slot.body_len + 1);
  copy->len = slot.body_len;
  copy->status = slot.status;
}

// Whether url has a stored body; *copy receives a copy of it.
bool copy_stored(const char *url, stored_copy *copy) {
  vepod_lock_guard hold(g_cache_lock);
  const vepod_cache_entry *slot = find_slot(url);
  if (!slot || !slot->body) return false;
  copy_slot(*slot, copy);
  return true;
}

// A fresh stored answer for url. Whether there was one; *copy as for copy_stored.
bool lookup_fresh(const char *url, int32_t max_age, stored_copy *copy) {
  uint64_t now = cache_now();
  vepod_lock_guard hold(g_cache_lock);
  const vepod_cache_entry *slot = find_slot(url);
  if (!slot || !slot->body || now < slot->stored_ms) return false;
  if ((now - slot->stored_ms) / 1000 >= uint64_t(max_age)) return false;
  copy_slot(*slot, copy);
  return true;
}

void release_body(const tervala_io *io, char *body) {
  if (!body) return;
  if (io->free) {
    io->free(io->ctx, body);
  } else {
    std::free(body);
  }
}

// Without a free operation the transport keeps ownership of its error texts.
void release_error(const tervala_io *io, char *error) {
  if (error && io->free) io->free(io->ctx, error);
}

}  // namespace

vepod_code vepod_get(const tervala_io *io, const char *url, char **body_out, size_t *body_len_out,
                     int *status_out, char *err, size_t err_size) {
  vepod_stats &stats = *vepod_stats_get();
  *body_out = nullptr;
  *body_len_out = 0;
  *status_out = 0;
  if (err && err_size) err[0] = '\0';
  if (!io || !io->get || !url) {
    vepod_put_err(err, err_size, "no tervala_io transport");
    return VEPOD_ERR_BAD_INPUT;
  }
  g_tick.fetch_add(1, std::memory_order_relaxed);

  int32_t max_age = g_max_age.load(std::memory_order_relaxed);
  stored_copy copy;
  if (max_age > 0 && lookup_fresh(url, max_age, &copy)) {
    stats.cache_hits++;
    if (!copy.body) {
      vepod_put_err(err, err_size, "cache read failure");
      return VEPOD_ERR_NO_DATA;
    }
    *body_out = copy.body;
    *body_len_out = copy.len;
    *status_out = copy.status;
    return VEPOD_OK;
  }

  stats.cache_misses++;
  char *body = nullptr;
  char *error = nullptr;
  int status = 0;
  int rc = io->get(io->ctx, url, &body, &status, &error);
  char redacted[vepod_redacted_size];
  if (rc != 0) {
    // A failing transport hands out no body, so only its error text is released.
    stats.http_gets++;
    stats.http_errors++;
    if (err && err_size) {
      vepod_redact_url(url, redacted, sizeof redacted);
      vepod_put_err(err, err_size, "transport failure for %s: %s", redacted,
                    error ? error : "(no message)");
    }
    release_error(io, error);
    return VEPOD_ERR_TRANSPORT;
  }
  release_error(io, error);  // an error text beside a response means nothing
  if (body) {
    if (is_2xx(status)) store(url, body, status);
    release_body(io, body);
  }

  if (status == 304) {
    if (copy_stored(url, &copy)) stats.http_304++;
    if (!copy.body) {
      stats.http_errors++;
      vepod_put_err(err, err_size, "304 without a cached body");
      return VEPOD_ERR_NO_DATA;
    }
    *body_out = copy.body;
    *body_len_out = copy.len;
    *status_out = 200;
    return VEPOD_OK;
  }
  stats.http_gets++;
  if (is_2xx(status)) {
    // Read back from the cache, so that a bodiless 2xx hands out the body stored before it.
    copy_stored(url, &copy);
    if (!copy.body) {
      stats.http_errors++;
      vepod_put_err(err, err_size, "cache write failure");
      return VEPOD_ERR_NO_DATA;
    }
    *body_out = copy.body;
    *body_len_out = copy.len;
    *status_out = status;
    return VEPOD_OK;
  }
  if (err && err_size) {
    vepod_redact_url(url, redacted, sizeof redacted);
    vepod_put_err(err, err_size, "HTTP %ld from %s", long(status), redacted);
  }
  return refusal_code(status);
}

int vepod_cache_max_age() { return g_max_age.load(std::memory_order_relaxed); }

size_t vepod_cache_entry_count() {
  vepod_lock_guard hold(g_cache_lock);
  size_t count = 0;
  for (const vepod_cache_entry &slot : g_cache) count += slot.url != nullptr;
  return count;
}

void vepod_fetch_set_clock(uint64_t (*now_ms)()) {
  g_clock.store(now_ms, std::memory_order_release);
}

void vepod_cache_empty() {
  vepod_lock_guard hold(g_cache_lock);
  for (vepod_cache_entry &slot : g_cache) {
    std::free(slot.url);
    std::free(slot.body);
    slot = vepod_cache_entry{};
  }
  vepod_stats_get()->cache_cleared = 0;
}

void vepod_cache_store_max_age(int32_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds > k_max_age_limit) seconds = k_max_age_limit;
  g_max_age.store(seconds, std::memory_order_relaxed);
}
