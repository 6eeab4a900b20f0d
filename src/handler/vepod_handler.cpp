// The plug-in boundary: exports, the result convention, transport choice and identity answers.

#include "handler/vepod_handler.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "discover/vepod_discover.h"
#include "fetch/vepod_fetch.h"
#include "io/vepod_io.h"
#include "util/vepod_util.h"
#include "xml/vepod_xml.h"

namespace {

constexpr const char *k_version = "1.0.0";
constexpr const char *k_runtime_type = "PODCASTS";
constexpr int k_caps = 35;
constexpr size_t k_err_size = 512;

// The last error and the last result are process-wide; g_result_lock guards their replacement, and
// the getters hand each thread its own snapshot so that a concurrent operation cannot change or
// release the text a caller is reading.
vepod_lock g_result_lock;
char g_err[k_err_size];
char *g_result;

vepod_lock g_io_lock;
const tervala_io *g_io_override;

// A heap text owned by one thread, released when the thread ends.
struct thread_text {
  char *text = nullptr;
  ~thread_text() { std::free(text); }
};

// Makes an error text valid UTF-8 in place: every byte that does not start a complete,
// well-formed character becomes '?'.
void sanitize_utf8(char *text) {
  size_t n = std::strlen(text);
  for (size_t i = 0; i < n;) {
    size_t len = vepod_utf8_char_len(text + i, n - i);
    if (len == 0) {
      text[i] = '?';
      len = 1;
    }
    i += len;
  }
}

// Formats an error text into `text`, makes it valid UTF-8 and records it as the last error.
void record_err(char (&text)[k_err_size], const char *format, va_list args) {
  std::vsnprintf(text, sizeof text, format, args);
  sanitize_utf8(text);
  vepod_lock_guard hold(g_result_lock);
  std::memcpy(g_err, text, sizeof text);
}

__attribute__((format(printf, 1, 2))) void set_err(const char *format, ...) {
  char text[k_err_size];
  va_list args;
  va_start(args, format);
  record_err(text, format, args);
  va_end(args);
}

// Appends text as the inside of a JSON string literal.
void json_escape_into(std::string &out, const char *text) {
  static constexpr char hex[] = "0123456789abcdef";
  for (const char *s = text; *s; s++) {
    unsigned char c = static_cast<unsigned char>(*s);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += char(c);
        }
    }
  }
}

void install_io(const tervala_io *io) {
  vepod_lock_guard hold(g_io_lock);
  g_io_override = io;
}

const tervala_io *choose_io() {
  {
    vepod_lock_guard hold(g_io_lock);
    if (g_io_override) return g_io_override;
    if (const tervala_io *net = vepod_io_curl()) return net;
  }
  return vepod_io_fake();
}

}  // namespace

namespace vepod {

int fail(int code, char *out, int32_t out_len, const char *format, ...) {
  char text[k_err_size];
  va_list args;
  va_start(args, format);
  record_err(text, format, args);
  va_end(args);
  if (!out || out_len <= 0) return code;
  try {
    std::string doc = "{\"error\":\"";
    json_escape_into(doc, text);
    doc += "\"}";
    if (doc.size() + 1 > size_t(out_len)) {
      out[0] = '\0';
    } else {
      std::memcpy(out, doc.c_str(), doc.size() + 1);
    }
  } catch (const std::bad_alloc &) {
    out[0] = '\0';
  }
  return code;
}

int emit(char *json, char *out, int32_t out_len) {
  size_t need = std::strlen(json) + 1;
  char *previous;
  {
    vepod_lock_guard hold(g_result_lock);
    previous = g_result;
    g_result = json;
    if (out && out_len > 0 && size_t(out_len) >= need) {
      std::memcpy(out, json, need);
      g_err[0] = '\0';
      json = nullptr;
    }
  }
  std::free(previous);
  if (!json) return 0;
  if (out && out_len > 0) out[0] = '\0';
  set_err("output buffer too small: need %lu bytes", static_cast<unsigned long>(uint32_t(need)));
  return -9;
}

}  // namespace vepod

const tervala_io *vepod_io_current() { return choose_io(); }

int op_download(const tervala_io *, const char *, const char *, char *out, int32_t out_len) {
  return vepod::fail(-6, out, out_len, "PODCASTS is read-only (C# DownloadAsync returns null)");
}

// MARK: Settings

namespace {

// Writes a message for vepod_read_settings and returns its code.
__attribute__((format(printf, 4, 5))) int32_t settings_error(int32_t code, char *err,
                                                             int32_t err_size, const char *format,
                                                             ...) {
  if (err && err_size > 0) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(err, size_t(err_size), format, args);
    va_end(args);
  }
  return code;
}

