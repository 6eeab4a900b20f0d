// Library-internal parts of the plug-in boundary: the result convention, the settings document,
// the transport choice and the catalogue operations.
#pragma once

#include <cstddef>
#include <cstdint>

#include <yyjson.h>

#include "vepod.h"

// Configured URLs per source; further lines are ignored.
inline constexpr int vepod_max_urls = 64;

struct vepod_settings {
  yyjson_doc *doc;
  char *urls[vepod_max_urls];
  int32_t url_count;
  char *id;  // "" when the settings name no ID
};

// Reads a settings document: 0, or -8 / -5 with the message in err.
int32_t vepod_read_settings(const char *settings_json, vepod_settings *settings, char *err,
                            int32_t err_size);
// Releases what the record owns and zeroes it; NULL and zeroed records are fine.
void vepod_free_settings(vepod_settings *settings);

// The transport an exported operation would run on now.
const tervala_io *vepod_io_current();

const vepod_handler_table *vepod_handler_get();

namespace vepod {

// Records an error (and writes the error document into out); returns code.
int fail(int code, char *out, int32_t out_len, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
// Takes ownership of json (malloc'ed) as the last result and copies it into out: 0 or -9.
int emit(char *json, char *out, int32_t out_len);

}  // namespace vepod

// A display name for a folder or entry (malloc'ed; its byte count in *length unless length is
// NULL), or NULL when memory runs out.
char *seg_name(const char *text, size_t *length);

int op_validate(const tervala_io *io, const char *settings_json, char *out, int32_t out_len);
int op_list(const tervala_io *io, const char *settings_json, const char *path, char *out,
            int32_t out_len);
int op_stream_url(const tervala_io *io, const char *settings_json, const char *entry_json,
                  char *out, int32_t out_len);
int op_download(const tervala_io *io, const char *settings_json, const char *entry_json, char *out,
                int32_t out_len);
