// The cached fetch: a 64-slot response cache in front of the transport, and the cache controls.

#include "fetch/vepod_fetch.h"

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "util/vepod_alloc.h"
#include "util/vepod_platform.h"
#include "util/vepod_text.h"
#include "util/vepod_url.h"

namespace {

constexpr size_t k_cache_slots = 64;
constexpr int32_t k_default_max_age = 21600;  // six hours
constexpr int32_t k_max_age_limit = 2592000;  // thirty days

struct vepod_cache_entry {
  char *url;   // the key, exact bytes; NULL marks a free slot
  char *body;  // a shared body (one reference held by the slot)
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

// A body as the cache keeps it and hands it out: one block, its reference count in front of the
// bytes. Bodies can be megabytes, and a listing of a cached feed would otherwise copy one per call.
struct body_header {
  std::atomic<uint32_t> refs;
  size_t len;
};

char *body_bytes(body_header *h) { return reinterpret_cast<char *>(h + 1); }
body_header *header_of(const char *bytes) {
  return reinterpret_cast<body_header *>(const_cast<char *>(bytes)) - 1;
}

// A new body holding a copy of len bytes, with one reference; NULL when memory runs out.
char *body_new(const char *text, size_t len) {
  if (len > SIZE_MAX - sizeof(body_header) - 1) return nullptr;
  void *block = vepod_malloc(sizeof(body_header) + len + 1);
  if (!block) return nullptr;
  auto *h = new (block) body_header{{1}, len};
  char *bytes = body_bytes(h);
  if (len) std::memcpy(bytes, text, len);
  bytes[len] = '\0';
  return bytes;
}

char *body_retain(char *bytes) {
  header_of(bytes)->refs.fetch_add(1, std::memory_order_relaxed);
  return bytes;
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
  char *copy = body_new(body, std::strlen(body));
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
    slot->body_len = copy ? header_of(copy)->len : 0;
    slot->status = status;
    slot->stored_ms = now;
    slot->tick = g_tick.load(std::memory_order_relaxed);
  }
  std::free(evicted);
  vepod_body_release(old_body);
}

// A stored answer handed out by vepod_get: a reference to the slot's body.
struct stored_copy {
  char *body = nullptr;  // NULL when there was none
  size_t len = 0;
  int status = 0;
};

// With g_cache_lock held.
void copy_slot(const vepod_cache_entry &slot, stored_copy *copy) {
  copy->body = body_retain(slot.body);
  copy->len = slot.body_len;
  copy->status = slot.status;
}

// Whether url has a stored body; *copy receives a reference to it.
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

// What one fetch of a URL came to: handed to its caller, and to the callers that waited for it.
struct answer {
  char *body = nullptr;  // a shared body the answer holds a reference to; NULL on failure
  size_t len = 0;
  int status = 0;
  // VEPOD_OK with a body; out_of_memory when the body could not be stored.
  vepod_failure failure{VEPOD_ERR_TRANSPORT};
};

void refuse(answer &a, vepod_code code, const char *format, ...) VEPOD_PRINTF(3, 4);
void refuse(answer &a, vepod_code code, const char *format, ...) {
  a.failure = vepod_failure{code};
  va_list args;
  va_start(args, format);
  std::vsnprintf(a.failure.message, sizeof a.failure.message, format, args);
  va_end(args);
}

void hand_out(answer &a, const stored_copy &copy, int status) {
  a.failure = vepod_failure{};
  a.body = copy.body;
  a.len = copy.len;
  a.status = status;
}

// The stored copy read back after a store or for a 304; failure names what was missing.
void take(answer &a, const stored_copy &copy, int status, const char *failure) {
  if (copy.body) {
    hand_out(a, copy, status);
  } else {
    refuse(a, VEPOD_ERR_NO_DATA, "%s", failure);
  }
}

// A fresh stored answer for url into a; whether there was one.
bool answer_fresh(const char *url, answer &a) {
  int32_t max_age = g_max_age.load(std::memory_order_relaxed);
  stored_copy copy;
  if (max_age <= 0 || !lookup_fresh(url, max_age, &copy)) return false;
  vepod_stats_get()->cache_hits++;
  hand_out(a, copy, copy.status);
  return true;
}

// Asks the transport and keeps a 2xx body in the cache.
void fetch_through(const tervala_io *io, const char *url, answer &a) {
  vepod_stats &stats = *vepod_stats_get();
  stats.cache_misses++;
  char *body = nullptr;
  char *error = nullptr;
  int status = 0;
  int rc = io->get(io->ctx, url, &body, &status, &error);
  char redacted[vepod_redacted_size];
  vepod_redact_url(url, redacted, sizeof redacted);
  if (rc != 0) {
    // A failing transport hands out no body, so only its error text is released.
    stats.http_gets++;
    stats.http_errors++;
    refuse(a, VEPOD_ERR_TRANSPORT, "transport failure for %s: %s", redacted,
           error ? error : "(no message)");
    release_error(io, error);
    return;
  }
  release_error(io, error);  // an error text beside a response means nothing
  // A success without a body is an empty one, which the caller can name as such.
  if (is_2xx(status)) store(url, body ? body : "", status);
  release_body(io, body);

  stored_copy copy;
  if (status == 304) {
    if (copy_stored(url, &copy)) stats.http_304++;
    if (!copy.body) stats.http_errors++;
    take(a, copy, 200, "304 without a cached body");
    return;
  }
  stats.http_gets++;
  if (!is_2xx(status)) {
    refuse(a, refusal_code(status), "HTTP %ld from %s", long(status), redacted);
    return;
  }
  // Read back from the cache: the stored copy is the one handed out.
  copy_stored(url, &copy);
  if (!copy.body) stats.http_errors++;
  take(a, copy, status, "cache write failure");
  a.failure.out_of_memory = !copy.body;
}

// A fetch of one URL in progress. Callers of the same URL wait for it and share its answer instead
// of asking the transport again. It lives on the stack of the thread that fetches, which keeps it
// until the last waiter has taken its copy.
struct flight {
  explicit flight(const char *u) : url(u), fetcher(std::this_thread::get_id()) {}

