// The decoder of legacy documents as the reader calls it, and what it shares between its label
// table (vepod_encoding.cpp) and each platform's converter: the C library's iconv
// (vepod_encoding_iconv.cpp) or Windows' code pages (vepod_encoding_win.cpp). Each converter gives
// the Encoding Standard's readings through fixes of its own where the platform's tables differ.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/vepod_failure.h"

namespace vepod_encoding {

// The encodings of the standard, in its order.
enum encoding_id : uint8_t {
  e_utf_8,
  e_ibm866,
  e_iso_8859_2,
  e_iso_8859_3,
  e_iso_8859_4,
  e_iso_8859_5,
  e_iso_8859_6,
  e_iso_8859_7,
  e_iso_8859_8,
  e_iso_8859_8_i,
  e_iso_8859_10,
  e_iso_8859_13,
  e_iso_8859_14,
  e_iso_8859_15,
  e_iso_8859_16,
  e_koi8_r,
  e_koi8_u,
  e_macintosh,
  e_windows_874,
  e_windows_1250,
  e_windows_1251,
  e_windows_1252,
  e_windows_1253,
  e_windows_1254,
  e_windows_1255,
  e_windows_1256,
  e_windows_1257,
  e_windows_1258,
  e_x_mac_cyrillic,
  e_gbk,
  e_gb18030,
  e_big5,
  e_euc_jp,
  e_iso_2022_jp,
  e_shift_jis,
  e_euc_kr,
  e_replacement,
  e_utf_16be,
  e_utf_16le,
  e_x_user_defined,
  e_count,
};

// Output room per input byte: a single byte becomes at most a three-byte BMP character, and no
// multi-byte or UTF-16 sequence of n bytes becomes more than 2 * n bytes of UTF-8.
constexpr size_t k_growth = 3;

enum class converted { ok, invalid, no_converter, out_of_memory };

// True when this platform's converter reads the encoding.
bool readable(encoding_id id);

// Decodes [p, end) of a document in encoding id (readable) into UTF-8 at out, which has room for
// k_growth * (end - p) bytes; *written receives the length. invalid: the bytes break the encoding
// (a truncated sequence at the end included), and *written is the length decoded before the
// refused sequence, which places it.
converted convert(encoding_id id, const unsigned char *p, const unsigned char *end, char *out,
                  size_t *written);

}  // namespace vepod_encoding

// Decodes a whole document of len bytes into UTF-8. The encoding is the one a UTF-16 byte order
// mark names (the mark is dropped), else the one the `encoding` label of the XML declaration at the
// very start (after an optional UTF-8 byte order mark) names in the label table of the WHATWG
// Encoding Standard, when it is one of the single-byte or multi-byte legacy encodings read here.
// VEPOD_OK with *out a malloc'ed text of *out_len bytes (at most 3 * len, not NUL-terminated) that
// the caller frees, or with *out NULL when the document names no encoding read here (the caller
// keeps its own verdict on the bytes). Otherwise the failure (*out NULL): "no converter for
// <encoding>", out of memory, or "invalid byte sequence for <encoding>" placed where the refused
// sequence starts, counted in the text decoded before it.
vepod_code vepod_decode_document(const unsigned char *data, size_t len, char **out, size_t *out_len,
                                 vepod_failure *failure);

// True when the document names an encoding vepod_decode_document reads (by a UTF-16 byte order
// mark or its declaration), whatever its bytes are.
bool vepod_decode_names_encoding(const unsigned char *data, size_t len);

// True when a document that is valid UTF-8 must still go through vepod_decode_document: it declares
// ISO-2022-JP, a 7-bit encoding that every document in it passes for UTF-8, and holds an escape
// byte, which no well-formed UTF-8 document does. Reads no further than the declaration otherwise.
bool vepod_decode_despite_utf8(const unsigned char *data, size_t len);
