// The feed model as the JSON answer of vepod_parse_feed.

#include <cstdlib>

#include "util/vepod_util.h"
#include "xml/vepod_xml.h"

namespace {

constexpr const char *k_formats[] = {"", "rss2", "rdf", "atom"};

// The whole feed as one JSON text, or NULL when memory runs out: a text missing members or
// episodes would be taken for the feed's content.
char *write_feed(yyjson_mut_doc *doc, const vepod_feed &feed) {
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_val *items = root ? yyjson_mut_arr(doc) : nullptr;
  auto str = [doc](const char *text) { return vepod_json_str(doc, text); };
  bool ok = items && yyjson_mut_obj_add_val(doc, root, "title", str(feed.title)) &&
            yyjson_mut_obj_add_val(doc, root, "image", str(feed.image)) &&
            yyjson_mut_obj_add_val(doc, root, "format", str(k_formats[feed.format])) &&
            yyjson_mut_obj_add_val(doc, root, "items", items);
  for (int32_t i = 0; ok && i < feed.nitems; i++) {
    const vepod_item &item = feed.items[i];
    yyjson_mut_val *obj = yyjson_mut_obj(doc);
    ok = obj && yyjson_mut_arr_append(items, obj) &&
         yyjson_mut_obj_add_val(doc, obj, "title", str(item.title)) &&
         yyjson_mut_obj_add_val(doc, obj, "id", str(item.id)) &&
         yyjson_mut_obj_add_bool(doc, obj, "id_fallback", item.id_fallback != 0) &&
         yyjson_mut_obj_add_val(doc, obj, "url", str(item.url)) &&
         yyjson_mut_obj_add_sint(doc, obj, "size", item.size) &&
         yyjson_mut_obj_add_sint(doc, obj, "mtime_ms", item.mtime_ms) &&
         yyjson_mut_obj_add_sint(doc, obj, "duration_s", item.duration_s) &&
         yyjson_mut_obj_add_val(doc, obj, "enclosure_type", str(item.enclosure_type));
  }
  if (!ok) return nullptr;
  yyjson_mut_doc_set_root(doc, root);
  return yyjson_mut_write_opts(doc, 0, vepod_json_alc(), nullptr, nullptr);
}

}  // namespace

vepod_feed_status vepod_feed_json(const void *data, size_t len, char **out, char *err,
                                  size_t err_size) {
  *out = nullptr;
  vepod_feed feed;
  vepod_feed_status status = vepod_feed_parse(data, len, &feed, err, err_size);
  if (status != vepod_feed_ok) return status;
  yyjson_mut_doc *doc = yyjson_mut_doc_new(vepod_json_alc());
  char *json = doc ? write_feed(doc, feed) : nullptr;
  yyjson_mut_doc_free(doc);
  vepod_feed_free(&feed);
  if (!json) {
    vepod_put_err(err, err_size, "out of memory");
    return vepod_feed_out_of_memory;
  }
  *out = json;
  return vepod_feed_ok;
}
