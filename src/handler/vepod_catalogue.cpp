// The catalogue operations behind the handler table: validate, list (vepod_listing.cpp), stream
// URL and download, each guarded so that no exception reaches the host.

#include "handler/vepod_catalogue.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "util/vepod_alloc.h"
#include "util/vepod_platform.h"
#include "util/vepod_url.h"
#include "util/vepod_utf8.h"

namespace {

std::atomic<int (*)(uint32_t *)> g_random_source;

// A random version-4 identifier in its canonical text form; false when the random source fails
// (an identifier from partly missing randomness could be issued twice).
bool new_source_id(char (&text)[40]) {
  int (*draw)(uint32_t *) = g_random_source.load(std::memory_order_acquire);
  if (!draw) draw = vepod_random_u32;
  unsigned char bytes[16];
  for (size_t i = 0; i < 4; i++) {
    uint32_t value = 0;
    if (draw(&value) != 0) return false;
    for (size_t b = 0; b < 4; b++) bytes[i * 4 + b] = uint8_t(value >> (8 * b));
  }
  bytes[6] = uint8_t((bytes[6] & 0x0F) | 0x40);
  bytes[8] = uint8_t((bytes[8] & 0x3F) | 0x80);
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return true;
}

bool key_is(yyjson_val *key, std::string_view name) {
  return yyjson_get_len(key) == name.size() &&
         std::memcmp(yyjson_get_str(key), name.data(), name.size()) == 0;
}

vepod_code validate_source(const tervala_io *io, const char *settings_json, vepod_out out) {
  vepod_loaded_source loaded;
  if (vepod_code code = vepod_load_configuration(loaded, io, settings_json, out)) return code;
  const vepod_source_table &table = *loaded.table;

  bool usable = false;
  const char *title = nullptr;
  for (size_t i = 0; i < table.count; i++) {
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
    if (table.failure.code == VEPOD_OK) {
      return vepod_fail(VEPOD_ERR_NO_DATA, out, "no episodes and no discovered feeds");
    }
    return vepod_fail_roots(table, out);
  }

  // The settings' string and null members in their order, then the members this source adds.
  const bool add_title = title && *title;
  const bool add_id = !loaded.settings.value.id || !*loaded.settings.value.id;
  char id[40];
  if (add_id && !new_source_id(id)) {
    return vepod_fail(VEPOD_ERR_NO_DATA, out, "random source failure");
  }
  vepod_mut_doc_ptr doc(yyjson_mut_doc_new(vepod_json_alc()));
  if (!doc) return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
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
  complete = complete &&
             yyjson_mut_obj_add_str(doc.get(), result, "RuntimeType", vepod_runtime_type_name) &&
             (!add_title || yyjson_mut_obj_add_val(doc.get(), result, "Title",
                                                   vepod_json_str(doc.get(), title))) &&
             (!add_id || yyjson_mut_obj_add_strcpy(doc.get(), result, "ID", id)) &&
             (vepod_failed_roots(table) == 0 ||
              yyjson_mut_obj_add_val(doc.get(), result, "failures",
                                     vepod_json_failures(doc.get(), table)));
  return vepod_emit_doc(doc.get(), complete, out);
}

vepod_code answer_stream_url(const char *url, vepod_out out) {
  vepod_mut_doc_ptr doc(yyjson_mut_doc_new(vepod_json_alc()));
  if (!doc) return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
  yyjson_mut_val *result = yyjson_mut_obj(doc.get());
  bool complete =
      result && yyjson_mut_obj_add_val(doc.get(), result, "url", vepod_json_str(doc.get(), url)) &&
      yyjson_mut_obj_add_val(doc.get(), result, "headers", yyjson_mut_obj(doc.get()));
  if (complete) yyjson_mut_doc_set_root(doc.get(), result);
  return vepod_emit_doc(doc.get(), complete, out);
}

// The string value of the first member named key, or NULL; *whole is false when a NUL inside the
// value cuts its C text short.
const char *first_str(yyjson_val *obj, const char *key, bool *whole) {
  yyjson_val *value = yyjson_obj_get(obj, key);
  const char *text = yyjson_is_str(value) ? yyjson_get_str(value) : nullptr;
  *whole = !text || !std::memchr(text, '\0', yyjson_get_len(value));
  return text;
}

vepod_code resolve_stream_url(const tervala_io *io, const char *settings_json,
                              const char *entry_json, vepod_out out) {
  yyjson_read_err read_err{};
  vepod_doc_ptr entry(entry_json ? yyjson_read_opts(const_cast<char *>(entry_json),
                                                    std::strlen(entry_json), 0, vepod_json_alc(),
                                                    &read_err)
                                 : nullptr);
  if (entry_json && !entry && read_err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
    return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
  }
  if (entry_json && !entry) {
    return vepod_fail(VEPOD_ERR_BAD_INPUT, out, "entry_json is not a JSON object: %s at offset %zu",
                      read_err.msg, read_err.pos);
  }
  yyjson_val *root = yyjson_doc_get_root(entry.get());
  if (!yyjson_is_obj(root)) {
    return vepod_fail(VEPOD_ERR_BAD_INPUT, out, "entry_json is not a JSON object");
  }
  if (yyjson_obj_size(root) == 0) {
    return vepod_fail(VEPOD_ERR_BAD_INPUT, out, "entry_json has neither id nor a stream_url");
  }
  // A value cut short by a NUL is no http(s) URL and equals no source URL or episode id.
  bool id_whole, path_whole, direct_whole;
  const char *id = first_str(root, "id", &id_whole);
  const char *path = first_str(root, "path", &path_whole);
  const char *direct = nullptr;
  for (const char *key : {"stream_url", "locator", "url"}) {
    if ((direct = first_str(root, key, &direct_whole))) break;
  }
  if (direct && direct_whole && vepod_url_is_http(direct)) return answer_stream_url(direct, out);
  if ((!direct || (!*direct && direct_whole)) && !id) {
    return vepod_fail(VEPOD_ERR_BAD_INPUT, out, "entry_json has neither id nor a stream_url");
  }

  vepod_loaded_source loaded;
  if (vepod_code code =
          vepod_load_named_feed(loaded, io, settings_json, out, path_whole ? path : nullptr)) {
    return code;
  }
  // A value cut short by a NUL names no listed feed or episode.
  if (!id_whole || !path_whole)
    return vepod_fail(VEPOD_ERR_NOT_FOUND, out, "entry id not found in feed");
  vepod_entry_ref entry_ref;
  vepod_code found = vepod_find_entry(*loaded.table, path, id, &entry_ref);
  if (found != VEPOD_OK) {
    // A feed that could not be read says why, in the fetch's or the reader's words.
    if (entry_ref.source != vepod_no_source) {
      const vepod_source &slot = loaded.table->sources[entry_ref.source];
      if (slot.failed && slot.failure.message[0]) {
        return vepod_fail(found, out, "%s", slot.failure.message);
      }
    }
    return vepod_fail(found, out, "entry id not found in feed");
  }
  return answer_stream_url(entry_ref.item->url, out);
}

// Runs an operation body; memory exhausted inside the C++ runtime is reported like any other
// allocation failure.
template <typename Body>
int guarded(vepod_out out, Body body) {
  return vepod_guard(body, [out] { return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory"); });
}

}  // namespace

void vepod_set_random_source(int (*draw)(uint32_t *value)) {
  g_random_source.store(draw, std::memory_order_release);
}

int vepod_op_validate(const tervala_io *io, const char *settings_json, char *out, int32_t out_len) {
  vepod_out to = vepod_out_of(out, out_len);
  return guarded(to, [&] { return validate_source(io, settings_json, to); });
}

int vepod_op_list(const tervala_io *io, const char *settings_json, const char *path, char *out,
                  int32_t out_len) {
  vepod_out to = vepod_out_of(out, out_len);
  return guarded(to, [&] { return vepod_list_folder(io, settings_json, path, to); });
}

int vepod_op_stream_url(const tervala_io *io, const char *settings_json, const char *entry_json,
                        char *out, int32_t out_len) {
  vepod_out to = vepod_out_of(out, out_len);
  return guarded(to, [&] { return resolve_stream_url(io, settings_json, entry_json, to); });
}

int vepod_op_download(const tervala_io *, const char *, const char *, char *out, int32_t out_len) {
  return vepod_fail(VEPOD_ERR_NOT_SUPPORTED, vepod_out_of(out, out_len),
                    "downloads are not supported: podcast sources are read-only");
}
