// The feed model as the JSON answer of vepod_parse_feed.

#include <cstdlib>
#include <cstring>

#include "util/vepod_util.h"
#include "xml/vepod_xml.h"

namespace {

constexpr const char *k_formats[] = {"", "rss2", "rdf", "atom"};
constexpr const char *k_episode_types[] = {nullptr, "full", "trailer", "bonus"};
constexpr const char *k_show_types[] = {nullptr, "episodic", "serial"};

// Adds members to one object, each only when it has a value; the texts of the model are
// well-formed UTF-8 and outlive the document, so they are borrowed rather than copied. Once an
// addition fails the others do nothing and ok stays false.
class members {
 public:
  members(yyjson_mut_doc *doc, yyjson_mut_val *obj) : doc_(doc), obj_(obj), ok_(obj != nullptr) {}

  members &text(const char *key, const char *value) {
    if (ok_ && value) ok_ = yyjson_mut_obj_add_strn(doc_, obj_, key, value, std::strlen(value));
    return *this;
  }
  members &integer(const char *key, int64_t value) {
    if (ok_ && value >= 0) ok_ = yyjson_mut_obj_add_sint(doc_, obj_, key, value);
    return *this;
  }
  // A whole number is written as one ("12"), any other as a decimal ("315.5").
  members &number(const char *key, double value) {
    if (!ok_ || value < 0) return *this;
    if (value == double(int64_t(value))) {
      ok_ = yyjson_mut_obj_add_sint(doc_, obj_, key, int64_t(value));
    } else {
      ok_ = yyjson_mut_obj_add_real(doc_, obj_, key, value);
    }
    return *this;
  }
  members &flag(const char *key, int8_t value) {
    if (ok_ && value >= 0) ok_ = yyjson_mut_obj_add_bool(doc_, obj_, key, value != 0);
    return *this;
  }
  // An array of count objects, each filled by fill(members &, const T &); absent when empty.
  template <typename T, typename Fill>
  members &list(const char *key, const T *entries, int32_t count, Fill fill) {
    if (!ok_ || count == 0) return *this;
    yyjson_mut_val *array = yyjson_mut_arr(doc_);
    ok_ = array && yyjson_mut_obj_add_val(doc_, obj_, key, array);
    for (int32_t i = 0; ok_ && i < count; i++) {
      yyjson_mut_val *entry = yyjson_mut_obj(doc_);
      ok_ = entry && yyjson_mut_arr_append(array, entry);
      if (ok_) {
        members m(doc_, entry);
        fill(m, entries[i]);
        ok_ = m.ok();
      }
    }
    return *this;
  }
  bool ok() const { return ok_; }

 private:
  yyjson_mut_doc *doc_;
  yyjson_mut_val *obj_;
  bool ok_;
};

void person_members(members &m, const vepod_person &p) {
  m.text("name", p.name).text("role", p.role).text("group", p.group).text("img", p.img);
  m.text("href", p.href);
}

// The whole feed as one JSON text, or NULL when memory runs out: a text missing members or
// episodes would be taken for the feed's content.
char *write_feed(yyjson_mut_doc *doc, const vepod_feed &feed) {
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_val *items = root ? yyjson_mut_arr(doc) : nullptr;
  auto str = [doc](const char *text) { return vepod_json_str(doc, text); };
  bool ok = items && yyjson_mut_obj_add_val(doc, root, "title", str(feed.title)) &&
            yyjson_mut_obj_add_val(doc, root, "image", str(feed.image)) &&
            yyjson_mut_obj_add_val(doc, root, "format", str(k_formats[feed.format])) &&
            vepod_json_feed_details(doc, root, feed) &&
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
         yyjson_mut_obj_add_val(doc, obj, "enclosure_type", str(item.enclosure_type)) &&
         vepod_json_item_light(doc, obj, item) && vepod_json_item_heavy(doc, obj, item);
  }
  if (!ok) return nullptr;
  yyjson_mut_doc_set_root(doc, root);
  return yyjson_mut_write_opts(doc, 0, vepod_json_alc(), nullptr, nullptr);
}

}  // namespace

bool vepod_json_item_light(yyjson_mut_doc *doc, yyjson_mut_val *obj, const vepod_item &item) {
  members m(doc, obj);
  m.text("image", item.image).text("link", item.link).text("author", item.author);
  m.integer("season", item.season).number("episode", item.episode);
  m.text("episode_type", k_episode_types[item.episode_type]).flag("explicit", item.is_explicit);
  m.text("chapters_url", item.chapters_url).text("chapters_type", item.chapters_type);
  return m.ok();
}

bool vepod_json_item_heavy(yyjson_mut_doc *doc, yyjson_mut_val *obj, const vepod_item &item) {
  if (!item.heavy) return true;
  const vepod_item_heavy &h = *item.heavy;
  members m(doc, obj);
  m.text("description", h.description);
  m.list("transcripts", h.transcripts, h.ntranscripts, [](members &t, const vepod_transcript &v) {
    t.text("url", v.url).text("type", v.type).text("language", v.language);
    t.text("rel", v.rel);
  });
  m.list("persons", h.persons, h.npersons, person_members);
  m.list("alternates", h.alternates, h.nalternates, [](members &a, const vepod_alternate &v) {
    a.text("type", v.type).integer("length", v.length).number("bitrate", v.bitrate);
    a.integer("height", v.height).text("lang", v.lang).text("title", v.title);
    a.text("rel", v.rel).text("codecs", v.codecs).flag("default", v.is_default);
    a.list("sources", v.sources, v.nsources, [](members &s, const vepod_alternate_source &x) {
      s.text("uri", x.uri).text("content_type", x.content_type);
    });
  });
  m.list("chapters", h.chapters, h.nchapters, [](members &c, const vepod_chapter &v) {
    c.integer("start_ms", v.start_ms).text("title", v.title).text("href", v.href);
    c.text("image", v.image);
  });
  return m.ok();
}

bool vepod_json_feed_details(yyjson_mut_doc *doc, yyjson_mut_val *obj, const vepod_feed &feed) {
  members m(doc, obj);
  m.text("description", feed.description).text("author", feed.author).text("link", feed.link);
  m.text("language", feed.language).flag("explicit", feed.is_explicit);
  m.text("show_type", k_show_types[feed.show_type]).flag("complete", feed.complete ? 1 : -1);
  m.text("new_feed_url", feed.new_feed_url).text("feed_guid", feed.feed_guid);
  m.list("funding", feed.funding, feed.nfunding,
         [](members &f, const vepod_funding &v) { f.text("url", v.url).text("text", v.text); });
  m.list("persons", feed.persons, feed.npersons, person_members);
  return m.ok();
}

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
