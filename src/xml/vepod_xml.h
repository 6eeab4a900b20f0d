// The feed model and the strict feed reader.
#pragma once

#include <cstdint>

// Episodes kept per feed: of a document with more, the newest by date (undated ones count as the
// oldest, among equals the earlier in the document), in document order.
inline constexpr int vepod_max_items = 500;

struct vepod_item {
  char *title;
  char *id;  // guid / Atom id, or the "enc:" fallback made from the media URL
  int32_t id_fallback;
  char *url;  // media URL as written in the feed (trimmed), resolved once the feed's URL is known
  char *enclosure_type;
  int64_t size;        // bytes, -1 unknown
  int64_t mtime_ms;    // ms since the epoch, -1 unknown
  int64_t duration_s;  // seconds, -1 unknown
  int32_t index;       // position in document order
};

enum vepod_feed_format : int32_t {
  vepod_format_none = 0,
  vepod_format_rss2 = 1,
  vepod_format_rdf = 2,
  vepod_format_atom = 3,
};

struct vepod_feed {
  char *title;
  char *image;
  int32_t format;     // vepod_feed_format; 0 until a parse succeeds
  vepod_item *items;  // room for vepod_max_items + 1 after a successful parse
  int32_t nitems;
};

enum vepod_feed_status : int32_t {
  vepod_feed_ok = 0,
  vepod_feed_invalid = -1,  // not a feed this reader accepts
  vepod_feed_out_of_memory = -2,
};

// Parses an RSS 2.0, RDF or Atom document of len bytes (at most 16 MiB, need not end in a NUL):
// UTF-8, or what vepod_decode_document decodes when the bytes are not UTF-8. The record is cleared
// on entry without releasing what it held; err (err_size bytes, 0 for none) is emptied.
// vepod_feed_ok on success (release with vepod_feed_free); on failure the status, the message in
// err (cut to err_size - 1 bytes) and the record left cleared. Keeps no state: parses may run
// concurrently.
vepod_feed_status vepod_feed_parse(const void *data, size_t len, vepod_feed *feed, char *err,
                                   size_t err_size);

// Releases everything the record owns and clears it; NULL and cleared records are fine.
void vepod_feed_free(vepod_feed *feed);
// Resolves the relative URLs of a parsed feed (media, images, links) against base, the feed's own
// http(s) URL; absolute ones stay as written, and nothing changes when base is not http(s). False
// when memory ran out (the feed stays whole, some URLs resolved).
bool vepod_feed_resolve_urls(vepod_feed *feed, const char *base);
// Releases what one episode owns and clears it.
void vepod_item_clear(vepod_item *item);

// Parses a document as vepod_feed_parse does and writes the feed as the JSON text of
// vepod_parse_feed into *out (malloc'ed), or NULL with the status and the message in err.
vepod_feed_status vepod_feed_json(const void *data, size_t len, char **out, char *err,
                                  size_t err_size);
