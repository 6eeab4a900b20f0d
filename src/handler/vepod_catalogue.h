// What the catalogue operations share inside the handler: answer documents and the list operation.
#pragma once

#include <yyjson.h>

#include "handler/vepod_sources.h"
#include "util/vepod_alloc.h"

// Lists the root folder (path NULL or "") or a feed's folder; the answer or failure goes through
// vepod_emit / vepod_fail.
vepod_code vepod_list_folder(const tervala_io *io, const char *settings_json, const char *path,
                             vepod_out out);

// The failures of the configured URLs that failed, [{"url","code","message"}] in their order, for
// validate's answer and the error documents of validate and the root listing; NULL when memory
// runs out.
yyjson_mut_val *vepod_json_failures(yyjson_mut_doc *doc, const vepod_source_table &table);
// How many configured URLs failed.
size_t vepod_failed_roots(const vepod_source_table &table);
// Fails an operation with the last configured URL's failure; the error document adds "failures".
vepod_code vepod_fail_roots(const vepod_source_table &table, vepod_out out);

// Whether a feed folder lists the episode: it needs a media URL and an id (of several with one id,
// the first listed one is shown).
inline bool vepod_item_listed(const vepod_item &item) { return item.url && *item.url && item.id; }

// Appends an episode id to an entry path (the folder's path and a '/'), percent-encoded.
void vepod_append_entry_id(vepod_string &path, const char *id);

struct vepod_entry_ref {
  size_t source;  // the feed's slot, also when it failed to load; vepod_no_source when none
  const vepod_item *item;
};

// Finds the episode a listed entry names, loading its feed: the feed from the entry's path (the
// folder before its last '/', or, for hosts that pass it so, the feed's own URL), the episode by
// id, else by the id part of the path. VEPOD_OK, VEPOD_ERR_NOT_FOUND, or the code of the feed's
// failed load; item is NULL unless VEPOD_OK.
vepod_code vepod_find_entry(vepod_source_table &table, const char *path, const char *id,
                            vepod_entry_ref *found);