constexpr bool is_line_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Splits the "URL" text into lines, trims them and appends each to the record; stops after
// vepod_max_urls lines without reading further. 0, or a failure code with the message in err.
int32_t read_url_lines(const char *text, size_t len, vepod_settings *s, char *err,
                       int32_t err_size) {
  size_t i = 0;
  while (s->url_count < vepod_max_urls) {
    while (i < len && (is_line_blank(text[i]) || text[i] == '\n')) i++;
    if (i == len) break;
    size_t end = i;
    while (end < len && text[end] != '\r' && text[end] != '\n') end++;
    size_t stop = end;
    while (text[stop - 1] == ' ' || text[stop - 1] == '\t') stop--;
    auto *line = static_cast<char *>(vepod_malloc(stop - i + 1));
    if (!line) return settings_error(-5, err, err_size, "out of memory");
    std::memcpy(line, text + i, stop - i);
    line[stop - i] = '\0';
    // A NUL inside the line would make the stored URL shorter than the line as written.
    bool has_nul = std::memchr(text + i, '\0', stop - i) != nullptr;
    if (has_nul || !vepod_url_is_http(line)) {
      char shown[vepod_redacted_size];
      vepod_redact_url(line, shown, sizeof shown);
      std::free(line);
      return settings_error(-8, err, err_size, "URL line is not an absolute http(s) URL: %s",
                            shown);
    }
    s->urls[s->url_count++] = line;
    if (end == len) break;
    i = end + 1;
  }
  return 0;
}

}  // namespace

int32_t vepod_read_settings(const char *settings_json, vepod_settings *settings, char *err,
                            int32_t err_size) {
  *settings = {};
  if (err && err_size > 0) err[0] = '\0';
  if (!settings_json) return settings_error(-8, err, err_size, "settings_json is NULL");
  settings->doc = yyjson_read_opts(const_cast<char *>(settings_json), std::strlen(settings_json), 0,
                                   vepod_json_alc(), nullptr);
  yyjson_val *root = yyjson_doc_get_root(settings->doc);
  if (!yyjson_is_obj(root)) {
    return settings_error(-8, err, err_size, "settings_json is not a JSON object");
  }
  yyjson_val *url = yyjson_obj_getn(root, "URL", 3);
  if (!url) return settings_error(-8, err, err_size, "settings need a non-empty URL");
  if (!yyjson_is_str(url)) return settings_error(-8, err, err_size, "URL is not a string");
  if (yyjson_get_len(url) == 0) {
    return settings_error(-8, err, err_size, "settings need a non-empty URL");
  }
  int32_t rc = read_url_lines(yyjson_get_str(url), yyjson_get_len(url), settings, err, err_size);
  if (rc != 0) return rc;
  if (settings->url_count == 0) {
    return settings_error(-8, err, err_size, "URL has no usable lines");
  }
  yyjson_val *id = yyjson_obj_getn(root, "ID", 2);
  settings->id = xstrdup_u(yyjson_is_str(id) ? yyjson_get_str(id) : "");
  if (!settings->id) return settings_error(-5, err, err_size, "out of memory");
  return 0;
}

void vepod_free_settings(vepod_settings *settings) {
  if (!settings) return;
  yyjson_doc_free(settings->doc);
  for (int32_t i = 0; i < settings->url_count; i++) std::free(settings->urls[i]);
  std::free(settings->id);
  *settings = {};
}

// MARK: Source table

