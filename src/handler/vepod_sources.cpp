// The source table: each configured URL is fetched once and read as a feed, or as a web page whose
// announced feeds join the table as pending slots, loaded when an operation needs them.

#include "handler/vepod_sources.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "discover/vepod_discover.h"
#include "fetch/vepod_fetch.h"
#include "util/vepod_alloc.h"
#include "util/vepod_encoding.h"
#include "util/vepod_platform.h"
#include "util/vepod_text.h"

namespace {

void release_slot(vepod_source &slot) {
  std::free(slot.url);
  std::free(slot.title);
  vepod_feed_free(&slot.feed);
  slot = vepod_source{};
}

// The table is some 180 KB (each slot keeps room for its failure), too much for the stack of a
// host's worker thread.
vepod_table_ptr new_table(const tervala_io *io, const char *detail_path) {
  // Only the header is set: a slot is written whole when the table takes it (below `count`), and
  // zeroing all 256 slots would cost every call a few microseconds.
  auto *table = static_cast<vepod_source_table *>(vepod_malloc(sizeof(vepod_source_table)));
  if (table) {
    table->io = io;
    table->detail_path = detail_path;
    table->count = 0;
    table->failure = vepod_failure{};
    table->out_of_memory = false;
  }
  return vepod_table_ptr(table);
}

// How much of a feed's episodes the table keeps: everything for the feed whose entry is asked of.
vepod_detail detail_for(const vepod_source_table &table, const char *url) {
  const char *path = table.detail_path;
  if (!path) return vepod_detail::light;
  size_t n = std::strlen(url);
  bool entry_of_url = std::strncmp(path, url, n) == 0 && path[n] == '/';
  return entry_of_url ? vepod_detail::all : vepod_detail::light;
}

// Keeps why the slot failed, as it was recorded where it happened; returns its code.
vepod_code mark_failed(vepod_source &slot, const vepod_failure &failure) {
  slot.failed = true;
  slot.failure = failure;
  return failure.code;
}

// A load that ran out of memory: the slot failed, and the table no longer answers for the source.
vepod_code out_of_memory(vepod_source_table &table, vepod_source &slot) {
  slot.failed = true;
  vepod_failure_oom(&slot.failure);
  table.out_of_memory = true;
  return VEPOD_ERR_NO_DATA;
}

struct discovery {
  vepod_source_table &table;
  size_t links = 0;  // announced by the page, also those the table holds already
  bool out_of_memory = false;
};

// Adds a pending slot for a feed link of the page being loaded, unless the table holds its URL
// already (one feed, one folder, at its first place). Ends the scan once the table is full, or
// when the link cannot be copied.
bool add_discovered(void *ctx, const vepod_feed_link &link) {
  auto &found = *static_cast<discovery *>(ctx);
  vepod_source_table &table = found.table;
  found.links++;
  if (vepod_find_source(table, link.url) != vepod_no_source) return true;
  if (table.count >= vepod_max_sources) return false;
  vepod_source &slot = table.sources[table.count];
  slot = vepod_source{};
  slot.url = vepod_strdup(link.url);
  if (!slot.url || (link.title_len != 0 && !(slot.title = vepod_strdup(link.title)))) {
    release_slot(slot);
    found.out_of_memory = true;
    return false;
  }
  slot.announced = true;
  table.count++;
  return true;
}

// Reads a fetched body that is not a feed as a web page: its announced feeds become pending slots.
// parsed is why it was no feed.
vepod_code load_page(vepod_source_table &table, size_t index, const char *body, size_t body_len,
                     const vepod_failure &parsed) {
  vepod_source &slot = table.sources[index];
  vepod_failure failure;
  discovery found{table};
  vepod_code code =
      vepod_discover_links(body, body_len, slot.url, add_discovered, &found, &failure);
  // A configured URL that is neither a feed nor a page with feeds was a rejected feed (an announced
  // one was counted as soon as it proved no feed). Running out of memory says nothing about the
  // document; a page too large to read is no feed either.
  const bool count_rejected = !slot.announced;
  vepod_stats &stats = *vepod_stats_get();
  if (found.out_of_memory || failure.out_of_memory) return out_of_memory(table, slot);
  if (code != VEPOD_OK) {
    if (count_rejected) stats.feeds_rejected++;
    // A page too large to read is no feed either: the source has no usable data there.
    failure.code = VEPOD_ERR_NO_DATA;
    return mark_failed(slot, failure);
  }
  if (found.links == 0) {
    if (count_rejected) stats.feeds_rejected++;
    // An empty body is no page at all: "no feeds found" would send the reader looking at one. A
    // document that names its encoding is an XML one: why it is no feed (the decoder's refusal
    // of its bytes among others) says more than that it announces none.
    const auto *bytes = reinterpret_cast<const unsigned char *>(body);
    if (body_len != 0 && vepod_decode_names_encoding(bytes, body_len)) {
      return mark_failed(slot, parsed);
    }
    vepod_failure_set(&failure, VEPOD_ERR_NO_DATA, "%s",
                      body_len == 0 ? "empty document" : "no feed links found on the page");
    return mark_failed(slot, failure);
  }
  slot.is_page = true;
  return VEPOD_OK;
}

// Loads url into sources[index]: a feed, or a page whose feed links become pending slots.
// VEPOD_OK when loaded, a page with feeds, or a soft failure (a 2xx other than 200); otherwise the
// code of the hard failure, also recorded in the slot.
vepod_code load_source(vepod_source_table &table, const char *url, size_t index, bool announced) {
  vepod_source &slot = table.sources[index];
  slot = vepod_source{};
  slot.announced = announced;
  slot.url = vepod_strdup(url);
  // A slot without its URL cannot be listed or fetched again.
  if (!slot.url) return out_of_memory(table, slot);

  const char *body = nullptr;
  size_t body_len = 0;
  int status = 0;
  vepod_failure failure;
  vepod_code code = vepod_get(table.io, url, &body, &body_len, &status, &failure);
  if (failure.out_of_memory) return out_of_memory(table, slot);
  if (code != VEPOD_OK) return mark_failed(slot, failure);
  struct body_release {
    void operator()(const char *b) const { vepod_body_release(b); }
  };
  std::unique_ptr<const char, body_release> body_owner(body);
  if (status != 200) {
    vepod_failure_set(&failure, VEPOD_OK, "HTTP %ld", long(status));
    return mark_failed(slot, failure);
  }
  bool feed_root = false;
  vepod_code parsed =
      vepod_feed_parse(body, body_len, &slot.feed, &failure, detail_for(table, url), &feed_root);
  if (parsed == VEPOD_OK) {
    vepod_stats_get()->feeds_parsed++;
    // The feed's own URL is known here: relative media, image and link URLs become playable.
    if (!vepod_feed_resolve_urls(&slot.feed, slot.url)) {
      vepod_feed_free(&slot.feed);
      return out_of_memory(table, slot);
    }
    return VEPOD_OK;
  }
  // Running out of memory says nothing about what the page is; reading it as HTML would turn the
  // failure into a misleading "no feed links found on the page".
  if (failure.out_of_memory) return out_of_memory(table, slot);
  // A page announced this URL as a feed: whatever else the body holds, it is not one.
  if (announced) vepod_stats_get()->feeds_rejected++;
  // A feed's root element makes it a broken feed, not a web page: the reader says what is wrong.
  if (feed_root) {
    if (!announced) vepod_stats_get()->feeds_rejected++;
    return mark_failed(slot, failure);
  }
  // Not a feed: take it for a web page and look for the feeds it announces.
  return load_page(table, index, body, body_len, failure);
}

// Loads the configured URLs in their order; one that the table holds already (configured twice, or
// announced by a page before it) keeps its first place.
void load_roots(vepod_source_table &table, char *const *urls, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (vepod_find_source(table, urls[i]) != vepod_no_source) continue;
    if (table.count >= vepod_max_sources) return;
    size_t index = table.count++;
    vepod_code code = load_source(table, urls[i], index, false);
    if (code != VEPOD_OK) table.failure = table.sources[index].failure;
  }
}

