// The mapping of RSS 2.0, RDF and Atom elements onto the feed model, fed by the strict reader.
//
// It works on names alone, with their usual prefixes ("itunes:duration", "rdf:RDF"); the reader
// hands over names of known namespaces with those prefixes whatever the document binds them to.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "util/vepod_util.h"
#include "xml/vepod_reader.h"
#include "xml/vepod_xml.h"

namespace {

using std::string_view;

// The element names the mapping acts on, recognised once per start tag.
enum elem_kind : uint8_t {
  e_other,
  e_item,
  e_entry,
  e_title,
  e_guid,
  e_id,
  e_link,
  e_url,
  e_image,
  e_itunes_image,
  e_enclosure,
  e_duration,  // itunes:duration, duration
  e_date,      // pubdate, published, issued, updated and the Dublin Core dates
};

// Looked up by first letter: this runs for every start tag of a document.
elem_kind classify(string_view name) {
  struct known {
    string_view name;
    elem_kind kind;
  };
  static constexpr known k_d[] = {{"duration", e_duration},
                                  {"dc:date", e_date},
                                  {"dcterms:issued", e_date},
                                  {"dcterms:created", e_date},
                                  {"dcterms:modified", e_date}};
  static constexpr known k_e[] = {{"entry", e_entry}, {"enclosure", e_enclosure}};
  static constexpr known k_i[] = {{"item", e_item},
                                  {"id", e_id},
                                  {"image", e_image},
                                  {"itunes:image", e_itunes_image},
                                  {"itunes:duration", e_duration},
                                  {"issued", e_date}};
  static constexpr known k_p[] = {{"pubdate", e_date}, {"published", e_date}};
  static constexpr known k_t[] = {{"title", e_title}};
  static constexpr known k_g[] = {{"guid", e_guid}};
  static constexpr known k_l[] = {{"link", e_link}};
  static constexpr known k_u[] = {{"url", e_url}, {"updated", e_date}};
  std::span<const known> candidates;
  switch (vepod_ascii_lower(static_cast<unsigned char>(name[0]))) {
    case 'd':
      candidates = k_d;
      break;
    case 'e':
      candidates = k_e;
      break;
    case 'g':
      candidates = k_g;
      break;
    case 'i':
      candidates = k_i;
      break;
    case 'l':
      candidates = k_l;
      break;
    case 'p':
      candidates = k_p;
      break;
    case 't':
      candidates = k_t;
      break;
    case 'u':
      candidates = k_u;
      break;
    default:
      return e_other;
  }
  for (const known &k : candidates) {
    if (k.name.size() == name.size() && vepod_ci_eq(name, k.name)) return k.kind;
  }
  return e_other;
}

// The vocabularies whose names the mapping reads, by their usual prefixes.
constexpr vepod_xml_namespace k_namespaces[] = {
    {"http://www.w3.org/2005/Atom", ""},
    {"http://purl.org/rss/1.0/", ""},
    {"http://www.itunes.com/dtds/podcast-1.0.dtd", "itunes"},
    {"http://purl.org/dc/elements/1.1/", "dc"},
    {"http://purl.org/dc/terms/", "dcterms"},
    {"http://www.w3.org/1999/02/22-rdf-syntax-ns#", "rdf"},
    {"http://purl.org/rss/1.0/modules/content/", "content"},
    {"http://search.yahoo.com/mrss/", "media"},
};

// An enclosure length as the C library's strtoll reads it, when it is 1 to 2^62 - 1; else -1.
int64_t enclosure_length(string_view text) {
  constexpr int64_t most = (int64_t(1) << 62) - 1;
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) i++;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
    int digit = text[i] - '0';
    if (value > (most - digit) / 10) return -1;
    value = value * 10 + digit;
  }
  return negative || value < 1 ? -1 : value;
}

// Whether episode a is kept over b when only one of them can be: a dated one over an undated one,
// the newer of two dated ones, and among equals the earlier in the document.
bool kept_over(const vepod_item &a, const vepod_item &b) {
  bool a_dated = a.mtime_ms != -1, b_dated = b.mtime_ms != -1;
  if (a_dated != b_dated) return a_dated;
  if (a_dated && a.mtime_ms != b.mtime_ms) return a.mtime_ms > b.mtime_ms;
  return a.index < b.index;
}

