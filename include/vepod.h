/*
 * vepod.h: the podcast source plug-in, as its host (a media player) sees it.
 *
 * The library turns configured podcast feed URLs (or web pages that announce feeds) into a
 * read-only, two-level folder tree: one folder per feed, one playable entry per episode. It has
 * no network code of its own; pages are fetched through a transport record (tervala_io) that the
 * host supplies, or, when there is none, through a built-in fake transport served from routes
 * set with the vepod_fake_* functions.
 *
 * Conventions shared by every function below:
 * - Texts are NUL-terminated UTF-8.
 * - Operations write their answer, compact JSON, into a caller-owned buffer `out` of `out_len`
 *   bytes and return 0; on failure they return a negative code, write {"error":"..."} into `out`
 *   (an empty text when it does not fit) and record the message for vepod_last_error(). `out` may
 *   be NULL (or `out_len` not positive): nothing is written there, and a success gives -9.
 * - Codes (enum vepod_code): -1 access refused (HTTP 401/403), -2 not found (HTTP 404/410, unknown folder or entry),
 *   -3 rate-limited (HTTP 429), -4 transport failure or HTTP 5xx, -5 no usable data, another HTTP
 *   status or out of memory, -6 not supported, -8 bad input or no transport, -9 output buffer too
 *   small (the answer stays readable through vepod_result_json()).
 * - Every function may be called from any thread, also concurrently. The library starts no thread.
 */
#ifndef VEPOD_H
#define VEPOD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define VEPOD_API __declspec(dllexport)
#elif defined(__GNUC__)
#define VEPOD_API __attribute__((visibility("default")))
#else
#define VEPOD_API
#endif

/* MARK: Result codes ---------------------------------------------------------------------------- */

/* What every operation returns; -7 is not used. */
enum vepod_code {
  VEPOD_OK = 0,
  VEPOD_ERR_ACCESS = -1,        /* HTTP 401/403 */
  VEPOD_ERR_NOT_FOUND = -2,     /* HTTP 404/410, unknown folder or entry */
  VEPOD_ERR_RATE_LIMITED = -3,  /* HTTP 429 */
  VEPOD_ERR_TRANSPORT = -4,     /* no response, or HTTP 5xx */
  VEPOD_ERR_NO_DATA = -5,       /* no usable data, another HTTP status, out of memory */
  VEPOD_ERR_NOT_SUPPORTED = -6, /* the operation does not apply */
  VEPOD_ERR_BAD_INPUT = -8,     /* bad argument or settings, or no transport */
  VEPOD_ERR_BUFFER_TOO_SMALL = -9 /* the answer is kept for vepod_result_json() */
};

/* MARK: Transport record ----------------------------------------------------------------------- */

/*
 * The host's HTTP transport. The library borrows the record (and its ctx) while it is installed and
 * never copies it. `get` may be called from several threads at once and never with a library lock
 * held.
 *
 * get: fetch `url` by GET. Return 0 when a response arrived: *status_out receives the HTTP status
 *   and *body_out a NUL-terminated body or NULL. Return non-zero when none arrived: *error_out may
 *   receive a message. The library clears all three outputs before the call. A 304 is answered from
 *   the library's response cache; other redirects are not followed by the library.
 * post: never called by this library; same outputs as get.
 * free: releases a body or error text handed out by get/post. May be NULL: bodies are then released
 *   with the C library's free() and error texts are left alone.
 */
typedef struct tervala_io {
  void *ctx;
  int (*get)(void *ctx, const char *url, char **body_out, int *status_out, char **error_out);
  int (*post)(void *ctx, const char *url, const void *request_a, const void *request_b,
              char **body_out, int *status_out, char **error_out);
  void (*free)(void *ctx, void *p);
} tervala_io;

/* MARK: Handler table -------------------------------------------------------------------------- */

/* The four catalogue operations, taking the transport to use as their first argument (NULL, or a
 * record without get: -8) and otherwise behaving as the exports of the same names. */
typedef int (*vepod_validate_fn)(const tervala_io *io, const char *settings_json, char *out,
                                 int32_t out_len);
typedef int (*vepod_list_fn)(const tervala_io *io, const char *settings_json, const char *path,
                             char *out, int32_t out_len);
typedef int (*vepod_entry_fn)(const tervala_io *io, const char *settings_json,
                              const char *entry_json, char *out, int32_t out_len);