namespace {

// Sources per operation call: configured URLs plus the feeds their pages announce.
constexpr int k_max_sources = 256;
constexpr size_t k_message_size = 300;
constexpr int32_t k_parse_message_size = 160;
// A name keeps at most this many bytes of its title (a final division slash may add two more).
constexpr size_t k_name_budget = 256;

struct vepod_source {
  char *url;
  char *title;  // the link title of a feed found on a page, or NULL
  int32_t is_page;
  int32_t failed;
  char error[256];
  int32_t error_code;
  vepod_feed feed;  // format 0 while not loaded
};

struct vepod_source_table {
  const tervala_io *io;
  vepod_source sources[k_max_sources];
  int32_t count;
  int32_t error_code;  // of the last configured URL that failed hard
  char error[256];
};

void release_slot(vepod_source &slot) {
  std::free(slot.url);
  std::free(slot.title);
  vepod_feed_free(&slot.feed);
  slot = vepod_source{};
}

struct table_deleter {
  void operator()(vepod_source_table *table) const {
    for (int32_t i = 0; i < table->count; i++) release_slot(table->sources[i]);
    std::free(table);
  }
};
using table_ptr = std::unique_ptr<vepod_source_table, table_deleter>;

// The table is some 90 KB, too much for the stack of a host's worker thread.
table_ptr new_table(const tervala_io *io) {
  auto *table = static_cast<vepod_source_table *>(vepod_calloc(1, sizeof(vepod_source_table)));
  if (table) table->io = io;
  return table_ptr(table);
}

struct settings_owner {
  vepod_settings value{};
  ~settings_owner() { vepod_free_settings(&value); }
};

struct doc_deleter {
  void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
  void operator()(yyjson_mut_doc *doc) const { yyjson_mut_doc_free(doc); }
};
using doc_ptr = std::unique_ptr<yyjson_doc, doc_deleter>;
using mut_doc_ptr = std::unique_ptr<yyjson_mut_doc, doc_deleter>;

void mark_failed(vepod_source &slot, int32_t code, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void mark_failed(vepod_source &slot, int32_t code, const char *format, ...) {
  slot.failed = 1;
  slot.error_code = code;
  va_list args;
  va_start(args, format);
  std::vsnprintf(slot.error, sizeof slot.error, format, args);
  va_end(args);
}

// The string value of the first member named key, or NULL.
const char *first_str(yyjson_val *obj, const char *key) {
  yyjson_val *value = yyjson_obj_get(obj, key);
  return yyjson_is_str(value) ? yyjson_get_str(value) : nullptr;
}

// As above; *whole is false when a NUL inside the value cuts its C text short.
const char *first_str(yyjson_val *obj, const char *key, bool *whole) {
  yyjson_val *value = yyjson_obj_get(obj, key);
  const char *text = yyjson_is_str(value) ? yyjson_get_str(value) : nullptr;
  *whole = !text || !std::memchr(text, '\0', yyjson_get_len(value));
  return text;
}

// Adds a pending slot for every usable feed link of a discovery answer; returns how many.
int add_discovered(vepod_source_table &table, yyjson_val *links) {
  int added = 0;
  size_t index, count;
  yyjson_val *link;
  yyjson_arr_foreach(links, index, count, link) {
    if (table.count >= k_max_sources) break;
    if (!yyjson_is_obj(link)) continue;
    const char *url = first_str(link, "url");
    const char *title = first_str(link, "title");
    if (!url || !*url) continue;
    vepod_source &slot = table.sources[table.count];
    slot = vepod_source{};
    slot.url = xstrdup_u(url);
    if (!slot.url) continue;
    if (title && *title) slot.title = xstrdup_u(title);
    table.count++;
    added++;
  }
  return added;
}

// Loads url into sources[index]: a feed, or a page whose feed links become pending slots.
// Returns 0 when loaded, a page with feeds, or a soft failure (a 2xx other than 200); otherwise
// the code of the hard failure, also recorded in the slot.
int32_t load_source(vepod_source_table &table, const char *url, int32_t index) {
  vepod_source &slot = table.sources[index];
  slot = vepod_source{};
  slot.url = xstrdup_u(url);
  if (!slot.url) {
    // A slot without its URL cannot be listed or fetched again.
    mark_failed(slot, -5, "out of memory");
    return -5;
  }

  char *body = nullptr;
  int status = 0;
  char message[k_message_size];
  int32_t code = vepod_get(table.io, url, &body, &status, message, sizeof message);
  if (code != 0) {
    mark_failed(slot, code, "%.200s", message);
    return code;
  }
  vepod_heap_text body_owner(body);
  if (status != 200) {
    mark_failed(slot, 0, "HTTP %ld", long(status));
    return 0;
  }
  size_t body_len = std::strlen(body);
  char parse_message[k_parse_message_size];
  vepod_feed_status parsed =
      vepod_feed_parse(body, body_len, &slot.feed, parse_message, sizeof parse_message);
  if (parsed == vepod_feed_ok) {
    vepod_stats_get()->feeds_parsed++;
    return 0;
  }
  // Running out of memory says nothing about what the page is; reading it as HTML would turn the
  // failure into a misleading "no feeds found at page".
  if (parsed == vepod_feed_out_of_memory) {
    mark_failed(slot, -5, "out of memory");
    return -5;
  }

  // Not a feed: take it for a web page and look for the feeds it announces.
  char *found = nullptr;
  char discover_message[k_parse_message_size];
  int discovered =
      vepod_discover_feeds(body, body_len, url, &found, discover_message, sizeof discover_message);
  body_owner.reset();
  if (discovered != 0) {
    mark_failed(slot, -5, "%s", discover_message[0] ? discover_message : "discovery failed");
    return -5;
  }
  doc_ptr links(yyjson_read_opts(const_cast<char *>(found), std::strlen(found), 0, vepod_json_alc(),
                                 nullptr));
  std::free(found);
  yyjson_val *root = yyjson_doc_get_root(links.get());
  if (!yyjson_is_arr(root)) {
    mark_failed(slot, -5, "discovery returned no array");
    return -5;
  }
  if (add_discovered(table, root) == 0) {
    mark_failed(slot, -5, "no feeds found at page");
    return -5;
  }
  slot.is_page = 1;
  return 0;
}

void load_roots(vepod_source_table &table, char *const *urls, int32_t n) {
  for (int32_t i = 0; i < n; i++) {
    if (table.count >= k_max_sources) return;
    int32_t index = table.count++;
    int32_t code = load_source(table, urls[i], index);
    if (code != 0) {
      table.error_code = code;
      std::snprintf(table.error, sizeof table.error, "%s", table.sources[index].error);
    }
  }
}

// Makes sure the feed of sources[index] is loaded; a pending, failed or page slot loads again.
int32_t fetch_feed(vepod_source_table &table, int32_t index) {
  vepod_source &slot = table.sources[index];
  if (slot.feed.format != 0) return 0;
  vepod_heap_text url(xstrdup_u(slot.url ? slot.url : ""));
  if (!url) return -5;
  int32_t is_page = slot.is_page;
  release_slot(slot);
  int32_t code = load_source(table, url.get(), index);
  slot.is_page = is_page;
  return code;
}

int32_t find_source(const vepod_source_table &table, const char *url) {
  for (int32_t i = 0; i < table.count; i++) {
    if (table.sources[i].url && std::strcmp(table.sources[i].url, url) == 0) return i;
  }
  return -1;
}

// Reads the settings and loads the configured URLs, or reports why it cannot (a failure code
// already written through fail()).
struct loaded_source {
  settings_owner settings;
  table_ptr table;
};

int32_t load_configuration(loaded_source &loaded, const tervala_io *io, const char *settings_json,
                           char *out, int32_t out_len) {
  char message[k_message_size];
  int32_t code =
      vepod_read_settings(settings_json, &loaded.settings.value, message, sizeof message);
  if (code != 0) return vepod::fail(code, out, out_len, "%s", message);
  if (!io || !io->get) return vepod::fail(-8, out, out_len, "no tervala_io backend");
  loaded.table = new_table(io);
  if (!loaded.table) return vepod::fail(-5, out, out_len, "out of memory");
  load_roots(*loaded.table, loaded.settings.value.urls, loaded.settings.value.url_count);
  return 0;
}

// Writes a finished answer document and hands it over.
int32_t emit_doc(yyjson_mut_doc *doc, bool complete, char *out, int32_t out_len) {
  char *json =
      complete ? yyjson_mut_write_opts(doc, 0, vepod_json_alc(), nullptr, nullptr) : nullptr;
  if (!json) return vepod::fail(-5, out, out_len, "out of memory");
  return vepod::emit(json, out, out_len);
}

// MARK: List

// Byte length of the UTF-8 character a lead byte announces; 1 for bytes that start none.
size_t utf8_lead_len(unsigned char c) {
  if (c >= 0xC2 && c <= 0xDF) return 2;
  if (c >= 0xE0 && c <= 0xEF) return 3;
  if (c >= 0xF0 && c <= 0xF4) return 4;
  return 1;
}

}  // namespace

// A display name: no '/' (shown as U+2215), no control characters, at most 256 bytes of the text
// (a final U+2215 may exceed it by two), never ending inside a character.
char *seg_name(const char *text, size_t *length) {
  auto *name = static_cast<char *>(vepod_malloc(k_name_budget + 3));
  if (!name) return nullptr;
  size_t n = 0;
  const auto *s = reinterpret_cast<const unsigned char *>(text ? text : "");
  while (*s && n < k_name_budget) {
    unsigned char c = *s;
    if (c == '/') {
      std::memcpy(name + n, "\xE2\x88\x95", 3);
      n += 3;
      s++;
    } else if (c < 0x20 || c == 0x7F) {
      name[n++] = ' ';
      s++;
    } else {
      size_t len = utf8_lead_len(c);
      if (len > k_name_budget - n) break;
      // Copy the lead byte and the continuation bytes that follow it, never past the text's end.
      name[n++] = char(*s++);
      for (size_t i = 1; i < len && (*s & 0xC0) == 0x80; i++) name[n++] = char(*s++);
    }
  }
  name[n] = '\0';
  if (length) *length = n;
  return name;
}

namespace {

// Episode order for qsort: known dates newest first, then unknown dates, ties in document order.
int cmp_mtime_desc(const void *a, const void *b) {
  const auto *x = static_cast<const vepod_item *>(a);
  const auto *y = static_cast<const vepod_item *>(b);
  bool x_known = x->mtime_ms != -1, y_known = y->mtime_ms != -1;
  if (x_known != y_known) return x_known ? -1 : 1;
  if (x_known && x->mtime_ms != y->mtime_ms) return x->mtime_ms > y->mtime_ms ? -1 : 1;
  return (x->index > y->index) - (x->index < y->index);
}

bool add_name(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *title) {
  vepod_heap_text name(seg_name(title, nullptr));
  return name && yyjson_mut_obj_add_val(doc, obj, "name", vepod_json_str(doc, name.get()));
}

int32_t list_root(const vepod_source_table &table, char *out, int32_t out_len) {
  bool any_usable = false;
  for (int32_t i = 0; i < table.count; i++) any_usable |= !table.sources[i].failed;
  if (!any_usable) {
    if (table.error_code != 0)
      return vepod::fail(table.error_code, out, out_len, "%s", table.error);
    return vepod::fail(-5, out, out_len, "no feeds found");
  }
  mut_doc_ptr doc(yyjson_mut_doc_new(vepod_json_alc()));
  if (!doc) return vepod::fail(-5, out, out_len, "out of memory");
  yyjson_mut_val *root = yyjson_mut_arr(doc.get());
  bool complete = root != nullptr;
  if (complete) yyjson_mut_doc_set_root(doc.get(), root);
  for (int32_t i = 0; complete && i < table.count; i++) {
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
        yyjson_mut_arr_append(root, entry);
  }
  return emit_doc(doc.get(), complete, out, out_len);
}

// The episodes a folder shows: with a media URL and an id, the first of each id, newest first.
std::vector<vepod_item> kept_items(const vepod_feed &feed) {
  std::vector<vepod_item> kept;
  kept.reserve(size_t(feed.nitems));
  for (int32_t i = 0; i < feed.nitems; i++) {
    const vepod_item &item = feed.items[i];
    if (!item.url || !*item.url || !item.id) continue;
    bool duplicate = false;
    for (const vepod_item &earlier : kept) {
      if (std::strcmp(earlier.id, item.id) == 0) {
        duplicate = true;
        break;
      }
    }
    if (!duplicate) kept.push_back(item);
  }
  if (kept.size() > 1) std::qsort(kept.data(), kept.size(), sizeof(vepod_item), cmp_mtime_desc);
  return kept;
}

void percent_encode(std::string &out, const char *text) {
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

// One episode entry; NULL when memory ran out while it was built.
yyjson_mut_val *episode_entry(yyjson_mut_doc *doc, const char *folder, const vepod_item &item,
                              int number) {
  std::string path = folder;
  path += '/';
  percent_encode(path, item.id);
  char fallback[64];
  const char *title = item.title;
  if (!title || !*title) {
    if (*item.id && !item.id_fallback) {
      title = item.id;
    } else {
      std::snprintf(fallback, sizeof fallback, "episode %d", number);
      title = fallback;
    }
  }
  yyjson_mut_val *entry = yyjson_mut_obj(doc);
  bool complete =
      entry && add_name(doc, entry, title) &&
      yyjson_mut_obj_add_val(doc, entry, "path", vepod_json_str(doc, path.c_str())) &&
      yyjson_mut_obj_add_bool(doc, entry, "folder", false) &&
      yyjson_mut_obj_add_int(doc, entry, "size", item.size) &&
      yyjson_mut_obj_add_int(doc, entry, "mtime_ms", item.mtime_ms) &&
      yyjson_mut_obj_add_val(doc, entry, "id", vepod_json_str(doc, item.id)) &&
      yyjson_mut_obj_add_val(doc, entry, "locator", vepod_json_str(doc, item.url)) &&
      yyjson_mut_obj_add_int(doc, entry, "duration_s", item.duration_s) &&
      yyjson_mut_obj_add_bool(doc, entry, "guid_fallback", item.id_fallback != 0) &&
      (!item.title ||
       yyjson_mut_obj_add_val(doc, entry, "title", vepod_json_str(doc, item.title))) &&
      (!item.enclosure_type || yyjson_mut_obj_add_val(doc, entry, "enclosure_type",
                                                      vepod_json_str(doc, item.enclosure_type)));
  return complete ? entry : nullptr;
}

int32_t list_feed(vepod_source_table &table, const char *path, char *out, int32_t out_len) {
  int32_t index = find_source(table, path);
  if (index < 0) {
    char redacted[vepod_redacted_size];
    vepod_redact_url(path, redacted, sizeof redacted);
    return vepod::fail(-2, out, out_len, "folder not found: %s", redacted);
  }
  int32_t code = fetch_feed(table, index);
  const vepod_source &slot = table.sources[index];
  if (code != 0) {
    int32_t reported = slot.failed ? slot.error_code : code;
    return vepod::fail(reported != 0 ? reported : -4, out, out_len, "%s",
                       slot.error[0] ? slot.error : "feed fetch failed");
  }
  std::vector<vepod_item> kept = kept_items(slot.feed);
  uint32_t fallbacks = 0;
  for (const vepod_item &item : kept) fallbacks += item.id_fallback != 0;
  vepod_stats_get()->items_kept += uint32_t(kept.size());
  vepod_stats_get()->items_guid_fallback += fallbacks;

  mut_doc_ptr doc(yyjson_mut_doc_new(vepod_json_alc()));
  if (!doc) return vepod::fail(-5, out, out_len, "out of memory");
  yyjson_mut_val *root = yyjson_mut_arr(doc.get());
  if (!root) return vepod::fail(-5, out, out_len, "out of memory");
  yyjson_mut_doc_set_root(doc.get(), root);
  int number = 0;
  for (const vepod_item &item : kept) {
    // An entry that cannot be built is left out; the numbering still counts it.
    yyjson_mut_val *entry = episode_entry(doc.get(), slot.url, item, ++number);
    if (entry) yyjson_mut_arr_append(root, entry);
  }
  return emit_doc(doc.get(), true, out, out_len);
}

int32_t list_folder(const tervala_io *io, const char *settings_json, const char *path, char *out,
                    int32_t out_len) {
  loaded_source loaded;
  if (int32_t code = load_configuration(loaded, io, settings_json, out, out_len)) return code;
  if (!path || !*path) return list_root(*loaded.table, out, out_len);
  return list_feed(*loaded.table, path, out, out_len);
}

// MARK: Validate

// A random version-4 identifier in its canonical text form.
void new_source_id(char (&text)[40]) {
  unsigned char bytes[16] = {};
  for (int i = 0; i < 4; i++) {
    uint32_t value = 0;
    vepod_random_u32(&value);  // a failed draw leaves its bytes 0
    for (int b = 0; b < 4; b++) bytes[i * 4 + b] = uint8_t(value >> (8 * b));
  }
  bytes[6] = uint8_t((bytes[6] & 0x0F) | 0x40);
  bytes[8] = uint8_t((bytes[8] & 0x3F) | 0x80);
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
}

bool key_is(yyjson_val *key, std::string_view name) {
  return yyjson_get_len(key) == name.size() &&
         std::memcmp(yyjson_get_str(key), name.data(), name.size()) == 0;
}

int32_t validate_source(const tervala_io *io, const char *settings_json, char *out,
                        int32_t out_len) {
  loaded_source loaded;
  if (int32_t code = load_configuration(loaded, io, settings_json, out, out_len)) return code;
  const vepod_source_table &table = *loaded.table;

  bool usable = false;
  const char *title = nullptr;
  for (int32_t i = 0; i < table.count; i++) {
    const vepod_source &slot = table.sources[i];
    if (slot.failed) continue;
    if (slot.feed.format != 0) {
      if (slot.feed.nitems > 0) {
        usable = true;
        title = slot.feed.title;
      }
    } else if (slot.is_page) {
      // A page counts when its feeds follow it.
      if (i + 1 < table.count && !table.sources[i + 1].is_page) usable = true;
    }
  }
  if (!usable) {
    if (table.error_code != 0)
      return vepod::fail(table.error_code, out, out_len, "%s", table.error);
    return vepod::fail(-5, out, out_len, "no episodes and no discovered feeds");
  }

  // The settings' string and null members in their order, then the members this source adds.
  const bool add_title = title && *title;
  const bool add_id = !loaded.settings.value.id || !*loaded.settings.value.id;
  mut_doc_ptr doc(yyjson_mut_doc_new(vepod_json_alc()));
  if (!doc) return vepod::fail(-5, out, out_len, "out of memory");
  yyjson_mut_val *result = yyjson_mut_obj(doc.get());
  bool complete = result != nullptr;
  if (complete) yyjson_mut_doc_set_root(doc.get(), result);
  yyjson_val *key, *value;
  yyjson_obj_iter iter = yyjson_obj_iter_with(yyjson_doc_get_root(loaded.settings.value.doc));
  while (complete && (key = yyjson_obj_iter_next(&iter))) {
    value = yyjson_obj_iter_get_val(key);
    if (!yyjson_is_str(value) && !yyjson_is_null(value)) continue;
    if (key_is(key, "RuntimeType") || (add_title && key_is(key, "Title")) ||
        (add_id && key_is(key, "ID"))) {
      continue;
    }
    yyjson_mut_val *copied_key =
        yyjson_mut_strncpy(doc.get(), yyjson_get_str(key), yyjson_get_len(key));
    yyjson_mut_val *copied =
        yyjson_is_str(value)
            ? yyjson_mut_strncpy(doc.get(), yyjson_get_str(value), yyjson_get_len(value))
            : yyjson_mut_null(doc.get());
    complete = yyjson_mut_obj_add(result, copied_key, copied);
  }
  char id[40];
  if (add_id) new_source_id(id);
  complete = complete && yyjson_mut_obj_add_str(doc.get(), result, "RuntimeType", k_runtime_type) &&
             (!add_title || yyjson_mut_obj_add_val(doc.get(), result, "Title",
                                                   vepod_json_str(doc.get(), title))) &&
             (!add_id || yyjson_mut_obj_add_strcpy(doc.get(), result, "ID", id));
  return emit_doc(doc.get(), complete, out, out_len);
}

// MARK: Stream URL

int32_t answer_stream_url(const char *url, char *out, int32_t out_len) {
  mut_doc_ptr doc(yyjson_mut_doc_new(vepod_json_alc()));
  if (!doc) return vepod::fail(-5, out, out_len, "out of memory");
  yyjson_mut_val *result = yyjson_mut_obj(doc.get());
  bool complete =
      result && yyjson_mut_obj_add_val(doc.get(), result, "url", vepod_json_str(doc.get(), url)) &&
      yyjson_mut_obj_add_val(doc.get(), result, "headers", yyjson_mut_obj(doc.get()));
  if (complete) yyjson_mut_doc_set_root(doc.get(), result);
  return emit_doc(doc.get(), complete, out, out_len);
}

int32_t resolve_stream_url(const tervala_io *io, const char *settings_json, const char *entry_json,
                           char *out, int32_t out_len) {
  doc_ptr entry(entry_json ? yyjson_read_opts(const_cast<char *>(entry_json),
                                              std::strlen(entry_json), 0, vepod_json_alc(), nullptr)
                           : nullptr);
  yyjson_val *root = yyjson_doc_get_root(entry.get());
  if (!yyjson_is_obj(root)) return vepod::fail(-8, out, out_len, "entry_json is not a JSON object");
  if (yyjson_obj_size(root) == 0) {
    return vepod::fail(-8, out, out_len, "entry_json has neither id nor a stream_url");
  }
  // A value cut short by a NUL is no http(s) URL and equals no source URL or episode id.
  bool id_whole, path_whole, direct_whole;
  const char *id = first_str(root, "id", &id_whole);
  const char *path = first_str(root, "path", &path_whole);
  const char *direct = nullptr;
  for (const char *key : {"stream_url", "locator", "url"}) {
    if ((direct = first_str(root, key, &direct_whole))) break;
  }
  if (direct && direct_whole && vepod_url_is_http(direct)) {
    return answer_stream_url(direct, out, out_len);
  }
  if ((!direct || (!*direct && direct_whole)) && !id) {
    return vepod::fail(-8, out, out_len, "entry_json has neither id nor a stream_url");
  }

  loaded_source loaded;
  if (int32_t code = load_configuration(loaded, io, settings_json, out, out_len)) return code;
  vepod_source_table &table = *loaded.table;
  int32_t index = path && *path && path_whole ? find_source(table, path) : -1;
  if (index < 0) return vepod::fail(-2, out, out_len, "entry id not found in feed");
  if (fetch_feed(table, index) != 0) {
    // A slot that failed softly (a 2xx other than 200) holds code 0, which would read as success.
    const vepod_source &slot = table.sources[index];
    return vepod::fail(slot.failed && slot.error_code != 0 ? slot.error_code : -2, out, out_len,
                       "entry id not found in feed");
  }
  const vepod_feed &feed = table.sources[index].feed;
  for (int32_t i = 0; id && id_whole && i < feed.nitems; i++) {
    const vepod_item &item = feed.items[i];
    if (!item.id || std::strcmp(item.id, id) != 0) continue;
    if (!item.url) break;
    return answer_stream_url(item.url, out, out_len);
  }
  return vepod::fail(-2, out, out_len, "entry id not found in feed");
}

// Runs an operation body; memory exhausted inside the C++ runtime is reported like any other
// allocation failure instead of escaping to the host.
template <typename Body>
int32_t guarded(char *out, int32_t out_len, Body body) {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    return vepod::fail(-5, out, out_len, "out of memory");
  }
}

}  // namespace

int op_validate(const tervala_io *io, const char *settings_json, char *out, int32_t out_len) {
  return guarded(out, out_len, [&] { return validate_source(io, settings_json, out, out_len); });
}

int op_list(const tervala_io *io, const char *settings_json, const char *path, char *out,
            int32_t out_len) {
  return guarded(out, out_len, [&] { return list_folder(io, settings_json, path, out, out_len); });
}

int op_stream_url(const tervala_io *io, const char *settings_json, const char *entry_json,
                  char *out, int32_t out_len) {
  return guarded(out, out_len,
                 [&] { return resolve_stream_url(io, settings_json, entry_json, out, out_len); });
}

// MARK: Handler table

namespace {
constexpr vepod_handler_table g_handler = {k_runtime_type, k_caps,        op_validate,
                                           op_list,        op_stream_url, op_download};
}  // namespace

const vepod_handler_table *vepod_handler_get() { return &g_handler; }

extern "C" {

VEPOD_API const char *vepod_version(void) { return k_version; }
VEPOD_API const char *vepod_runtime_type(void) { return k_runtime_type; }
VEPOD_API int vepod_caps(void) { return k_caps; }

VEPOD_API const char *vepod_last_error(void) {
  static thread_local char snapshot[k_err_size];
  vepod_lock_guard hold(g_result_lock);
  std::memcpy(snapshot, g_err, sizeof snapshot);
  return snapshot;
}

VEPOD_API const char *vepod_result_json(void) {
  static thread_local thread_text snapshot;
  vepod_lock_guard hold(g_result_lock);
  if (!g_result) return "";
  size_t n = std::strlen(g_result) + 1;
  char *copy = static_cast<char *>(vepod_realloc(snapshot.text, n));
  if (!copy) return "";
  std::memcpy(copy, g_result, n);
  snapshot.text = copy;
  return copy;
}

VEPOD_API int vepod_set_io(const tervala_io *io) {
  install_io(io);
  return 0;
}

VEPOD_API int vepod_use_curl(void) {
  const tervala_io *net = vepod_io_curl();
  if (!net) return -6;
  install_io(net);
  return 0;
}

VEPOD_API int vepod_use_fake(void) {
  install_io(vepod_io_fake());
  return 0;
}

VEPOD_API const vepod_handler_table *verch_get(void) { return vepod_handler_get(); }

VEPOD_API int vepod_validate(const char *settings_json, char *out, int32_t out_len) {
  return op_validate(choose_io(), settings_json, out, out_len);
}

VEPOD_API int vepod_list(const char *settings_json, const char *path, char *out, int32_t out_len) {
  return op_list(choose_io(), settings_json, path, out, out_len);
}

VEPOD_API int vepod_stream_url(const char *settings_json, const char *entry_json, char *out,
                               int32_t out_len) {
  return op_stream_url(choose_io(), settings_json, entry_json, out, out_len);
}

VEPOD_API int vepod_download(const char *settings_json, const char *entry_json, char *out,
                             int32_t out_len) {
  // The choice is made (and discarded) as for the other operations, so that a download costs the
  // host the same lock traffic.
  return op_download(choose_io(), settings_json, entry_json, out, out_len);
}

VEPOD_API const char *vepod_stats_json(void) {
  // One buffer per thread, so that a concurrent call cannot tear the text being read.
  static thread_local char buf[512];
  const vepod_stats *stats = vepod_stats_get();
  auto get = [](const std::atomic<uint32_t> &counter) {
    return static_cast<unsigned long>(counter.load(std::memory_order_relaxed));
  };
  std::snprintf(buf, sizeof buf,
                "{\"http\":{\"gets\":%lu,\"304\":%lu,\"errors\":%lu},\"cache\":{\"entries\":%d,"
                "\"hits\":%lu,\"misses\":%lu},\"feeds\":{\"parsed\":%lu,\"rejected\":%lu},"
                "\"items\":{\"kept\":%lu,\"guid_fallback\":%lu}}",
                get(stats->http_gets), get(stats->http_304), get(stats->http_errors),
                vepod_cache_entry_count(), get(stats->cache_hits), get(stats->cache_misses),
                get(stats->feeds_parsed), get(stats->feeds_rejected), get(stats->items_kept),
                get(stats->items_guid_fallback));
  return buf;
}

VEPOD_API int vepod_parse_feed(const void *data, size_t length, char **out, char *err,
                               int err_size) {
  if (err && err_size > 0) err[0] = '\0';
  if (!out) return -1;
  *out = nullptr;
  vepod_feed feed;
  if (vepod_feed_parse(data, length, &feed, err, err_size) != vepod_feed_ok) return -1;
  static constexpr const char *k_formats[] = {"", "rss2", "rdf", "atom"};
  yyjson_mut_doc *doc = yyjson_mut_doc_new(vepod_json_alc());
  yyjson_mut_val *root = doc ? yyjson_mut_obj(doc) : nullptr;
  yyjson_mut_val *items = root ? yyjson_mut_arr(doc) : nullptr;
  auto str = [doc](const char *text) { return vepod_json_str(doc, text); };
  // Any allocation failure fails the whole answer: a text missing members or episodes would be
  // taken for the feed's content.
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
  if (ok) yyjson_mut_doc_set_root(doc, root);
  char *json = ok ? yyjson_mut_write_opts(doc, 0, vepod_json_alc(), nullptr, nullptr) : nullptr;
  yyjson_mut_doc_free(doc);
  vepod_feed_free(&feed);
  if (!json) {
    vepod_put_err(err, err_size, "out of memory");
    return -1;
  }
  *out = json;
  return 0;
}

}  // extern "C"
