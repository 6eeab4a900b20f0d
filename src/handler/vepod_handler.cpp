// The plug-in boundary: exports, the result convention, transport choice and identity answers.

#include "handler/vepod_handler.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

void format_err(const char *format, va_list args) {
  char text[k_err_size];
  std::vsnprintf(text, sizeof text, format, args);
  vepod_lock_guard hold(g_result_lock);
  std::memcpy(g_err, text, sizeof text);
}

// Length of the well-formed sequence that starts with the lead byte at s, or 0.
size_t utf8_char_len(const unsigned char *s, size_t avail) {
  unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t need = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (need == 0 || avail < need) return 0;
  return vepod_utf8_valid(reinterpret_cast<const char *>(s), need) ? need : 0;
}

// Makes an error text valid UTF-8 in place: every byte that does not start a complete,
// well-formed character becomes '?'.
void sanitize_utf8(char *text) {
  auto *p = reinterpret_cast<unsigned char *>(text);
  size_t n = std::strlen(text);
  for (size_t i = 0; i < n;) {
    size_t len = utf8_char_len(p + i, n - i);
    if (len == 0) {
      p[i] = '?';
      len = 1;
    }
    i += len;
  }
}

// Appends text as the inside of a JSON string literal.
void json_escape_into(std::string &out, const char *text) {
  static constexpr char hex[] = "0123456789abcdef";
  for (const char *s = text; *s; s++) {
    unsigned char c = static_cast<unsigned char>(*s);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
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

void set_err(const char *format, ...) {
  va_list args;
  va_start(args, format);
  format_err(format, args);
  va_end(args);
}

int fail(int code, char *out, int32_t out_len, const char *format, ...) {
  char text[k_err_size];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  sanitize_utf8(text);
  {
    vepod_lock_guard hold(g_result_lock);
    std::memcpy(g_err, text, sizeof text);
  }
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

// Holds every refused line in its redacted form.
constexpr size_t k_redacted_size = 256;

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
    auto *line = static_cast<char *>(std::malloc(stop - i + 1));
    if (!line) return settings_error(-5, err, err_size, "out of memory");
    std::memcpy(line, text + i, stop - i);
    line[stop - i] = '\0';
    // A NUL inside the line would make the stored URL shorter than the line as written.
    bool has_nul = std::memchr(text + i, '\0', stop - i) != nullptr;
    if (has_nul || !vepod_url_is_http(line)) {
      char shown[k_redacted_size];
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
  settings->doc = yyjson_read(settings_json, std::strlen(settings_json), 0);
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
  char *copy = static_cast<char *>(std::realloc(snapshot.text, n));
  if (!copy) return "";
  std::memcpy(copy, g_result, n);
  snapshot.text = copy;
  return copy;
}

VEPOD_API int vepod_set_io(const tervala_io *io) {
  vepod_lock_guard hold(g_io_lock);
  g_io_override = io;
  return 0;
}

VEPOD_API int vepod_use_curl(void) {
  const tervala_io *net = vepod_io_curl();
  if (!net) return -6;
  vepod_lock_guard hold(g_io_lock);
  g_io_override = net;
  return 0;
}

VEPOD_API int vepod_use_fake(void) {
  const tervala_io *fake = vepod_io_fake();
  vepod_lock_guard hold(g_io_lock);
  g_io_override = fake;
  return 0;
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
  if (vepod_feed_parse(data, length, &feed, err, err_size) != 0) return -1;
  static constexpr const char *k_formats[] = {"", "rss2", "rdf", "atom"};
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
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
  char *json = ok ? yyjson_mut_write(doc, 0, nullptr) : nullptr;
  yyjson_mut_doc_free(doc);
  vepod_feed_free(&feed);
  if (!json) {
    if (err && err_size > 0) std::snprintf(err, size_t(err_size), "%s", "out of memory");
    return -1;
  }
  *out = json;
  return 0;
}

}  // extern "C"
