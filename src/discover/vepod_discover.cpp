// Feed discovery: a tolerant byte scanner that finds the feed links an HTML page announces in its
// <link rel="alternate" type="..."> tags. Malformed markup is never an error; it only hides links.

#include "discover/vepod_discover.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "util/vepod_util.h"

namespace {

// Attribute values of one link tag live in fixed buffers; longer values are cut.
constexpr size_t k_rel_size = 64;
constexpr size_t k_type_size = 64;
constexpr size_t k_href_size = 2048;
constexpr size_t k_title_size = 512;

constexpr const char *k_feed_types[] = {"application/rss+xml", "application/atom+xml",
                                        "application/feed+json", "application/rdf+xml",
                                        "text/rss+xml"};

// First case-insensitive occurrence of the lower-case pattern in [s + from, s + n), or n.
size_t ci_find(const char *s, size_t n, size_t from, const char *pattern, size_t m) {
  if (m == 0) return from <= n ? from : n;
  if (m > n) return n;
  for (size_t i = from; i + m <= n; i++) {
    if (vepod_ascii_lower(static_cast<unsigned char>(s[i])) ==
            static_cast<unsigned char>(pattern[0]) &&
        vepod_ci_starts({s + i + 1, m - 1}, {pattern + 1, m - 1})) {
      return i;
    }
  }
  return n;
}

// Whether the lower-case pattern occurs in text, ignoring ASCII case. An empty text holds nothing,
// not even the empty pattern.
bool ci_contains(const char *text, const char *pattern) {
  size_t n = std::strlen(text);
  if (n == 0) return false;
  return ci_find(text, n, 0, pattern, std::strlen(pattern)) < n;
}

// text as a link record carries it: each ill-formed UTF-8 sequence as U+FFFD (so that a page in a
// legacy encoding still gives valid text) and the bytes 0x01 to 0x1F left out. A text that needs
// neither is handed over as it is; others are rebuilt in room. Either way *clean ends in a NUL.
// False when memory runs out.
bool clean_text(const char *text, vepod_string &room, std::string_view *clean) {
  size_t n = std::strlen(text);
  auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20; };
  if (std::none_of(text, text + n, control) && vepod_utf8_valid(text, n)) {
    *clean = {text, n};
    return true;
  }
  try {
    room.clear();
    vepod_utf8_repair_append(room, text, n);
  } catch (const std::bad_alloc &) {
    return false;
  }
  std::erase_if(room, control);
  *clean = room;
  return true;
}

// MARK: Emitted URLs

// MARK: Scanner

// Copies an attribute value starting at v (the tag text ends at end) up to the first byte that
// `ends` it, decoding the five named references, storing at most cap - 1 bytes.
template <typename value_end>
void copy_value(const char *v, const char *end, value_end ends, char *out, size_t cap) {
  size_t stored = 0;
  while (v < end && !ends(*v) && stored + 1 < cap) {
    if (*v == '&') {
      const vepod_entity *hit = nullptr;
      for (const vepod_entity &e : vepod_xml_entities) {
        size_t len = e.name.size();
        if (size_t(end - v) >= len + 2 && vepod_ci_starts({v + 1, len}, e.name) &&
            v[len + 1] == ';') {
          hit = &e;
          break;
        }
      }
      if (hit) {
        out[stored++] = hit->value;
        v += hit->name.size() + 2;
        continue;
      }
    }
    out[stored++] = *v++;
  }
  out[stored] = '\0';
}

// Finds a quoted value of `name` (lower-case, m bytes) anywhere in the tag text, also inside
// another attribute's name or value, and copies it into out. False when there is none.
bool quoted_attr(const char *tag, const char *end, const char *name, size_t m, char *out,
                 size_t cap) {
  auto tag_len = size_t(end - tag);
  for (size_t at = ci_find(tag, tag_len, 0, name, m); at < tag_len;
       at = ci_find(tag, tag_len, at + m, name, m)) {
    const char *p = tag + at + m;
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) p++;
    if (p == end || *p != '=') continue;
    p++;
    while (p < end && (*p == ' ' || *p == '\t')) p++;
    if (p == end || (*p != '"' && *p != '\'')) continue;
    auto closes = [quote = *p](char c) { return c == quote; };
    copy_value(p + 1, end, closes, out, cap);
    return true;
  }
  return false;
}

