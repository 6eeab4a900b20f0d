// The list operation: the root folder (one folder per feed) and a feed's folder (its episodes,
// newest first), with the display names both show.

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fetch/vepod_fetch.h"
#include "handler/vepod_catalogue.h"
#include "util/vepod_util.h"

namespace {

// A JSON string for a text that outlives doc: borrowed when it is valid UTF-8 (the common case
// costs no copy), else a repaired copy.
yyjson_mut_val *borrowed_str(yyjson_mut_doc *doc, const char *text) {
  size_t n = std::strlen(text);
  return vepod_utf8_valid(text, n) ? yyjson_mut_strn(doc, text, n) : vepod_json_str(doc, text);
}

bool add_name(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *title) {
  char name[vepod_name_size];
  size_t n = vepod_seg_name(title, name);
  yyjson_mut_val *value =
      vepod_utf8_valid(name, n) ? yyjson_mut_strncpy(doc, name, n) : vepod_json_str(doc, name);
  return value && yyjson_mut_obj_add_val(doc, obj, "name", value);
}

vepod_code list_root(const vepod_source_table &table, vepod_out out) {
  bool any_usable = false;
  for (size_t i = 0; i < table.count; i++) any_usable |= !table.sources[i].failed;
  if (!any_usable) {
    if (table.error_code != VEPOD_OK) return vepod_fail(table.error_code, out, "%s", table.error);
    return vepod_fail(VEPOD_ERR_NO_DATA, out, "no feeds found");
  }
  vepod_mut_doc_ptr doc(yyjson_mut_doc_new(vepod_json_alc()));
  if (!doc) return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
  yyjson_mut_val *root = yyjson_mut_arr(doc.get());
  bool complete = root != nullptr;
  if (complete) yyjson_mut_doc_set_root(doc.get(), root);
  for (size_t i = 0; complete && i < table.count; i++) {
    const vepod_source &slot = table.sources[i];
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
  return vepod_emit_doc(doc.get(), complete, out);
}

// The ids of the episodes kept so far: open addressing over the feed's own texts. The hash is not
// keyed, so a feed could make its ids collide; with at most 500 episodes that costs no more than
// comparing every pair.
class id_set {
 public:
  explicit id_set(size_t capacity) : slots_(std::bit_ceil(2 * capacity + 1)) {}

  // Adds id; false when it was there already.
  bool insert(const char *id) {
    size_t len = std::strlen(id);
    uint64_t hash = vepod_fnv1a(id, len, vepod_fnv1a_basis);
    size_t mask = slots_.size() - 1;
    for (size_t i = size_t(hash) & mask;; i = (i + 1) & mask) {
      slot &s = slots_[i];
      if (!s.id) {
        s = {id, len, hash};
        return true;
      }
      if (s.hash == hash && s.len == len && std::memcmp(s.id, id, len) == 0) return false;
    }
  }

 private:
  struct slot {
    const char *id;
    size_t len;
    uint64_t hash;
  };
  vepod_vector<slot> slots_;
};

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
  id_set seen(n);
  for (size_t i = 0; i < n; i++) {
    const vepod_item &item = feed.items[i];
    if (!item.url || !*item.url || !item.id) continue;
    if (seen.insert(item.id)) kept.push_back(&item);
  }
  std::sort(kept.begin(), kept.end(), newer_first);
  return kept;
}

void percent_encode(vepod_string &out, const char *text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  for (const auto *s = reinterpret_cast<const unsigned char *>(text); *s; s++) {
    unsigned char c = *s;
    bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out += char(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
}

// One episode entry, NULL when memory ran out while it was built. path holds the folder's path
// and a '/' on entry; the episode's part is appended and removed again.
yyjson_mut_val *episode_entry(yyjson_mut_doc *doc, vepod_string &path, const vepod_item &item,
                              size_t number) {
  const size_t folder_len = path.size();
  percent_encode(path, item.id);
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
      entry && add_name(doc, entry, title) &&
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

vepod_code list_feed(vepod_source_table &table, const char *path, vepod_out out) {
  size_t index = vepod_find_source(table, path);
  if (index == vepod_no_source) {
    char redacted[vepod_redacted_size];
    vepod_redact_url(path, redacted, sizeof redacted);
    return vepod_fail(VEPOD_ERR_NOT_FOUND, out, "folder not found: %s", redacted);
  }
  vepod_code code = vepod_fetch_feed(table, index);
  const vepod_source &slot = table.sources[index];
  if (code != VEPOD_OK) {
    vepod_code reported = slot.failed ? slot.error_code : code;
    return vepod_fail(reported != VEPOD_OK ? reported : VEPOD_ERR_TRANSPORT, out, "%s",
                      slot.error[0] ? slot.error : "feed fetch failed");
  }
  vepod_vector<const vepod_item *> kept = kept_items(slot.feed);
  uint32_t fallbacks = 0;
  for (const vepod_item *item : kept) fallbacks += item->id_fallback != 0;
  vepod_stats_get()->items_kept += uint32_t(kept.size());
  vepod_stats_get()->items_guid_fallback += fallbacks;

  vepod_mut_doc_ptr doc(yyjson_mut_doc_new(vepod_json_alc()));
  if (!doc) return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
  yyjson_mut_val *root = yyjson_mut_arr(doc.get());
  if (!root) return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
  yyjson_mut_doc_set_root(doc.get(), root);
  vepod_string entry_path = slot.url;
  entry_path += '/';
  size_t number = 0;
  for (const vepod_item *item : kept) {
    // An entry that cannot be built is left out; the numbering still counts it.
    yyjson_mut_val *entry = episode_entry(doc.get(), entry_path, *item, ++number);
    if (entry) yyjson_mut_arr_append(root, entry);
  }
  return vepod_emit_doc(doc.get(), true, out);
}

}  // namespace

size_t vepod_seg_name(const char *text, char (&name)[vepod_name_size]) {
  size_t n = 0;
  const char *s = text ? text : "";
  size_t left = std::strlen(s);
  while (left > 0 && n < vepod_name_budget) {
    auto c = static_cast<unsigned char>(*s);
    size_t len = 1;
    if (c == '/') {
      std::memcpy(name + n, "\xE2\x88\x95", 3);
      n += 3;
    } else if (c < 0x20 || c == 0x7F) {
      name[n++] = ' ';
    } else {
      // A byte that starts no well-formed character is copied alone (the answer repairs it).
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
  // A path below a feed's URL names an entry, whose feed is read with every detail.
  const char *detail_path = path && *path ? path : nullptr;
  if (vepod_code code = vepod_load_configuration(loaded, io, settings_json, out, detail_path)) {
    return code;
  }
  if (!path || !*path) return list_root(*loaded.table, out);
  return list_feed(*loaded.table, path, out);
}
