// The settings document of a source: its "URL" lines and its "ID".

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "handler/vepod_handler.h"
#include "util/vepod_alloc.h"
#include "util/vepod_platform.h"
#include "util/vepod_text.h"
#include "util/vepod_url.h"

namespace {

constexpr bool is_line_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Splits the "URL" text into lines, trims them and appends each to the record; stops after
// vepod_max_urls lines without reading further. VEPOD_OK, or the failure in *failure.
vepod_code read_url_lines(const char *text, size_t len, vepod_settings *s, vepod_failure *failure) {
  size_t i = 0;
  while (s->url_count < vepod_max_urls) {
    while (i < len && (is_line_blank(text[i]) || text[i] == '\n')) i++;
    if (i == len) break;
    size_t end = i;
    while (end < len && text[end] != '\r' && text[end] != '\n') end++;
    size_t stop = end;
    while (text[stop - 1] == ' ' || text[stop - 1] == '\t') stop--;
    auto *line = static_cast<char *>(vepod_malloc(stop - i + 1));
    if (!line) return vepod_failure_oom(failure);
    std::memcpy(line, text + i, stop - i);
    line[stop - i] = '\0';
    // A NUL inside the line would make the stored URL shorter than the line as written.
    bool has_nul = std::memchr(text + i, '\0', stop - i) != nullptr;
    if (has_nul || !vepod_url_is_http(line)) {
      char shown[vepod_redacted_size];
      vepod_redact_url(line, shown, sizeof shown);
      std::free(line);
      return vepod_failure_set(failure, VEPOD_ERR_BAD_INPUT,
                               "URL line is not an absolute http(s) URL: %s", shown);
    }
    s->urls[s->url_count++] = line;
    if (end == len) break;
    i = end + 1;
  }
  return VEPOD_OK;
}

}  // namespace

vepod_code vepod_read_settings(const char *settings_json, vepod_settings *settings,
                               vepod_failure *failure) {
  *settings = {};
  *failure = vepod_failure{};
  if (!settings_json) {
    return vepod_failure_set(failure, VEPOD_ERR_BAD_INPUT, "settings_json is NULL");
  }
  yyjson_read_err read_err{};
  settings->doc = yyjson_read_opts(const_cast<char *>(settings_json), std::strlen(settings_json), 0,
                                   vepod_json_alc(), &read_err);
  if (!settings->doc && read_err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
    return vepod_failure_oom(failure);
  }
  if (!settings->doc) {
    return vepod_failure_set(failure, VEPOD_ERR_BAD_INPUT,
                             "settings_json is not a JSON object: %s at offset %zu", read_err.msg,
                             read_err.pos);
  }
  yyjson_val *root = yyjson_doc_get_root(settings->doc);
  if (!yyjson_is_obj(root)) {
    return vepod_failure_set(failure, VEPOD_ERR_BAD_INPUT, "settings_json is not a JSON object");
  }
  yyjson_val *url = yyjson_obj_getn(root, "URL", 3);
  if (!url || (yyjson_is_str(url) && yyjson_get_len(url) == 0)) {
    return vepod_failure_set(failure, VEPOD_ERR_BAD_INPUT, "settings need a non-empty URL");
  }
  if (!yyjson_is_str(url)) {
    return vepod_failure_set(failure, VEPOD_ERR_BAD_INPUT, "URL is not a string");
  }
  vepod_code code = read_url_lines(yyjson_get_str(url), yyjson_get_len(url), settings, failure);
  if (code != VEPOD_OK) return code;
  if (settings->url_count == 0) {
    return vepod_failure_set(failure, VEPOD_ERR_BAD_INPUT, "URL has no usable lines");
  }
  yyjson_val *id = yyjson_obj_getn(root, "ID", 2);
  settings->id = vepod_strdup(yyjson_is_str(id) ? yyjson_get_str(id) : "");
  if (!settings->id) return vepod_failure_oom(failure);
  settings->list_failures = yyjson_is_true(yyjson_obj_getn(root, "ListFailures", 12));
  return VEPOD_OK;
}

void vepod_free_settings(vepod_settings *settings) {
  if (!settings) return;
  yyjson_doc_free(settings->doc);
  for (size_t i = 0; i < settings->url_count; i++) std::free(settings->urls[i]);
  std::free(settings->id);
  *settings = {};
}
