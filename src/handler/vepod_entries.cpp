// Episode entries as the list operation names them and as callers hand them back. An entry's path
// is its feed folder's path, a '/' and its id percent-encoded, so the id part never holds a '/' and
// the folder is everything before the last one.

#include <cstring>

#include "handler/vepod_catalogue.h"
#include "util/vepod_alloc.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
  return -1;
}

// The id part of an entry path, decoded; a '%' not followed by two hex digits stands for itself.
vepod_string decode_id(std::string_view part) {
  vepod_string id;
  id.reserve(part.size());
  for (size_t i = 0; i < part.size(); i++) {
    int hi = 0, lo = 0;
    if (part[i] == '%' && i + 2 < part.size() && (hi = hex_value(part[i + 1])) >= 0 &&
        (lo = hex_value(part[i + 2])) >= 0) {
      id += char(hi * 16 + lo);
      i += 2;
    } else {
      id += part[i];
    }
  }
  return id;
}

// The first listed episode with this id, as the listing keeps the first of each id.
const vepod_item *find_item(const vepod_feed &feed, std::string_view id) {
  for (int32_t i = 0; i < feed.nitems; i++) {
    const vepod_item &item = feed.items[i];
    if (vepod_item_listed(item) && id == item.id) return &item;
  }
  return nullptr;
}

}  // namespace

void vepod_append_entry_id(vepod_string &path, const char *id) {
  static constexpr char hex[] = "0123456789ABCDEF";
  auto unreserved = [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
  };
  const auto *s = reinterpret_cast<const unsigned char *>(id);
  while (*s) {
    // Ids are mostly unreserved characters: append each run at once.
    const unsigned char *run = s;
    while (*s && unreserved(*s)) s++;
    path.append(reinterpret_cast<const char *>(run), size_t(s - run));
    for (; *s && !unreserved(*s); s++) {
      const char escaped[3] = {'%', hex[*s >> 4], hex[*s & 15]};
      path.append(escaped, 3);
    }
  }
}

vepod_code vepod_find_entry(vepod_source_table &table, const char *path, const char *id,
                            vepod_entry_ref *found) {
  *found = vepod_entry_ref{vepod_no_source, nullptr};
  if (!path || !*path) return VEPOD_ERR_NOT_FOUND;
  std::string_view whole(path);
  size_t slash = whole.rfind('/');
  size_t index = vepod_no_source;
  vepod_string decoded;
  if (slash != std::string_view::npos && slash > 0) {
    vepod_string folder(whole.substr(0, slash));
    index = vepod_find_source(table, folder.c_str());
    if (index != vepod_no_source && !id) {
      decoded = decode_id(whole.substr(slash + 1));
      id = decoded.c_str();
    }
  }
  // Hosts may pass the feed's own URL as the path, with the id beside it.
  if (index == vepod_no_source && id) index = vepod_find_source(table, path);
  if (index == vepod_no_source || !id) return VEPOD_ERR_NOT_FOUND;
  found->source = index;
  if (vepod_fetch_feed(table, index) != VEPOD_OK) {
    // A slot that failed softly (a 2xx other than 200) holds VEPOD_OK, which would read as
    // success.
    const vepod_source &slot = table.sources[index];
    return slot.failed && slot.failure.code != VEPOD_OK ? slot.failure.code : VEPOD_ERR_NOT_FOUND;
  }
  const vepod_item *item = find_item(table.sources[index].feed, id);
  if (!item) return VEPOD_ERR_NOT_FOUND;
  found->item = item;
  return VEPOD_OK;
}
