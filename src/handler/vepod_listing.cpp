// The list operation: the root folder (one folder per feed) and a feed's folder (its episodes,
// newest first), with the display names both show.

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fetch/vepod_fetch.h"
#include "handler/vepod_catalogue.h"
#include "util/vepod_alloc.h"
#include "util/vepod_hash.h"
#include "util/vepod_url.h"
#include "util/vepod_utf8.h"

namespace {

// A JSON string for a text that outlives doc: borrowed, not copied. The feed model's texts are
// well-formed UTF-8 already.
yyjson_mut_val *borrowed_str(yyjson_mut_doc *doc, const char *text) {
  return yyjson_mut_strn(doc, text, std::strlen(text));
}

// The display name of a title. A title that outlives doc and needs no change is borrowed.
bool add_name(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *title,
              bool outlives_doc = true) {
  const char *t = title ? title : "";
  size_t len = 0;
  while (outlives_doc && len <= vepod_name_budget) {
    auto c = static_cast<unsigned char>(t[len]);
    if (c < 0x20 || c == '/' || c == 0x7F) break;
    len++;
  }
  if (outlives_doc && t[len] == '\0' && len <= vepod_name_budget) {
    return yyjson_mut_obj_add_val(doc, obj, "name", yyjson_mut_strn(doc, t, len));
  }
  char name[vepod_name_size];
  size_t n = vepod_seg_name(title, name);
  return yyjson_mut_obj_add_val(doc, obj, "name", yyjson_mut_strncpy(doc, name, n));
}

// Why a configured URL failed: {"code","message"}, the fetch's, the reader's or discovery's; a 2xx
// other than 200, which its folder lists as empty, as another HTTP status (-5 "HTTP N").
yyjson_mut_val *failure_of(yyjson_mut_doc *doc, const vepod_source &slot) {
  yyjson_mut_val *why = yyjson_mut_obj(doc);
  const vepod_code code = slot.failure.code != VEPOD_OK ? slot.failure.code : VEPOD_ERR_NO_DATA;
  bool complete =
      why && yyjson_mut_obj_add_int(doc, why, "code", code) &&
      yyjson_mut_obj_add_val(doc, why, "message", vepod_json_str(doc, slot.failure.message));
  return complete ? why : nullptr;
}

vepod_code list_root(const vepod_source_table &table, bool list_failures, vepod_out out) {
  bool any_usable = false;
  for (size_t i = 0; i < table.count; i++) any_usable |= !table.sources[i].failed;
  if (!any_usable) {
    if (table.failure.code == VEPOD_OK) return vepod_fail(VEPOD_ERR_NO_DATA, out, "no feeds found");
    return vepod_fail_roots(table, out);
  }
  vepod_mut_doc_ptr doc(yyjson_mut_doc_new(vepod_json_alc()));
  if (!doc) return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
  yyjson_mut_val *root = yyjson_mut_arr(doc.get());
  bool complete = root != nullptr;
  if (complete) yyjson_mut_doc_set_root(doc.get(), root);
  for (size_t i = 0; complete && i < table.count; i++) {
    const vepod_source &slot = table.sources[i];
    if (list_failures && slot.failed && !slot.announced) {
      // A configured URL that failed keeps its place, with why.
      yyjson_mut_val *entry = yyjson_mut_obj(doc.get());
      complete =
          entry && add_name(doc.get(), entry, slot.url) &&
          yyjson_mut_obj_add_val(doc.get(), entry, "path", vepod_json_str(doc.get(), slot.url)) &&
          yyjson_mut_obj_add_val(doc.get(), entry, "id", vepod_json_str(doc.get(), slot.url)) &&
          yyjson_mut_obj_add_bool(doc.get(), entry, "folder", true) &&
          yyjson_mut_obj_add_int(doc.get(), entry, "size", -1) &&
          yyjson_mut_obj_add_val(doc.get(), entry, "error", failure_of(doc.get(), slot)) &&
          yyjson_mut_arr_append(root, entry);
      continue;
    }
    if (slot.failed || slot.is_page) continue;
    const char *title = slot.url;
    if (slot.feed.format != 0 && slot.feed.title && *slot.feed.title) title = slot.feed.title;
    if (slot.feed.format == 0 && slot.title && *slot.title) title = slot.title;
    yyjson_mut_val *entry = yyjson_mut_obj(doc.get());
    complete =
        entry && add_name(doc.get(), entry, title) &&
        yyjson_mut_obj_add_val(doc.get(), entry, "path", vepod_json_str(doc.get(), slot.url)) &&
        yyjson_mut_obj_add_val(doc.get(), entry, "id", vepod_json_str(doc.get(), slot.url)) &&
        yyjson_mut_obj_add_bool(doc.get(), entry, "folder", true) &&
        yyjson_mut_obj_add_int(doc.get(), entry, "size", -1) &&
        (!slot.feed.image || yyjson_mut_obj_add_val(doc.get(), entry, "image",
                                                    vepod_json_str(doc.get(), slot.feed.image))) &&
        (slot.feed.format == 0 || vepod_json_feed_details(doc.get(), entry, slot.feed)) &&
        yyjson_mut_arr_append(root, entry);
  }
  return vepod_emit_owned_doc(std::move(doc), complete, out);
}

// Episode order: known dates newest first, then unknown dates, ties in document order.
bool newer_first(const vepod_item *x, const vepod_item *y) {
  bool x_known = x->mtime_ms != -1, y_known = y->mtime_ms != -1;
  if (x_known != y_known) return x_known;
  if (x_known && x->mtime_ms != y->mtime_ms) return x->mtime_ms > y->mtime_ms;
  return x->index < y->index;
}

// The episodes a folder shows: with a media URL and an id, the first of each id, newest first.
vepod_vector<const vepod_item *> kept_items(const vepod_feed &feed) {
  const size_t n = size_t(feed.nitems);
  vepod_vector<const vepod_item *> kept;
  kept.reserve(n);
  vepod_text_set<std::string_view> seen;
  seen.reserve(n);
  for (size_t i = 0; i < n; i++) {
    const vepod_item &item = feed.items[i];
    if (!vepod_item_listed(item)) continue;
    if (seen.insert(item.id).second) kept.push_back(&item);
  }
  std::sort(kept.begin(), kept.end(), newer_first);
  return kept;
}

// A feed folder's path and the '/' its entries' paths continue with.
vepod_string folder_path(const vepod_source &slot) {
  vepod_string path = slot.url;
  path += '/';
  return path;
}

// The JSON values an episode entry takes at most: the object, and a key and a value for each of
// the 11 members below and the 9 of vepod_json_item_light.
constexpr size_t k_entry_values = 1 + 2 * (11 + 9);

// One episode entry, NULL when memory ran out while it was built. path holds the folder's path
// and a '/' on entry; the episode's part is appended and removed again.
yyjson_mut_val *episode_entry(yyjson_mut_doc *doc, vepod_string &path, const vepod_item &item,
                              size_t number) {
  const size_t folder_len = path.size();
  vepod_append_entry_id(path, item.id);
  yyjson_mut_val *path_value = yyjson_mut_strncpy(doc, path.data(), path.size());
  path.resize(folder_len);
  char fallback[64];
  const char *title = item.title;
  if (!title || !*title) {
    if (*item.id && !item.id_fallback) {
      title = item.id;
    } else {
      std::snprintf(fallback, sizeof fallback, "episode %zu", number);
      title = fallback;
    }
  }
  yyjson_mut_val *entry = yyjson_mut_obj(doc);
  bool complete =
      entry && add_name(doc, entry, title, title != fallback) &&
      yyjson_mut_obj_add_val(doc, entry, "path", path_value) &&
      yyjson_mut_obj_add_bool(doc, entry, "folder", false) &&
      yyjson_mut_obj_add_int(doc, entry, "size", item.size) &&
      yyjson_mut_obj_add_int(doc, entry, "mtime_ms", item.mtime_ms) &&
      yyjson_mut_obj_add_val(doc, entry, "id", borrowed_str(doc, item.id)) &&
      yyjson_mut_obj_add_val(doc, entry, "locator", borrowed_str(doc, item.url)) &&
      yyjson_mut_obj_add_int(doc, entry, "duration_s", item.duration_s) &&
      yyjson_mut_obj_add_bool(doc, entry, "guid_fallback", item.id_fallback != 0) &&
      (!item.title || yyjson_mut_obj_add_val(doc, entry, "title", borrowed_str(doc, item.title))) &&
      (!item.enclosure_type || yyjson_mut_obj_add_val(doc, entry, "enclosure_type",
                                                      borrowed_str(doc, item.enclosure_type))) &&
      vepod_json_item_light(doc, entry, item);
  return complete ? entry : nullptr;
}

// The details of the entry a listed path names: a one-element array holding the entry as its
// folder lists it, followed by every heavy member. The entry's feed was read with every detail.
vepod_code list_entry(vepod_source_table &table, const char *path, vepod_out out) {
  vepod_entry_ref ref;
  vepod_code code = vepod_find_entry(table, path, nullptr, &ref);
  if (code != VEPOD_OK) {
    // The feed it names could not be read: that says why.
    if (ref.source != vepod_no_source && table.sources[ref.source].failed) {
      return vepod_fail(code, out, "%s", table.sources[ref.source].failure.message);
    }
    char redacted[vepod_redacted_size];
    vepod_redact_url(path, redacted, sizeof redacted);
    return vepod_fail(VEPOD_ERR_NOT_FOUND, out, "folder not found: %s", redacted);
  }
  const vepod_source &slot = table.sources[ref.source];
  // Its place in the listing, which names an untitled episode.
  vepod_vector<const vepod_item *> kept = kept_items(slot.feed);
  size_t number = size_t(std::find(kept.begin(), kept.end(), ref.item) - kept.begin()) + 1;

  vepod_mut_doc_ptr doc(yyjson_mut_doc_new(vepod_json_alc()));
  yyjson_mut_val *root = doc ? yyjson_mut_arr(doc.get()) : nullptr;
  if (!root) return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
  yyjson_mut_doc_set_root(doc.get(), root);
  vepod_string entry_path = folder_path(slot);
  yyjson_mut_val *entry = episode_entry(doc.get(), entry_path, *ref.item, number);
  bool complete = entry && vepod_json_item_heavy(doc.get(), entry, *ref.item) &&
                  yyjson_mut_arr_append(root, entry);
  return vepod_emit_owned_doc(std::move(doc), complete, out);
}

vepod_code list_feed(vepod_source_table &table, const char *path, vepod_out out) {
  size_t index = vepod_find_source(table, path);
  if (index == vepod_no_source) return list_entry(table, path, out);
  vepod_code code = vepod_fetch_feed(table, index);
  const vepod_source &slot = table.sources[index];
  // A feed that answered a 2xx other than 200 loads softly, with nothing to list.
  if (code != VEPOD_OK) {
    vepod_code reported = slot.failed ? slot.failure.code : code;
    return vepod_fail(reported != VEPOD_OK ? reported : VEPOD_ERR_TRANSPORT, out, "%s",
                      slot.failure.message[0] ? slot.failure.message : "feed fetch failed");
  }
  vepod_vector<const vepod_item *> kept = kept_items(slot.feed);
  uint32_t fallbacks = 0;
  for (const vepod_item *item : kept) fallbacks += item->id_fallback != 0;
  vepod_stats_get()->items_kept += uint32_t(kept.size());
  vepod_stats_get()->items_guid_fallback += fallbacks;

  vepod_mut_doc_ptr doc(yyjson_mut_doc_new(vepod_json_alc()));
  // The values in one block of the size the episodes can take at most: grown block by block they
  // would leave up to half as much again unused.
  if (doc) yyjson_mut_doc_set_val_pool_size(doc.get(), 1 + kept.size() * k_entry_values);
  yyjson_mut_val *root = doc ? yyjson_mut_arr(doc.get()) : nullptr;
  if (!root) return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
  yyjson_mut_doc_set_root(doc.get(), root);
  vepod_string entry_path = folder_path(slot);
  size_t number = 0;
  bool complete = true;
  for (const vepod_item *item : kept) {
    // A listing without one of its episodes would pass for the whole feed.
    yyjson_mut_val *entry = episode_entry(doc.get(), entry_path, *item, ++number);
    complete = entry && yyjson_mut_arr_append(root, entry);
    if (!complete) break;
  }
  return vepod_emit_owned_doc(std::move(doc), complete, out);
}

}  // namespace

