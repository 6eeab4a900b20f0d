// The feed model and the strict feed reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include <yyjson.h>

#include "util/vepod_failure.h"

// Episodes kept per feed: of a document with more, the newest by date (undated ones count as the
// oldest, among equals the earlier in the document), in document order.
inline constexpr int vepod_max_items = 500;

// Bounds on the lists a feed may give, so that a hostile feed cannot make an answer explode; what
// lies beyond a bound is skipped.
inline constexpr int vepod_max_transcripts = 8;
inline constexpr int vepod_max_alternates = 8;
inline constexpr int vepod_max_sources_per_alternate = 8;
inline constexpr int vepod_max_funding = 8;
inline constexpr int vepod_max_persons = 64;
inline constexpr int vepod_max_chapters = 500;

// Every text below is NULL when the feed does not give it, and every number -1; URLs are kept as
// written, trimmed of the blanks around them. Each list is NULL with a count of 0 when empty.

struct vepod_transcript {
  char *url;
  char *type;
  char *language;
  char *rel;
};

struct vepod_person {
  char *name;
  char *role;   // lower case
  char *group;  // lower case
  char *img;
  char *href;
};

struct vepod_funding {
  char *url;
  char *text;
};

struct vepod_chapter {
  int64_t start_ms = 0;
  char *title;
  char *href;
  char *image;
};

// Room the texts of a record's episodes are cut from (see vepod_item::in_blocks).
struct vepod_model_block;

struct vepod_alternate_source {
  char *uri;
  char *content_type;
};

struct vepod_alternate {
  char *type;
  int64_t length = -1;
  double bitrate = -1;
  int64_t height = -1;
  char *lang;
  char *title;
  char *rel;
  char *codecs;
  int8_t is_default = -1;  // "default": 0 false, 1 true
  vepod_alternate_source *sources;
  int32_t nsources;
};

// "episode_type" and "show_type" values; 0 when the feed gives none of the known ones.
enum vepod_episode_type : int8_t {
  vepod_episode_none = 0,
  vepod_episode_full = 1,
  vepod_episode_trailer = 2,
  vepod_episode_bonus = 3,
};
enum vepod_show_type : int8_t {
  vepod_show_none = 0,
  vepod_show_episodic = 1,
  vepod_show_serial = 2,
};

// What only an episode's own details show, kept apart so that a listing's episodes stay small.
struct vepod_item_heavy {
  char *description;  // show notes, HTML as the feed wrote it
  // Set only by a parse for vepod_detail::all_borrowed, when the show notes are one run of the
  // document: description then points into the document (description_len bytes, no NUL after
  // them) and is not the record's, and its references are still to be decoded when `references`.
  bool description_borrowed;
  bool description_references;
  uint32_t description_len;
  uint32_t description_decoded_len;
  vepod_transcript *transcripts;
  int32_t ntranscripts;
  vepod_person *persons;
  int32_t npersons;
  vepod_alternate *alternates;
  int32_t nalternates;
  vepod_chapter *chapters;
  int32_t nchapters;
};

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

  // What a listing shows beside the above (the small numbers first, in the room after index).
  int8_t episode_type = vepod_episode_none;
  int8_t is_explicit = -1;  // "explicit": -1 unknown, 0 clean, 1 explicit
  // Set by a parse for vepod_detail::all_borrowed for its first vepod_max_items episodes: their
  // texts (those of the record itself and the show notes it copies) and their heavy record are cut
  // from the feed's blocks and go with them, never one by one; their lists are their own as ever.
  bool in_blocks;
  int32_t season = -1;
  double episode = -1;  // may be fractional
  char *image;
  char *link;  // the episode's web page
  char *author;
  char *chapters_url;
  char *chapters_type;

  // Kept only by a parse for vepod_detail::all, and only when the feed gives any of it.
  vepod_item_heavy *heavy;
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

  char *description;
  char *author;
  char *link;  // the site
  char *language;
  int8_t is_explicit = -1;  // "explicit": -1 unknown, 0 clean, 1 explicit
  int8_t show_type = vepod_show_none;
  bool complete;       // no more episodes will come
  char *new_feed_url;  // an absolute http(s) URL
  char *feed_guid;
  vepod_funding *funding;
  int32_t nfunding;
  vepod_person *persons;
  int32_t npersons;
  vepod_model_block *blocks;  // released with the record
};

// How much of each episode a parse keeps: a listing shows only the light members, so a parse for
// it neither collects nor stores show notes, transcripts, persons, alternates or chapters.
// all_borrowed is all for the JSON export: show notes that are one run of the document are not
// copied but borrowed from it, so the document must outlive the record; and the texts of the
// episodes are cut from a few blocks (vepod_item::in_blocks), which the URLs' resolution does not
// expect: such a record is written out, never resolved.
enum class vepod_detail : uint8_t { light, all, all_borrowed };

// Parses an RSS 2.0, RDF or Atom document of len bytes (at most 16 MiB, need not end in a NUL):
// UTF-8, or what vepod_decode_document decodes when the bytes are not UTF-8. The record is cleared
// on entry without releasing what it held. VEPOD_OK on success (release with vepod_feed_free); on
// failure VEPOD_ERR_NO_DATA with the failure in *failure (its place where the reader stopped;
// out_of_memory set when memory ran out) and the record left cleared. Keeps no state: parses may
// run concurrently. *feed_root (when given) tells whether the root element was a feed's, which
// makes a refused document a broken feed rather than something else.
vepod_code vepod_feed_parse(const void *data, size_t len, vepod_feed *feed, vepod_failure *failure,
                            vepod_detail detail = vepod_detail::all, bool *feed_root = nullptr);

// Releases everything the record owns and clears it; NULL and cleared records are fine.
void vepod_feed_free(vepod_feed *feed);
// Makes every URL of a parsed feed one a player may be handed: relative ones are resolved against
// base, the feed's own http(s) URL, and any that is not then an absolute http(s) URL is dropped
// (NULL: an episode without its media URL is no longer listed; a transcript or an alternate source
// goes with its URL). False when memory ran out (the feed stays whole, some URLs resolved).
bool vepod_feed_resolve_urls(vepod_feed *feed, const char *base);
// Releases what one episode owns and clears it.
void vepod_item_clear(vepod_item *item);

// The members of an episode and of a feed beyond the skeleton, added to obj in the order of the
// answers, each only when the feed gives it. The texts are borrowed: the record must outlive doc.
// False when memory runs out.
bool vepod_json_item_light(yyjson_mut_doc *doc, yyjson_mut_val *obj, const vepod_item &item);
bool vepod_json_item_heavy(yyjson_mut_doc *doc, yyjson_mut_val *obj, const vepod_item &item);
bool vepod_json_feed_details(yyjson_mut_doc *doc, yyjson_mut_val *obj, const vepod_feed &feed);

// Parses a document as vepod_feed_parse does and writes the feed as the JSON text of
// vepod_parse_feed into *out (malloc'ed), or NULL with the status and the message in err.
vepod_code vepod_feed_json(const void *data, size_t len, char **out, vepod_failure *failure);