class feed_mapper final : public vepod_xml_consumer {
 public:
  explicit feed_mapper(vepod_feed *feed) : feed_(feed) {
    namespaces = k_namespaces;
    namespace_count = std::size(k_namespaces);
  }

  vepod_xml_status start(const vepod_xml_tag &tag, vepod_xml_want *want) override;
  vepod_xml_status end(int depth, const char *text, size_t len) override;
  // Names the items without an identifier after their media URL, so that they keep one identity
  // across fetches.
  vepod_xml_status finish();

 private:
  vepod_xml_status refuse(const char *why) {
    message = why;
    return vepod_xml_invalid;
  }
  vepod_xml_status out_of_memory() {
    message = "out of memory";
    return vepod_xml_out_of_memory;
  }
  vepod_xml_status root(const vepod_xml_tag &tag);
  vepod_xml_status take_enclosure(const vepod_xml_tag &tag, bool atom_link);
  vepod_xml_status take_feed_image(const vepod_xml_tag &tag);
  // Every text of the model enters through these two: made well-formed UTF-8 here, once, so that
  // answers write it as it is and an id handed back compares equal to the one listed.
  static char *model_text(string_view text) { return vepod_strndup_utf8(text); }
  // A URL as feeds write it, without the blanks around it.
  static char *model_url(string_view text) { return vepod_strndup_utf8(vepod_trim_blanks(text)); }
  // Stores a copy of text in an empty field.
  vepod_xml_status take_text(char **field, const char *text, size_t len) {
    if (*field) return vepod_xml_ok;
    *field = model_text({text, len});
    return *field ? vepod_xml_ok : out_of_memory();
  }
  vepod_xml_status take_url(char **field, const char *text, size_t len) {
    if (*field) return vepod_xml_ok;
    *field = model_url({text, len});
    return *field ? vepod_xml_ok : out_of_memory();
  }
  bool atom() const { return format_ == vepod_format_atom; }
  void item_done();

  vepod_feed *feed_;
  vepod_item *item_ = nullptr;
  int32_t format_ = vepod_format_none;
  int32_t items_seen_ = 0;
  // Once vepod_max_items are kept: their slots, ordered so that the one to give up is on top.
  int32_t heap_[vepod_max_items];
  bool heap_built_ = false;
  elem_kind kinds_[vepod_xml_max_depth] = {};
};

vepod_xml_status feed_mapper::root(const vepod_xml_tag &tag) {
  if (vepod_ci_eq(tag.name, "feed")) {
    format_ = vepod_format_atom;
  } else if (vepod_ci_eq(tag.name, "rss")) {
    format_ = vepod_format_rss2;
  } else if (vepod_ci_eq(tag.name, "rdf:RDF")) {
    format_ = vepod_format_rdf;
  } else {
    return refuse("root element is not <rss>, <rdf:RDF> or <feed>");
  }
  if (tag.self_closing) return refuse("self-closing root");
  return vepod_xml_ok;
}

// An episode's media file comes whole from its first enclosure with a URL: an RSS enclosure or an
// Atom link whose rel is "enclosure". Pairing one enclosure's URL with another's length or type
// would describe a file that does not exist.
vepod_xml_status feed_mapper::take_enclosure(const vepod_xml_tag &tag, bool atom_link) {
  string_view url_name = atom_link ? "href" : "url";
  const vepod_xml_attr *url = nullptr, *type = nullptr;
  bool enclosure = !atom_link;
  int64_t size = -1;
  for (int i = 0; i < tag.nattrs; i++) {
    const vepod_xml_attr &a = tag.attrs[i];
    if (vepod_ci_eq(a.name, url_name)) {
      // An Atom link's last href counts, an enclosure's first non-empty url.
      if (atom_link || !url || vepod_trim_blanks(url->value).empty()) url = &a;
    } else if (vepod_ci_eq(a.name, "type")) {
      if (!type || type->value.empty()) type = &a;
    } else if (vepod_ci_eq(a.name, "length") && !a.value.empty()) {
      int64_t length = enclosure_length(a.value);
      if (length > 0) size = length;
    } else if (atom_link && vepod_ci_eq(a.name, "rel")) {
      enclosure = enclosure || vepod_ci_eq(a.value, "enclosure");
    }
  }
  if (!enclosure || !url || vepod_trim_blanks(url->value).empty()) return vepod_xml_ok;
  if (!(item_->url = model_url(url->value))) return out_of_memory();
  if (type && !type->value.empty() && !(item_->enclosure_type = model_text(type->value))) {
    return out_of_memory();
  }
  item_->size = size;
  return vepod_xml_ok;
}