struct announcement {
  const char *url;
  bool found = false;
  vepod_string title;
};

bool match_link(void *ctx, const vepod_feed_link &link) {
  auto &wanted = *static_cast<announcement *>(ctx);
  if (std::strcmp(link.url, wanted.url) != 0) return true;
  wanted.title.assign(link.title, link.title_len);
  wanted.found = true;
  return false;
}

// Whether a configured page whose answer is stored announces url, a feed whose answer is stored
// too; *title receives the link's title. Nothing is fetched: a source that is not stored is
// loaded whole instead.
bool announced_and_stored(const vepod_settings &settings, const char *url, vepod_string *title) {
  const char *body = nullptr;
  size_t body_len = 0;
  int status = 0;
  if (!vepod_get_stored(url, &body, &body_len, &status)) return false;
  vepod_body_release(body);
  for (size_t i = 0; i < settings.url_count; i++) {
    const char *page_url = settings.urls[i];
    if (!vepod_get_stored(page_url, &body, &body_len, &status)) continue;
    std::unique_ptr<const char, decltype(&vepod_body_release)> owner(body, vepod_body_release);
    if (status != 200) continue;
    announcement wanted{url, false, {}};
    vepod_failure failure;
    if (vepod_discover_links(body, body_len, page_url, match_link, &wanted, &failure) != VEPOD_OK ||
        !wanted.found) {
      continue;
    }
    // A feed's own link elements announce nothing: only a body that is no feed is a page.
    vepod_feed feed;
    vepod_code parsed = vepod_feed_parse(body, body_len, &feed, &failure, vepod_detail::light);
    vepod_feed_free(&feed);
    // Without the memory to tell, the whole source decides.
    if (failure.out_of_memory) return false;
    if (parsed == VEPOD_OK) continue;
    *title = std::move(wanted.title);
    return true;
  }
  return false;
}

