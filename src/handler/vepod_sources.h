// The source table of one operation call, shared by the catalogue operations: the configured URLs
// and the feeds their pages announce, each fetched and read at most once per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "handler/vepod_handler.h"
#include "xml/vepod_xml.h"

// Sources per operation call: configured URLs plus the feeds their pages announce.
inline constexpr size_t vepod_max_sources = 256;
// What vepod_find_source answers for a URL that is not in the table.
inline constexpr size_t vepod_no_source = SIZE_MAX;

struct vepod_source {
  char *url;
  char *title;     // the link title of a feed found on a page, or NULL
  bool is_page;    // a page whose feeds follow it in the table
  bool announced;  // found on a page rather than configured
  bool failed;
  // Why it failed: the fetch's, the reader's or discovery's words; code VEPOD_OK for a soft failure
  // (a 2xx other than 200).
  vepod_failure failure;
  vepod_feed feed;  // format 0 while not loaded
};

struct vepod_source_table {
  const tervala_io *io;
  // Feeds keep only the light members of their episodes, which is all that listings show, except
  // the feed an entry's details are asked of: the one whose URL and a '/' begin this path (NULL
  // when there is none).
  const char *detail_path;
  vepod_source sources[vepod_max_sources];
  size_t count;
  vepod_failure failure;  // of the last configured URL that failed hard
  // Some load ran out of memory: what the table holds is not what the source says, so an operation
  // over it fails as a whole.
  bool out_of_memory;
};

struct vepod_table_deleter {
  void operator()(vepod_source_table *table) const;
};
using vepod_table_ptr = std::unique_ptr<vepod_source_table, vepod_table_deleter>;

struct vepod_settings_owner {
  vepod_settings value{};
  vepod_settings_owner() = default;
  vepod_settings_owner(const vepod_settings_owner &) = delete;
  vepod_settings_owner &operator=(const vepod_settings_owner &) = delete;
  ~vepod_settings_owner() { vepod_free_settings(&value); }
};

// What an operation works on: its settings and the table of their sources.
struct vepod_loaded_source {
  vepod_settings_owner settings;
  vepod_table_ptr table;
};

// Reads the settings and loads every configured URL: VEPOD_OK, or the failure (also running out of
// memory in any load), already written through vepod_fail.
vepod_code vepod_load_configuration(vepod_loaded_source &loaded, const tervala_io *io,
                                    const char *settings_json, vepod_out out,
                                    const char *detail_path = nullptr);

// The same for an operation on one feed folder or entry, named by path (a feed's URL, or an entry
// path: the feed's URL, a '/' and the id): only the feed it names is loaded when that feed is
// configured, or announced by a configured page whose answer and its own are both stored;
// otherwise every configured URL, as vepod_load_configuration does. Either way the table holds
// every slot the named feed's lookups can find.
vepod_code vepod_load_named_feed(vepod_loaded_source &loaded, const tervala_io *io,
                                 const char *settings_json, vepod_out out, const char *path,
                                 const char *detail_path = nullptr);

// Makes sure the feed of sources[index] is loaded; a pending, failed or page slot loads again.
// VEPOD_OK when a feed (or a page with feeds) was read or the fetch failed softly; otherwise the
// code of the failure, also recorded in the slot ("out of memory" when memory ran out).
vepod_code vepod_fetch_feed(vepod_source_table &table, size_t index);

// The index of the source with exactly this URL, or vepod_no_source.
size_t vepod_find_source(const vepod_source_table &table, const char *url);
