// Legacy and UTF-16 feed documents decoded into UTF-8 for the feed reader.
#pragma once

#include <cstddef>

enum vepod_decode_status : int {
  vepod_decode_ok = 0,
  // Neither a UTF-16 byte order mark nor a declared encoding this decoder reads: the caller keeps
  // its own verdict on the bytes.
  vepod_decode_not_applicable = 1,
  // The bytes break the encoding; err holds "invalid byte sequence for <encoding>".
  vepod_decode_invalid = 2,
  vepod_decode_out_of_memory = 3,
};

// Decodes a whole document of len bytes into UTF-8. The encoding is the one a UTF-16 byte order
// mark names (the mark is dropped), else the one the `encoding` label of the XML declaration at the
// very start (after an optional UTF-8 byte order mark) names in the label table of the WHATWG
// Encoding Standard, when it is one of the single-byte or multi-byte legacy encodings read here. On
// vepod_decode_ok, *out is a malloc'ed text of *out_len bytes (at most 3 * len, not NUL-terminated)
// that the caller frees; on any other status *out is NULL. err (err_size bytes, may be NULL)
// receives the message of vepod_decode_invalid and is left alone otherwise.
vepod_decode_status vepod_decode_document(const unsigned char *data, size_t len, char **out,
                                          size_t *out_len, char *err, size_t err_size);

// True when a document that is valid UTF-8 must still go through vepod_decode_document: it declares
// ISO-2022-JP, a 7-bit encoding that every document in it passes for UTF-8, and holds an escape
// byte, which no well-formed UTF-8 document does. Reads no further than the declaration otherwise.
bool vepod_decode_despite_utf8(const unsigned char *data, size_t len);