size_t vepod_failed_roots(const vepod_source_table &table) {
  size_t n = 0;
  for (size_t i = 0; i < table.count; i++)
    n += table.sources[i].failed && !table.sources[i].announced;
  return n;
}

vepod_code vepod_fail_roots(const vepod_source_table &table, vepod_out out) {
  vepod_mut_doc_ptr doc(yyjson_mut_doc_new(vepod_json_alc()));
  yyjson_mut_val *root = doc ? yyjson_mut_obj(doc.get()) : nullptr;
  yyjson_mut_val *failures = root ? vepod_json_failures(doc.get(), table) : nullptr;
  bool complete = failures && yyjson_mut_obj_add_val(doc.get(), root, "failures", failures);
  return vepod_fail_with(table.failure, out, doc.get(), complete ? root : nullptr);
}

yyjson_mut_val *vepod_json_failures(yyjson_mut_doc *doc, const vepod_source_table &table) {
  yyjson_mut_val *list = yyjson_mut_arr(doc);
  for (size_t i = 0; list && i < table.count; i++) {
    const vepod_source &slot = table.sources[i];
    if (!slot.failed || slot.announced) continue;
    yyjson_mut_val *why = failure_of(doc, slot);
    if (!why ||
        !yyjson_mut_obj_insert(why, yyjson_mut_str(doc, "url"), vepod_json_str(doc, slot.url), 0) ||
        !yyjson_mut_arr_append(list, why)) {
      return nullptr;
    }
  }
  return list;
}