  const char *url;
  std::thread::id fetcher;
  // Signalled when the answer is in, and when the last waiter has left.
  std::condition_variable landed;
  const answer *result = nullptr;
  int waiters = 0;
  flight *next = nullptr;
};

// The waits need a condition variable, which pairs with std::mutex; both are constant-initialised
// or live on a fetcher's stack, so loading the library still runs no code.
std::mutex g_flight_lock;
flight *g_flights;  // under g_flight_lock

// With g_flight_lock held. A transport that fetches its own URL again from inside the call does not
// wait for itself.
flight *find_flight(const char *url) {
  for (flight *f = g_flights; f; f = f->next) {
    if (std::strcmp(f->url, url) == 0 && f->fetcher != std::this_thread::get_id()) return f;
  }
  return nullptr;
}

// Waits for a flight to land and takes a copy of its answer; g_flight_lock is held on entry and on
// return.
void wait_for(std::unique_lock<std::mutex> &hold, flight &f, answer &a) {
  f.waiters++;
  f.landed.wait(hold, [&f] { return f.result != nullptr; });
  hold.unlock();
  // The answer stays put until the last waiter is gone, so it is read without the lock.
  const answer &r = *f.result;
  vepod_stats_get()->cache_hits++;
  if (r.body) {
    hand_out(a, stored_copy{body_retain(r.body), r.len, r.status}, r.status);
  } else {
    a.failure = r.failure;
  }
  hold.lock();
  if (--f.waiters == 0) f.landed.notify_all();
}

// Takes off on construction; lands on every way out of the fetch (an exception from a host's
// transport included), so that no waiter is left waiting.
class takeoff {
 public:
  takeoff(flight &f, const answer &a) : f_(f), a_(a) {
    f_.next = g_flights;
    g_flights = &f_;
  }
  ~takeoff() {
    std::unique_lock<std::mutex> hold(g_flight_lock);
    flight **link = &g_flights;
    while (*link != &f_) link = &(*link)->next;
    *link = f_.next;
    f_.result = &a_;
    f_.landed.notify_all();
    f_.landed.wait(hold, [this] { return f_.waiters == 0; });
  }
  takeoff(const takeoff &) = delete;
  takeoff &operator=(const takeoff &) = delete;

 private:
  flight &f_;
  const answer &a_;
};

// The answer for url: shared with a fetch of it already in flight, else fetched.
void fetch_once(const tervala_io *io, const char *url, answer &a) {
  std::unique_lock<std::mutex> hold(g_flight_lock);
  if (flight *f = find_flight(url)) {
    wait_for(hold, *f, a);
    return;
  }
  flight own(url);
  // What the waiters get should the transport throw before an answer is in.
  refuse(a, VEPOD_ERR_TRANSPORT, "transport failure");
  takeoff leaving(own, a);
  hold.unlock();
  // A fetch that landed between the caller's lookup and this takeoff has stored its answer.
  if (!answer_fresh(url, a)) fetch_through(io, url, a);
}

}  // namespace

vepod_code vepod_get(const tervala_io *io, const char *url, const char **body_out,
                     size_t *body_len_out, int *status_out, vepod_failure *failure) {
  *failure = vepod_failure{};
  *body_out = nullptr;
  *body_len_out = 0;
  *status_out = 0;
  if (!io || !io->get || !url) {
    vepod_failure_set(failure, VEPOD_ERR_BAD_INPUT, "%s", vepod_no_transport);
    return failure->code;
  }
  g_tick.fetch_add(1, std::memory_order_relaxed);

  answer a;
  if (!answer_fresh(url, a)) fetch_once(io, url, a);
  if (a.failure.code != VEPOD_OK) {
    *failure = a.failure;
    return failure->code;
  }
  *body_out = a.body;
  *body_len_out = a.len;
  *status_out = a.status;
  return VEPOD_OK;
}

bool vepod_get_stored(const char *url, const char **body_out, size_t *body_len_out,
                      int *status_out) {
  int32_t max_age = g_max_age.load(std::memory_order_relaxed);
  stored_copy copy;
  if (max_age <= 0 || !lookup_fresh(url, max_age, &copy)) return false;
  *body_out = copy.body;
  *body_len_out = copy.len;
  *status_out = copy.status;
  return true;
}

void vepod_body_release(const char *body) {
  if (!body) return;
  body_header *h = header_of(body);
  if (h->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    h->~body_header();
    std::free(h);
  }
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
    vepod_body_release(slot.body);
    slot = vepod_cache_entry{};
  }
  vepod_stats_get()->cache_cleared = 0;
}

size_t vepod_fetch_waiters(const char *url) {
  std::lock_guard<std::mutex> hold(g_flight_lock);
  size_t waiters = 0;
  for (const flight *f = g_flights; f; f = f->next) {
    if (std::strcmp(f->url, url) == 0) waiters += size_t(f->waiters);
  }
  return waiters;
}

void vepod_cache_store_max_age(int32_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds > k_max_age_limit) seconds = k_max_age_limit;
  g_max_age.store(seconds, std::memory_order_relaxed);
}