// The blanks of HTML's tag syntax.
constexpr bool is_html_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// Walks the tag's attributes as HTML does and copies the unquoted value of the first attribute
// named `name` (lower-case, m bytes): it runs to a blank or the end of the tag, so a '/' before the
// '>' belongs to it. Nothing is copied when that attribute's value is quoted or absent.
void unquoted_attr(const char *tag, const char *end, const char *name, size_t m, char *out,
                   size_t cap) {
  const char *p = tag;
  while (p < end && !is_html_blank(*p) && *p != '/') p++;  // the tag name
  for (;;) {
    while (p < end && (is_html_blank(*p) || *p == '/')) p++;
    if (p == end) return;
    const char *attr = p++;  // a leading '=' belongs to the name
    while (p < end && !is_html_blank(*p) && *p != '/' && *p != '=') p++;
    bool wanted = size_t(p - attr) == m && vepod_ci_starts({attr, m}, {name, m});
    while (p < end && is_html_blank(*p)) p++;
    if (p == end || *p != '=') {
      if (wanted) return;
      continue;
    }
    p++;
    while (p < end && is_html_blank(*p)) p++;
    if (p < end && (*p == '"' || *p == '\'')) {
      if (wanted) return;
      auto *close = static_cast<const char *>(std::memchr(p + 1, *p, size_t(end - p - 1)));
      p = close ? close + 1 : end;
      continue;
    }
    if (wanted) {
      copy_value(p, end, is_html_blank, out, cap);
      return;
    }
    while (p < end && !is_html_blank(*p)) p++;
  }
}

// Finds the value of the attribute `name` (lower-case) in the tag text and copies it into out;
// out is left untouched when there is none. A quoted value is looked for first, as it always was;
// only a tag without one is read for an unquoted value, as minified pages write them.
void tag_attr(const char *tag, size_t tag_len, const char *name, char *out, size_t cap) {
  size_t m = std::strlen(name);
  const char *end = tag + tag_len;
  if (!quoted_attr(tag, end, name, m, out, cap)) unquoted_attr(tag, end, name, m, out, cap);
}

bool is_feed_type(const char *type) {
  for (const char *feed_type : k_feed_types) {
    if (ci_contains(type, feed_type)) return true;
  }
  return false;
}

struct scan_state {
  const char *page_url;
  vepod_link_sink sink;
  void *ctx;
  // The URLs handed over so far. When one cannot be recorded for lack of memory, its duplicates
  // are no longer recognised; the URLs recorded before still are.
  vepod_text_set<vepod_string> seen;
  bool stopped = false;        // by the sink, or for lack of memory
  bool out_of_memory = false;  // a link could not be made into a record
  vepod_string url_text;
  vepod_string title_text;
};

// Hands the feed link of one <link ...> tag to the sink, if it announces one not handed over
// before.
void examine_link(scan_state &st, const char *tag, size_t tag_len) {
  // Values are read as NUL-terminated texts, so emptying each buffer is enough; clearing all
  // 2.7 KB for every link tag would be a large share of the work on link-heavy pages.
  char rel[k_rel_size];
  rel[0] = '\0';
  tag_attr(tag, tag_len, "rel", rel, sizeof rel);
  if (!ci_contains(rel, "alternate")) return;
  char type[k_type_size];
  type[0] = '\0';
  tag_attr(tag, tag_len, "type", type, sizeof type);
  if (!is_feed_type(type)) return;
  char href[k_href_size];
  href[0] = '\0';
  tag_attr(tag, tag_len, "href", href, sizeof href);
  if (href[0] == '\0') return;
  char title[k_title_size];
  title[0] = '\0';
  tag_attr(tag, tag_len, "title", title, sizeof title);

  vepod_heap_text url(vepod_resolve_url(href, st.page_url));
  if (!url || !vepod_url_is_http(url.get())) return;
  std::string_view url_view(url.get());
  if (st.seen.contains(url_view)) return;

  std::string_view clean_url, clean_title;
  if (!clean_text(url.get(), st.url_text, &clean_url) ||
      !clean_text(title, st.title_text, &clean_title)) {
    st.out_of_memory = st.stopped = true;
    return;
  }
  const vepod_feed_link link = {clean_url.data(), clean_url.size(), clean_title.data(),
                                clean_title.size()};
  if (!st.sink(st.ctx, link)) st.stopped = true;
  try {
    st.seen.emplace(url_view);
  } catch (const std::bad_alloc &) {
  }
}