// Each non-empty href of a feed-level itunes:image replaces the cover.
vepod_xml_status feed_mapper::take_feed_image(const vepod_xml_tag &tag) {
  for (int i = 0; i < tag.nattrs; i++) {
    if (!vepod_ci_eq(tag.attrs[i].name, "href") || vepod_trim_blanks(tag.attrs[i].value).empty()) {
      continue;
    }
    std::free(feed_->image);
    if (!(feed_->image = model_url(tag.attrs[i].value))) return out_of_memory();
  }
  return vepod_xml_ok;
}

vepod_xml_status feed_mapper::start(const vepod_xml_tag &tag, vepod_xml_want *want) {
  if (tag.depth == 0) return root(tag);
  elem_kind kind = classify(tag.name);
  kinds_[tag.depth] = kind;
  switch (kind) {
    case e_title:
    case e_guid:
    case e_duration:
    case e_date:
    case e_url:
      *want = vepod_xml_want_text;
      break;
    case e_id:
      if (atom()) *want = vepod_xml_want_text;
      break;
    case e_item:
    case e_entry:
      *want = vepod_xml_want_end;  // either name ends the current item, whatever the format
      break;
    default:
      break;
  }
  if (!item_) {
    if (kind == (atom() ? e_entry : e_item)) {
      // Read into the slot after the kept ones; item_done decides whether it stays.
      vepod_item &item = feed_->items[feed_->nitems];
      item = vepod_item{};
      item.size = item.mtime_ms = item.duration_s = -1;
      item.index = items_seen_++;
      // A self-closing one has no end: it stays current until an episode's end tag.
      item_ = &item;
      return vepod_xml_ok;
    }
    return kind == e_itunes_image ? take_feed_image(tag) : vepod_xml_ok;
  }
  if (item_->url) return vepod_xml_ok;
  if (kind == e_enclosure) return take_enclosure(tag, false);
  if (kind == e_link && atom()) return take_enclosure(tag, true);
  return vepod_xml_ok;
}

vepod_xml_status feed_mapper::end(int depth, const char *text, size_t len) {
  elem_kind kind = kinds_[depth];
  if (item_ && (kind == e_item || kind == e_entry)) {
    item_done();
    return vepod_xml_ok;
  }
  if (!text) return vepod_xml_ok;
  if (!item_) {
    if (kind == e_title) return take_text(&feed_->title, text, len);
    // An image's link is the site's address, never the picture.
    if (kind == e_url && depth > 1 && kinds_[depth - 1] == e_image) {
      return take_url(&feed_->image, text, len);
    }
    return vepod_xml_ok;
  }
  switch (kind) {
    case e_title:
      return take_text(&item_->title, text, len);
    case e_guid:
    case e_id:
      return take_text(&item_->id, text, len);
    case e_duration: {
      int64_t seconds = vepod_duration_seconds(text);
      if (seconds >= 0) item_->duration_s = seconds;
      return vepod_xml_ok;
    }
    case e_date:
      if (item_->mtime_ms == -1) item_->mtime_ms = vepod_parse_date(text);
      return vepod_xml_ok;
    default:
      return vepod_xml_ok;
  }
}

