// Library-internal parts of the plug-in boundary: the result convention, the settings document and
// the catalogue operations behind the handler table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <yyjson.h>

#include "util/vepod_failure.h"
#include "util/vepod_platform.h"
#include "vepod.h"

// MARK: Results (vepod_result.cpp)

struct vepod_doc_deleter {
  void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
  void operator()(yyjson_mut_doc *doc) const { yyjson_mut_doc_free(doc); }
};
using vepod_doc_ptr = std::unique_ptr<yyjson_doc, vepod_doc_deleter>;
using vepod_mut_doc_ptr = std::unique_ptr<yyjson_mut_doc, vepod_doc_deleter>;

// A caller's answer buffer; nothing is written where size is 0.
struct vepod_out {
  char *data;
  size_t size;
};

// The buffer an operation received: no room for a NULL out or a non-positive out_len.
inline vepod_out vepod_out_of(char *out, int32_t out_len) {
  return {out, out && out_len > 0 ? size_t(out_len) : 0};
}

// Records the message (made valid UTF-8, cut to VEPOD_MESSAGE_MAX - 1 bytes) as the calling
// thread's last error and writes the error document into out, or an empty text when it does not
// fit; returns code.
vepod_code vepod_fail(vepod_code code, vepod_out out, const char *format, ...) noexcept
    VEPOD_PRINTF(3, 4);
// The same for a failure recorded where it happened: its code and its message, place included.
vepod_code vepod_fail_with(const vepod_failure &failure, vepod_out out) noexcept;
// The same with the members of the object root (of doc) after "error" in the error document;
// without them (doc or root NULL, memory running out, or no room in out for them) the plain error
// document is written.
vepod_code vepod_fail_with(const vepod_failure &failure, vepod_out out, yyjson_mut_doc *doc,
                           yyjson_mut_val *root) noexcept;

// Takes ownership of json (malloc'ed) as the calling thread's latest answer and copies it into
// out: VEPOD_OK, or VEPOD_ERR_BUFFER_TOO_SMALL with the size needed as the last error.
vepod_code vepod_emit(char *json, vepod_out out) noexcept;

// Writes a finished answer document and emits it; an incomplete one (complete false, a member
// could not be added) or a failed write is reported as out of memory.
vepod_code vepod_emit_doc(yyjson_mut_doc *doc, bool complete, vepod_out out) noexcept;
// The same for a document that borrows no text from the caller's arguments, which may share
// memory with out: the text is written straight into out and the document released before the
// kept copy of the answer is made, so that the two never take heap memory at once. Also releases
// doc on failure.
vepod_code vepod_emit_owned_doc(vepod_mut_doc_ptr doc, bool complete, vepod_out out) noexcept;

// The calling thread's last error and latest answer, copied into texts of the thread that stay
// unchanged until the thread asks again; "" when there is none (or no memory for the copy).
const char *vepod_last_error_text() noexcept;
const char *vepod_result_text() noexcept;

// Runs the body of a boundary function so that no exception reaches the host: the body's own
// answer, or failed()'s when the C++ runtime ran out of memory inside it (nothing else throws).
template <typename Body, typename Failed>
auto vepod_guard(Body &&body, Failed &&failed) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    return failed();
  }
}

// MARK: Settings (vepod_settings.cpp)

// Configured URLs per source; further lines are ignored.
inline constexpr size_t vepod_max_urls = 64;

struct vepod_settings {
  yyjson_doc *doc;
  char *urls[vepod_max_urls];
  size_t url_count;
  char *id;  // "" when the settings name no ID
  // "ListFailures": true: the root listing keeps each configured URL that failed, with why.
  bool list_failures;
};

// Reads a settings document: VEPOD_OK, or VEPOD_ERR_BAD_INPUT / VEPOD_ERR_NO_DATA with the failure
// in *failure (a document that is no JSON names yyjson's byte offset in its message).
vepod_code vepod_read_settings(const char *settings_json, vepod_settings *settings,
                               vepod_failure *failure);
// Releases what the record owns and zeroes it; NULL and zeroed records are fine.
void vepod_free_settings(vepod_settings *settings);

// MARK: Catalogue (vepod_catalogue.cpp, vepod_listing.cpp)

inline constexpr const char *vepod_runtime_type_name = "PODCASTS";

// A display name keeps at most this many bytes of its text; a final U+2215 may add two more.
inline constexpr size_t vepod_name_budget = 256;
inline constexpr size_t vepod_name_size = vepod_name_budget + 3;

// Writes the display name of a folder or entry into name and returns its byte count: no '/'
// (shown as U+2215), no control characters, never ending inside a character.
size_t vepod_seg_name(const char *text, char (&name)[vepod_name_size]);

// Test hook: identifiers for new sources draw from draw instead of vepod_random_u32 (same
// contract); NULL restores it.
void vepod_set_random_source(int (*draw)(uint32_t *value));

// The handler table's operations (the exports of the same names run them on vepod_io_current()).
int vepod_op_validate(const tervala_io *io, const char *settings_json, char *out, int32_t out_len);
int vepod_op_list(const tervala_io *io, const char *settings_json, const char *path, char *out,
                  int32_t out_len);
int vepod_op_stream_url(const tervala_io *io, const char *settings_json, const char *entry_json,
                        char *out, int32_t out_len);
int vepod_op_download(const tervala_io *io, const char *settings_json, const char *entry_json,
                      char *out, int32_t out_len);

const vepod_handler_table *vepod_handler_get();