// One pass over the page: each '<' is found once, and each '>' search starts after the '<' it
// belongs to and is never repeated, so the cost stays linear in the page size.
void scan(scan_state &st, const char *p, const char *end) {
  while (p < end && !st.stopped) {
    auto *lt = static_cast<const char *>(std::memchr(p, '<', size_t(end - p)));
    if (!lt || lt + 1 == end) return;
    char c = lt[1];
    // Comments, closing tags and processing instructions are stepped into, not over, so a link
    // inside a comment or a script is still found.
    if (c == '!' || c == '/' || c == '?') {
      p = lt + 1;
      continue;
    }
    auto *gt = static_cast<const char *>(std::memchr(lt + 1, '>', size_t(end - lt - 1)));
    if (!gt) return;
    const char *tag = lt + 1;
    auto tag_len = size_t(gt - tag);
    // Most tags are passed over on their first letter.
    if (tag_len > 4 && (tag[0] | 0x20) == 'l' && vepod_ci_starts({tag, 4}, "link")) {
      examine_link(st, tag, tag_len);
    }
    p = gt + 1;
  }
}

struct json_writer {
  yyjson_mut_doc *doc;
  yyjson_mut_val *links;
  bool out_of_memory = false;
};

bool write_link(void *ctx, const vepod_feed_link &link) {
  auto &w = *static_cast<json_writer *>(ctx);
  yyjson_mut_val *obj = yyjson_mut_obj(w.doc);
  bool ok = obj && yyjson_mut_obj_add_strncpy(w.doc, obj, "url", link.url, link.url_len) &&
            yyjson_mut_obj_add_strncpy(w.doc, obj, "title", link.title, link.title_len) &&
            yyjson_mut_arr_append(w.links, obj);
  w.out_of_memory = !ok;
  return ok;
}

}  // namespace

vepod_code vepod_discover_links(const void *page, uint64_t page_len, const char *page_url,
                                vepod_link_sink sink, void *ctx, char *err, size_t err_size) {
  if (err && err_size) err[0] = '\0';
  if (!page || page_len == 0) return VEPOD_OK;
  if (page_len > vepod_max_document) {
    vepod_put_err(err, err_size, "page larger than 16 MiB");
    return VEPOD_ERR_BAD_INPUT;
  }
  scan_state st{page_url, sink, ctx, {}, false, false, {}, {}};
  const auto *bytes = static_cast<const char *>(page);
  scan(st, bytes, bytes + page_len);
  if (st.out_of_memory) {
    vepod_put_err(err, err_size, "out of memory");
    return VEPOD_ERR_NO_DATA;
  }
  return VEPOD_OK;
}

vepod_code vepod_discover_json(const void *page, uint64_t page_len, const char *page_url,
                               char **out_json, char *err, size_t err_size) {
  *out_json = nullptr;
  yyjson_mut_doc *doc = yyjson_mut_doc_new(vepod_json_alc());
  yyjson_mut_val *links = doc ? yyjson_mut_arr(doc) : nullptr;
  if (!links) {
    yyjson_mut_doc_free(doc);
    vepod_put_err(err, err_size, "out of memory");
    return VEPOD_ERR_NO_DATA;
  }
  yyjson_mut_doc_set_root(doc, links);
  json_writer w{doc, links};
  vepod_code code = vepod_discover_links(page, page_len, page_url, write_link, &w, err, err_size);
  char *json = nullptr;
  if (code == VEPOD_OK && !w.out_of_memory) {
    json = yyjson_mut_write_opts(doc, 0, vepod_json_alc(), nullptr, nullptr);
  }
  yyjson_mut_doc_free(doc);
  if (code != VEPOD_OK) return code;
  if (!json) {
    vepod_put_err(err, err_size, "out of memory");
    return VEPOD_ERR_NO_DATA;
  }
  *out_json = json;
  return VEPOD_OK;
}