/* Constant record returned by verch_get(); its layout is fixed (see the asserts below). */
typedef struct vepod_handler_table {
  const char *runtime_type; /* "PODCASTS" */
  int32_t caps;             /* 35 */
  vepod_validate_fn validate;
  vepod_list_fn list;
  vepod_entry_fn stream_url;
  vepod_entry_fn download; /* always -6: the source is read-only */
} vepod_handler_table;

#if defined(__cplusplus)
static_assert(sizeof(void *) != 8 || sizeof(vepod_handler_table) == 48, "handler table layout");
static_assert(sizeof(void *) != 8 || offsetof(vepod_handler_table, caps) == 8, "caps offset");
static_assert(sizeof(void *) != 8 || offsetof(vepod_handler_table, validate) == 16, "validate");
static_assert(sizeof(void *) != 8 || offsetof(vepod_handler_table, list) == 24, "list offset");
static_assert(sizeof(void *) != 8 || offsetof(vepod_handler_table, stream_url) == 32, "stream_url");
static_assert(sizeof(void *) != 8 || offsetof(vepod_handler_table, download) == 40, "download");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(void *) != 8 || sizeof(vepod_handler_table) == 48, "handler table layout");
_Static_assert(sizeof(void *) != 8 || offsetof(vepod_handler_table, caps) == 8, "caps offset");
_Static_assert(sizeof(void *) != 8 || offsetof(vepod_handler_table, validate) == 16, "validate");
_Static_assert(sizeof(void *) != 8 || offsetof(vepod_handler_table, list) == 24, "list offset");
_Static_assert(sizeof(void *) != 8 || offsetof(vepod_handler_table, stream_url) == 32, "stream");
_Static_assert(sizeof(void *) != 8 || offsetof(vepod_handler_table, download) == 40, "download");
#endif

/* The handler table; the same constant pointer on every call. */
VEPOD_API const vepod_handler_table *verch_get(void);

/* MARK: Identity ------------------------------------------------------------------------------- */

VEPOD_API const char *vepod_version(void);      /* "1.0.0", a constant */
VEPOD_API const char *vepod_runtime_type(void); /* "PODCASTS", a constant */
VEPOD_API int vepod_caps(void);                 /* 35 */

/* MARK: Catalogue operations ------------------------------------------------------------------- */
/* settings_json is a JSON object: "URL" holds one or more http(s) URLs, one per line (feeds or web
 * pages that announce feeds); the optional string "ID" names the source. These run on the
 * transport set with vepod_set_io(), else on the fake transport. */

/* Checks the configuration (settings_json NULL: -8): every configured URL is fetched, and a feed
 * must have episodes or a page must announce feeds. Answers with the settings' string and null
 * members in their order, then "RuntimeType", the "Title" of the last feed with episodes (when it
 * has one) and, unless the settings name a non-empty string "ID", a new random "ID". */
VEPOD_API int vepod_validate(const char *settings_json, char *out, int32_t out_len);

/* Lists a folder as a JSON array. path NULL or "" is the root: one folder per feed, those that
 * configured pages announce included, with "name", "path" (the feed URL), "id" and "image" when
 * known. A feed's "path" lists its episodes, newest first, each with "name", "path", "id",
 * "locator" (the media URL), "mtime_ms", "duration_s" and "size" (-1 when unknown). An unknown
 * path gives -2. */
VEPOD_API int vepod_list(const char *settings_json, const char *path, char *out, int32_t out_len);

/* Answers {"url":...,"headers":{}} for an entry of a listing (entry_json, a JSON object; else -8).
 * The first of "stream_url", "locator" and "url" that holds a string decides: an http(s) URL is
 * answered without fetching (settings_json may then be NULL); otherwise the entry's "id" is looked
 * up in the feed named by its "path" (-2 when it is not there; -8 for an entry with neither). */
VEPOD_API int vepod_stream_url(const char *settings_json, const char *entry_json, char *out,
                               int32_t out_len);

/* Always -6: the source is read-only. Every argument may be NULL. */
VEPOD_API int vepod_download(const char *settings_json, const char *entry_json, char *out,
                             int32_t out_len);

/* MARK: Results -------------------------------------------------------------------------------- */

/* The error text of the latest catalogue operation on any thread: "" when it succeeded, or before
 * any. The feed tools and the other functions leave it alone. The pointer is valid until the
 * calling thread calls vepod_last_error() again. */