size_t vepod_seg_name(const char *text, char (&name)[vepod_name_size]) {
  size_t n = 0;
  const char *s = text ? text : "";
  size_t left = std::strlen(s);
  while (left > 0 && n < vepod_name_budget) {
    auto c = static_cast<unsigned char>(*s);
    size_t len = 1;
    if (c > 0x20 && c < 0x7F && c != '/') {
      // Most titles are mostly printable ASCII, copied as they are.
      name[n++] = char(c);
    } else if (c == '/') {
      std::memcpy(name + n, "\xE2\x88\x95", 3);
      n += 3;
    } else if (c < 0x20 || c == 0x7F) {
      name[n++] = ' ';
    } else {
      // Texts are well-formed UTF-8; a stray byte would still be stepped over one at a time.
      len = std::max<size_t>(vepod_utf8_char_len(s, left), 1);
      if (len > vepod_name_budget - n) break;
      std::memcpy(name + n, s, len);
      n += len;
    }
    s += len;
    left -= len;
  }
  name[n] = '\0';
  return n;
}

vepod_code vepod_list_folder(const tervala_io *io, const char *settings_json, const char *path,
                             vepod_out out) {
  vepod_loaded_source loaded;
  if (!path || !*path) {
    if (vepod_code code = vepod_load_configuration(loaded, io, settings_json, out)) return code;
    return list_root(*loaded.table, loaded.settings.value.list_failures, out);
  }
  // A path below a feed's URL names an entry, whose feed is read with every detail.
  if (vepod_code code = vepod_load_named_feed(loaded, io, settings_json, out, path, path)) {
    return code;
  }
  return list_feed(*loaded.table, path, out);
}