// Keeps the episode just read while fewer than vepod_max_items are kept; after that it replaces
// the oldest kept one when it is newer, so that a feed written oldest first still shows its latest
// episodes. The heap holds the kept slots with the one to give up first on top.
void feed_mapper::item_done() {
  item_ = nullptr;
  if (feed_->nitems < vepod_max_items) {
    feed_->nitems++;
    return;
  }
  vepod_item *items = feed_->items;
  auto worse = [items](int32_t a, int32_t b) { return kept_over(items[a], items[b]); };
  if (!heap_built_) {
    for (int32_t i = 0; i < vepod_max_items; i++) heap_[i] = i;
    std::make_heap(heap_, heap_ + vepod_max_items, worse);
    heap_built_ = true;
  }
  vepod_item &read = items[vepod_max_items];
  int32_t oldest = heap_[0];
  if (kept_over(read, items[oldest])) {
    std::pop_heap(heap_, heap_ + vepod_max_items, worse);
    vepod_item_clear(&items[oldest]);
    items[oldest] = read;
    std::push_heap(heap_, heap_ + vepod_max_items, worse);
  } else {
    vepod_item_clear(&read);
  }
  read = vepod_item{};
}

vepod_xml_status feed_mapper::finish() {
  feed_->format = format_;
  if (item_) item_done();
  if (heap_built_) {
    std::sort(feed_->items, feed_->items + feed_->nitems,
              [](const vepod_item &a, const vepod_item &b) { return a.index < b.index; });
  }
  for (int32_t i = 0; i < feed_->nitems; i++) feed_->items[i].index = i;
  for (int32_t i = 0; i < feed_->nitems; i++) {
    vepod_item &item = feed_->items[i];
    if ((item.id && item.id[0]) || !item.url || !item.url[0]) continue;
    uint64_t h = vepod_fnv1a(item.url, std::strlen(item.url), vepod_fnv1a_basis);
    char id[24];
    std::snprintf(id, sizeof id, "enc:%016llx", static_cast<unsigned long long>(h));
    std::free(item.id);
    if (!(item.id = vepod_strdup(id))) return out_of_memory();
    item.id_fallback = 1;
  }
  return vepod_xml_ok;
}

}  // namespace

vepod_feed_status vepod_feed_parse(const void *data, size_t len, vepod_feed *feed, char *err,
                                   size_t err_size) {
  if (err && err_size) err[0] = '\0';
  if (!feed) return vepod_feed_invalid;
  *feed = vepod_feed{};
  const char *message = nullptr;
  vepod_xml_status status = vepod_xml_invalid;
  if (!data || len == 0) {
    message = "empty feed body";
  } else if (len > vepod_max_document) {
    message = "feed larger than 16 MB";
  } else if (!(feed->items = static_cast<vepod_item *>(
                   vepod_calloc(vepod_max_items + 1, sizeof(vepod_item))))) {
    message = "out of memory";
    status = vepod_xml_out_of_memory;
  } else {
    feed_mapper mapper(feed);
    status = vepod_xml_read(static_cast<const unsigned char *>(data), len, mapper, err, err_size);
    if (status == vepod_xml_ok) {
      status = mapper.finish();
      message = mapper.message;
    }
  }
  if (status == vepod_xml_ok) return vepod_feed_ok;
  // The episode being read when the parse stopped is not counted yet.
  if (feed->items) vepod_item_clear(&feed->items[feed->nitems]);
  vepod_feed_free(feed);
  if (message) vepod_put_err(err, err_size, "%s", message);
  return status == vepod_xml_out_of_memory ? vepod_feed_out_of_memory : vepod_feed_invalid;
}

bool vepod_feed_resolve_urls(vepod_feed *feed, const char *base) {
  if (!vepod_url_is_http(base)) return true;
  auto resolve = [base](char *&url) {
    if (!url || !*url || vepod_url_has_scheme(url)) return true;
    char *absolute = vepod_resolve_url(url, base);
    if (!absolute) return false;
    std::free(url);
    url = absolute;
    return true;
  };
  if (!resolve(feed->image)) return false;
  for (int32_t i = 0; i < feed->nitems; i++) {
    if (!resolve(feed->items[i].url)) return false;
  }
  return true;
}

void vepod_item_clear(vepod_item *item) {
  std::free(item->title);
  std::free(item->id);
  std::free(item->url);
  std::free(item->enclosure_type);
  *item = vepod_item{};
}

void vepod_feed_free(vepod_feed *feed) {
  if (!feed) return;
  std::free(feed->title);
  std::free(feed->image);
  for (int32_t i = 0; i < feed->nitems; i++) vepod_item_clear(&feed->items[i]);
  std::free(feed->items);
  *feed = vepod_feed{};
}