// Adds url as a pending slot, as its page would have announced it.
bool add_pending(vepod_source_table &table, const char *url, const vepod_string &title) {
  if (table.count >= vepod_max_sources) return false;
  vepod_source &slot = table.sources[table.count];
  slot = vepod_source{};
  slot.announced = true;
  slot.url = vepod_strdup(url);
  if (!slot.url || (!title.empty() && !(slot.title = vepod_strdup(title.c_str())))) {
    release_slot(slot);
    return false;
  }
  table.count++;
  return true;
}

// Loads only the feeds among candidates that the settings configure, or else that a configured
// page announced, as the whole source would hold them; false when none is either (or the memory to
// tell ran out).
bool load_named(vepod_source_table &table, const vepod_settings &settings,
                const char *const (&candidates)[2]) {
  for (size_t i = 0; i < settings.url_count; i++) {
    for (const char *url : candidates) {
      if (url && std::strcmp(settings.urls[i], url) == 0) load_roots(table, &settings.urls[i], 1);
    }
  }
  if (table.count > 0) return true;
  for (const char *url : candidates) {
    vepod_string title;
    if (url && vepod_find_source(table, url) == vepod_no_source &&
        announced_and_stored(settings, url, &title) && !add_pending(table, url, title)) {
      return false;
    }
  }
  return table.count > 0;
}

}  // namespace

void vepod_table_deleter::operator()(vepod_source_table *table) const {
  for (size_t i = 0; i < table->count; i++) release_slot(table->sources[i]);
  std::free(table);
}

vepod_code vepod_fetch_feed(vepod_source_table &table, size_t index) {
  vepod_source &slot = table.sources[index];
  if (slot.feed.format != 0) return VEPOD_OK;
  vepod_heap_text url(vepod_strdup(slot.url ? slot.url : ""));
  if (!url) return out_of_memory(table, slot);
  bool is_page = slot.is_page;
  bool announced = slot.announced;
  release_slot(slot);
  vepod_code code = load_source(table, url.get(), index, announced);
  slot.is_page = is_page;
  return code;
}

size_t vepod_find_source(const vepod_source_table &table, const char *url) {
  for (size_t i = 0; i < table.count; i++) {
    if (table.sources[i].url && std::strcmp(table.sources[i].url, url) == 0) return i;
  }
  return vepod_no_source;
}

namespace {

// Reads the settings and makes an empty table: VEPOD_OK, or the failure written through vepod_fail.
vepod_code begin_load(vepod_loaded_source &loaded, const tervala_io *io, const char *settings_json,
                      vepod_out out, const char *detail_path) {
  vepod_failure failure;
  if (vepod_read_settings(settings_json, &loaded.settings.value, &failure) != VEPOD_OK) {
    return vepod_fail_with(failure, out);
  }
  if (!io || !io->get) return vepod_fail(VEPOD_ERR_BAD_INPUT, out, "%s", vepod_no_transport);
  loaded.table = new_table(io, detail_path);
  if (!loaded.table) return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
  return VEPOD_OK;
}

}  // namespace

vepod_code vepod_load_configuration(vepod_loaded_source &loaded, const tervala_io *io,
                                    const char *settings_json, vepod_out out,
                                    const char *detail_path) {
  if (vepod_code code = begin_load(loaded, io, settings_json, out, detail_path)) return code;
  load_roots(*loaded.table, loaded.settings.value.urls, loaded.settings.value.url_count);
  if (loaded.table->out_of_memory) return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
  return VEPOD_OK;
}

vepod_code vepod_load_named_feed(vepod_loaded_source &loaded, const tervala_io *io,
                                 const char *settings_json, vepod_out out, const char *path,
                                 const char *detail_path) {
  if (vepod_code code = begin_load(loaded, io, settings_json, out, detail_path)) return code;
  vepod_source_table &table = *loaded.table;
  const vepod_settings &settings = loaded.settings.value;
  if (path && *path) {
    std::string_view whole(path);
    size_t slash = whole.rfind('/');
    vepod_string folder;
    if (slash != std::string_view::npos && slash > 0) folder.assign(whole.substr(0, slash));
    // The feed an entry path names is its folder (before the last '/'), or, as some hosts pass the
    // feed's own URL, the whole path.
    const char *const candidates[2] = {folder.empty() ? nullptr : folder.c_str(), path};
    if (load_named(table, settings, candidates) && !table.out_of_memory) return VEPOD_OK;
  }
  if (!table.out_of_memory) {
    // Names no feed: the whole source decides, as a listing of it would.
    load_roots(table, settings.urls, settings.url_count);
  }
  if (table.out_of_memory) return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
  return VEPOD_OK;
}