VEPOD_API const char *vepod_last_error(void);

/* The latest successful answer of a catalogue operation on any thread, also one that did not fit
 * in its `out` ("" before any, or when memory for the copy runs out). The pointer is valid until
 * the calling thread calls vepod_result_json() again. */
VEPOD_API const char *vepod_result_json(void);

/* MARK: Feed tools ----------------------------------------------------------------------------- */

/* Parses an RSS 2.0, RDF or Atom document of `length` bytes (UTF-8, at most 16 MiB; the first 500
 * items are kept) into a JSON text {"title","image","format","items":[...]}. On success *out
 * receives a malloc'ed text that the caller releases with free() and 0 is returned. On failure
 * (also for out NULL, or data NULL or empty) -1, *out stays NULL and err, when not NULL and
 * err_size > 0, receives the message, cut to err_size - 1 bytes; err is emptied first. */
VEPOD_API int vepod_parse_feed(const void *data, size_t length, char **out, char *err,
                               int err_size);

/* Finds the feed links an HTML page announces (<link rel="alternate" type="application/rss+xml"
 * ...>) and resolves them against page_url (may be NULL: then only absolute http(s) links count).
 * *out_json receives a malloc'ed JSON array of {"url","title"} objects, each URL once, released
 * with free(); a NULL or empty page gives "[]". 0 on success; -1 for out_json NULL, a page above
 * 16 MiB or out of memory, with the message in err as for vepod_parse_feed. */
VEPOD_API int vepod_discover_feeds(const void *page, uint64_t page_len, const char *page_url,
                                   char **out_json, char *err, int err_size);

/* Reads an episode duration ("3600", "90s", "5 min", "1.5h", "1:30", "01:02:03") as whole seconds;
 * -1 when the text is NULL or cannot be read. */
VEPOD_API int64_t vepod_parse_duration(const char *text);

/* MARK: Cache and statistics ------------------------------------------------------------------- */

/* Empties the 64-entry response cache. Counters are kept. */
VEPOD_API void vepod_cache_clear(void);

/* Sets how long, in seconds, a cached answer is used without fetching again (default 21600);
 * clamped to 0..2592000; 0 always fetches. Returns 0. */
VEPOD_API int vepod_cache_set_max_age(int32_t seconds);

/* The counters as compact JSON {"http":{"gets","304","errors"},"cache":{"entries","hits",
 * "misses"},"feeds":{"parsed","rejected"},"items":{"kept","guid_fallback"}}: counts since the
 * library was loaded (vepod_cache_clear keeps them), except cache.entries, the slots in use now.
 * The pointer is valid until the calling thread calls vepod_stats_json() again. */
VEPOD_API const char *vepod_stats_json(void);

/* MARK: Transports ----------------------------------------------------------------------------- */

/* Installs the host's transport for every thread (borrowed; keep it alive while set and while
 * operations that started with it run). NULL restores the automatic choice, the fake transport in
 * this build. A record without get makes the operations fail with -8. Returns 0. Applies from the
 * next operation. */
VEPOD_API int vepod_set_io(const tervala_io *io);

/* Selects the built-in network transport: -6, since this build has none; nothing changes. */
VEPOD_API int vepod_use_curl(void);

/* Selects the built-in fake transport, replacing one set with vepod_set_io(). Returns 0. */
VEPOD_API int vepod_use_fake(void);

/* MARK: Fake transport ------------------------------------------------------------------------- */
/* Routes are keyed by the exact URL bytes. A route answers with a status and body, or fails. */

/* Removes every route and zeroes the call counts. */
VEPOD_API void vepod_fake_reset(void);

/* Makes `url` answer `status` with `body` (any status, 304 and errors included); both texts are
 * copied. 0; -8 when url or body is NULL; -5 out of memory. The route's call count is kept. */
VEPOD_API int vepod_fake_set(const char *url, int status, const char *body);

/* Makes fetches of `url` fail with `message` (NULL: "fake: transport failure"). 0; -8 when url is
 * NULL; -5 out of memory. */
VEPOD_API int vepod_fake_fail(const char *url, const char *message);

/* Fetches that reached the route of `url` (0 without one); for NULL, every fake fetch, routed or
 * not. Counted since the last vepod_fake_reset(). */
VEPOD_API int vepod_fake_calls(const char *url);

#ifdef __cplusplus
}
#endif

#endif /* VEPOD_H */
