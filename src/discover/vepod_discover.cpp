// Feed discovery: a tolerant byte scanner that finds the feed links an HTML page announces in its
// <link rel="alternate" type="..."> tags. Malformed markup is never an error; it only hides links.

#include "discover/vepod_discover.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "util/vepod_alloc.h"
#include "util/vepod_hash.h"
#include "util/vepod_text.h"
#include "util/vepod_url.h"
#include "util/vepod_utf8.h"

namespace {

// Attribute values of one link tag live in fixed buffers: a longer href is left out, longer other
// values are cut.
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

// MARK: Scanner

// Copies the raw attribute value [v, end), decoding the five named references, into out (cap
// bytes, NUL-terminated). False when the value did not fit and was cut.
bool copy_value(const char *v, const char *end, char *out, size_t cap) {
  size_t stored = 0;
  while (v < end && stored + 1 < cap) {
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
  return v == end;
}

// The blanks of HTML's tag syntax.
constexpr bool is_html_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// The raw values of the attributes a feed link is read from; the first of each name counts, as in
// HTML. A value's begin is NULL when the tag has no such attribute.
struct raw_value {
  const char *begin = nullptr;
  const char *end = nullptr;
};

struct link_attrs {
  raw_value rel, type, href, title;
};

// Walks the tag's attributes as HTML's tokenizer does: a name runs to a blank, '/' or '='; a value
// is quoted (to its closing quote, or the end of the tag when there is none) or unquoted (to a
// blank or the end of the tag, so a '/' before the '>' belongs to it). Text inside a value or
// another attribute's name is never taken for an attribute.
link_attrs read_link_attrs(const char *tag, const char *end) {
  link_attrs found;
  const char *p = tag;
  while (p < end && !is_html_blank(*p) && *p != '/') p++;  // the tag name
  for (;;) {
    while (p < end && (is_html_blank(*p) || *p == '/')) p++;
    if (p == end) return found;
    const char *name = p++;  // a leading '=' belongs to the name
    while (p < end && !is_html_blank(*p) && *p != '/' && *p != '=') p++;
    std::string_view attr(name, size_t(p - name));
    raw_value *wanted = vepod_ci_eq(attr, "rel")     ? &found.rel
                        : vepod_ci_eq(attr, "type")  ? &found.type
                        : vepod_ci_eq(attr, "href")  ? &found.href
                        : vepod_ci_eq(attr, "title") ? &found.title
                                                     : nullptr;
    if (wanted && wanted->begin) wanted = nullptr;  // a repeated attribute is ignored
    const char *after_name = p;
    while (p < end && is_html_blank(*p)) p++;
    raw_value value{after_name, after_name};  // an attribute without a value is empty
    if (p < end && *p == '=') {
      p++;
      while (p < end && is_html_blank(*p)) p++;
      if (p < end && (*p == '"' || *p == '\'')) {
        auto *close = static_cast<const char *>(std::memchr(p + 1, *p, size_t(end - p - 1)));
        value = {p + 1, close ? close : end};
        p = close ? close + 1 : end;
      } else {
        value.begin = p;
        while (p < end && !is_html_blank(*p)) p++;
        value.end = p;
      }
    } else {
      p = after_name;
    }
    if (wanted) *wanted = value;
  }
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
  // The URLs handed over so far.
  vepod_text_set<vepod_string> seen;
  bool stopped = false;        // by the sink, or for lack of memory
  bool out_of_memory = false;  // a link could not be made into a record
  vepod_string url_text;
  vepod_string title_text;
};

// Hands the feed link of one <link ...> tag to the sink, if it announces one not handed over
// before. An href too long for its buffer is left out rather than cut to another URL.
void examine_link(scan_state &st, const char *tag, size_t tag_len) {
  const link_attrs attrs = read_link_attrs(tag, tag + tag_len);
  if (!attrs.rel.begin || !attrs.type.begin || !attrs.href.begin) return;
  // Values are read as NUL-terminated texts; clearing all 2.7 KB for every link tag would be a
  // large share of the work on link-heavy pages.
  char rel[k_rel_size];
  copy_value(attrs.rel.begin, attrs.rel.end, rel, sizeof rel);
  if (!ci_contains(rel, "alternate")) return;
  char type[k_type_size];
  copy_value(attrs.type.begin, attrs.type.end, type, sizeof type);
  if (!is_feed_type(type)) return;
  char href[k_href_size];
  if (!copy_value(attrs.href.begin, attrs.href.end, href, sizeof href) || href[0] == '\0') return;
  char title[k_title_size];
  title[0] = '\0';
  if (attrs.title.begin) copy_value(attrs.title.begin, attrs.title.end, title, sizeof title);

  // Only an http(s) URL is announced; a failed resolution of one that would be is memory running
  // out, which fails the whole scan rather than leave the link out.
  const bool has_scheme = vepod_url_has_scheme(href);
  if (has_scheme ? !vepod_url_is_http(href) : !vepod_url_is_http(st.page_url)) return;
  vepod_heap_text url(vepod_resolve_url(href, st.page_url));
  if (!url) {
    st.out_of_memory = st.stopped = true;
    return;
  }
  if (!vepod_url_is_http(url.get())) return;
  std::string_view url_view(url.get());
  if (st.seen.contains(url_view)) return;

  std::string_view clean_url, clean_title;
  bool recorded = false;
  try {
    st.seen.emplace(url_view);
    recorded = true;
  } catch (const std::bad_alloc &) {
  }
  if (!recorded || !clean_text(url.get(), st.url_text, &clean_url) ||
      !clean_text(title, st.title_text, &clean_title)) {
    st.out_of_memory = st.stopped = true;
    return;
  }
  const vepod_feed_link link = {clean_url.data(), clean_url.size(), clean_title.data(),
                                clean_title.size()};
  if (!st.sink(st.ctx, link)) st.stopped = true;
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
                                vepod_link_sink sink, void *ctx, vepod_failure *failure) {
  *failure = vepod_failure{};
  if (!page || page_len == 0) return VEPOD_OK;
  if (page_len > vepod_max_document) {
    vepod_failure_set(failure, VEPOD_ERR_BAD_INPUT, "page larger than 16 MiB");
    return failure->code;
  }
  scan_state st{page_url, sink, ctx, {}, false, false, {}, {}};
  const auto *bytes = static_cast<const char *>(page);
  scan(st, bytes, bytes + page_len);
  if (st.out_of_memory) {
    vepod_failure_oom(failure);
    return failure->code;
  }
  return VEPOD_OK;
}

vepod_code vepod_discover_json(const void *page, uint64_t page_len, const char *page_url,
                               char **out_json, vepod_failure *failure) {
  *out_json = nullptr;
  yyjson_mut_doc *doc = yyjson_mut_doc_new(vepod_json_alc());
  yyjson_mut_val *links = doc ? yyjson_mut_arr(doc) : nullptr;
  if (!links) {
    yyjson_mut_doc_free(doc);
    vepod_failure_oom(failure);
    return failure->code;
  }
  yyjson_mut_doc_set_root(doc, links);
  json_writer w{doc, links};
  vepod_code code = vepod_discover_links(page, page_len, page_url, write_link, &w, failure);
  char *json = nullptr;
  if (code == VEPOD_OK && !w.out_of_memory) {
    json = yyjson_mut_write_opts(doc, 0, vepod_json_alc(), nullptr, nullptr);
  }
  yyjson_mut_doc_free(doc);
  if (code != VEPOD_OK) return code;
  if (!json) {
    vepod_failure_oom(failure);
    return failure->code;
  }
  *out_json = json;
  return VEPOD_OK;
}
