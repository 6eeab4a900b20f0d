// Legacy and UTF-16 feed documents decoded into UTF-8.
//
// A declared label is resolved through the complete label table of the WHATWG Encoding Standard
// (the web's encodings) to one encoding, and only the converters of the platform's table for that
// encoding are ever used: a label from the document never reaches the platform's converter lookup.
//
// Most of the file's length is the label table (228 labels); the code is short.

#include "util/vepod_encoding.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "util/vepod_alloc.h"
#include "util/vepod_text.h"

namespace {

using std::string_view;
using namespace vepod_encoding;

// Bytes of the XML declaration searched for its encoding label; real declarations take about 40.
constexpr size_t k_max_declaration = 256;

// The encodings' names as the standard writes them; messages name them so.
constexpr const char *k_names[e_count] = {
    "UTF-8",        "IBM866",       "ISO-8859-2",   "ISO-8859-3",     "ISO-8859-4",
    "ISO-8859-5",   "ISO-8859-6",   "ISO-8859-7",   "ISO-8859-8",     "ISO-8859-8-I",
    "ISO-8859-10",  "ISO-8859-13",  "ISO-8859-14",  "ISO-8859-15",    "ISO-8859-16",
    "KOI8-R",       "KOI8-U",       "macintosh",    "windows-874",    "windows-1250",
    "windows-1251", "windows-1252", "windows-1253", "windows-1254",   "windows-1255",
    "windows-1256", "windows-1257", "windows-1258", "x-mac-cyrillic", "GBK",
    "gb18030",      "Big5",         "EUC-JP",       "ISO-2022-JP",    "Shift_JIS",
    "EUC-KR",       "replacement",  "UTF-16BE",     "UTF-16LE",       "x-user-defined",
};

struct label {
  string_view text;
  encoding_id id;
};

// Every label of the standard, sorted for binary search.
constexpr label k_labels[] = {
    {"866", e_ibm866},
    {"ansi_x3.4-1968", e_windows_1252},
    {"arabic", e_iso_8859_6},
    {"ascii", e_windows_1252},
    {"asmo-708", e_iso_8859_6},
    {"big5", e_big5},
    {"big5-hkscs", e_big5},
    {"chinese", e_gbk},
    {"cn-big5", e_big5},
    {"cp1250", e_windows_1250},
    {"cp1251", e_windows_1251},
    {"cp1252", e_windows_1252},
    {"cp1253", e_windows_1253},
    {"cp1254", e_windows_1254},
    {"cp1255", e_windows_1255},
    {"cp1256", e_windows_1256},
    {"cp1257", e_windows_1257},
    {"cp1258", e_windows_1258},
    {"cp819", e_windows_1252},
    {"cp866", e_ibm866},
    {"csbig5", e_big5},
    {"cseuckr", e_euc_kr},
    {"cseucpkdfmtjapanese", e_euc_jp},
    {"csgb2312", e_gbk},
    {"csibm866", e_ibm866},
    {"csiso2022jp", e_iso_2022_jp},
    {"csiso2022kr", e_replacement},
    {"csiso58gb231280", e_gbk},
    {"csiso88596e", e_iso_8859_6},
    {"csiso88596i", e_iso_8859_6},
    {"csiso88598e", e_iso_8859_8},
    {"csiso88598i", e_iso_8859_8_i},
    {"csisolatin1", e_windows_1252},
    {"csisolatin2", e_iso_8859_2},
    {"csisolatin3", e_iso_8859_3},
    {"csisolatin4", e_iso_8859_4},
    {"csisolatin5", e_windows_1254},
    {"csisolatin6", e_iso_8859_10},
    {"csisolatin9", e_iso_8859_15},
    {"csisolatinarabic", e_iso_8859_6},
    {"csisolatincyrillic", e_iso_8859_5},
    {"csisolatingreek", e_iso_8859_7},
    {"csisolatinhebrew", e_iso_8859_8},
    {"cskoi8r", e_koi8_r},
    {"csksc56011987", e_euc_kr},
    {"csmacintosh", e_macintosh},
    {"csshiftjis", e_shift_jis},
    {"csunicode", e_utf_16le},
    {"cyrillic", e_iso_8859_5},
    {"dos-874", e_windows_874},
    {"ecma-114", e_iso_8859_6},
    {"ecma-118", e_iso_8859_7},
    {"elot_928", e_iso_8859_7},
    {"euc-jp", e_euc_jp},
    {"euc-kr", e_euc_kr},
    {"gb18030", e_gb18030},
    {"gb2312", e_gbk},
    {"gb_2312", e_gbk},
    {"gb_2312-80", e_gbk},
    {"gbk", e_gbk},
    {"greek", e_iso_8859_7},
    {"greek8", e_iso_8859_7},
    {"hebrew", e_iso_8859_8},
    {"hz-gb-2312", e_replacement},
    {"ibm819", e_windows_1252},
    {"ibm866", e_ibm866},
    {"iso-10646-ucs-2", e_utf_16le},
    {"iso-2022-cn", e_replacement},
    {"iso-2022-cn-ext", e_replacement},
    {"iso-2022-jp", e_iso_2022_jp},
    {"iso-2022-kr", e_replacement},
    {"iso-8859-1", e_windows_1252},
    {"iso-8859-10", e_iso_8859_10},
    {"iso-8859-11", e_windows_874},
    {"iso-8859-13", e_iso_8859_13},
    {"iso-8859-14", e_iso_8859_14},
    {"iso-8859-15", e_iso_8859_15},
    {"iso-8859-16", e_iso_8859_16},
    {"iso-8859-2", e_iso_8859_2},
    {"iso-8859-3", e_iso_8859_3},
    {"iso-8859-4", e_iso_8859_4},
    {"iso-8859-5", e_iso_8859_5},
    {"iso-8859-6", e_iso_8859_6},
    {"iso-8859-6-e", e_iso_8859_6},
    {"iso-8859-6-i", e_iso_8859_6},
    {"iso-8859-7", e_iso_8859_7},
    {"iso-8859-8", e_iso_8859_8},
    {"iso-8859-8-e", e_iso_8859_8},
    {"iso-8859-8-i", e_iso_8859_8_i},
    {"iso-8859-9", e_windows_1254},
    {"iso-ir-100", e_windows_1252},
    {"iso-ir-101", e_iso_8859_2},
    {"iso-ir-109", e_iso_8859_3},
    {"iso-ir-110", e_iso_8859_4},
    {"iso-ir-126", e_iso_8859_7},
    {"iso-ir-127", e_iso_8859_6},
    {"iso-ir-138", e_iso_8859_8},
    {"iso-ir-144", e_iso_8859_5},
    {"iso-ir-148", e_windows_1254},
    {"iso-ir-149", e_euc_kr},
    {"iso-ir-157", e_iso_8859_10},
    {"iso-ir-58", e_gbk},
    {"iso8859-1", e_windows_1252},
    {"iso8859-10", e_iso_8859_10},
    {"iso8859-11", e_windows_874},
    {"iso8859-13", e_iso_8859_13},
    {"iso8859-14", e_iso_8859_14},
    {"iso8859-15", e_iso_8859_15},
    {"iso8859-2", e_iso_8859_2},
    {"iso8859-3", e_iso_8859_3},
    {"iso8859-4", e_iso_8859_4},
    {"iso8859-5", e_iso_8859_5},
    {"iso8859-6", e_iso_8859_6},
    {"iso8859-7", e_iso_8859_7},
    {"iso8859-8", e_iso_8859_8},
    {"iso8859-9", e_windows_1254},
    {"iso88591", e_windows_1252},
    {"iso885910", e_iso_8859_10},
    {"iso885911", e_windows_874},
    {"iso885913", e_iso_8859_13},
    {"iso885914", e_iso_8859_14},
    {"iso885915", e_iso_8859_15},
    {"iso88592", e_iso_8859_2},
    {"iso88593", e_iso_8859_3},
    {"iso88594", e_iso_8859_4},
    {"iso88595", e_iso_8859_5},
    {"iso88596", e_iso_8859_6},
    {"iso88597", e_iso_8859_7},
    {"iso88598", e_iso_8859_8},
    {"iso88599", e_windows_1254},
    {"iso_8859-1", e_windows_1252},
    {"iso_8859-15", e_iso_8859_15},
    {"iso_8859-1:1987", e_windows_1252},
    {"iso_8859-2", e_iso_8859_2},
    {"iso_8859-2:1987", e_iso_8859_2},
    {"iso_8859-3", e_iso_8859_3},
    {"iso_8859-3:1988", e_iso_8859_3},
    {"iso_8859-4", e_iso_8859_4},
    {"iso_8859-4:1988", e_iso_8859_4},
    {"iso_8859-5", e_iso_8859_5},
    {"iso_8859-5:1988", e_iso_8859_5},
    {"iso_8859-6", e_iso_8859_6},
    {"iso_8859-6:1987", e_iso_8859_6},
    {"iso_8859-7", e_iso_8859_7},
    {"iso_8859-7:1987", e_iso_8859_7},
    {"iso_8859-8", e_iso_8859_8},
    {"iso_8859-8:1988", e_iso_8859_8},
    {"iso_8859-9", e_windows_1254},
    {"iso_8859-9:1989", e_windows_1254},
    {"koi", e_koi8_r},
    {"koi8", e_koi8_r},
    {"koi8-r", e_koi8_r},
    {"koi8-ru", e_koi8_u},
    {"koi8-u", e_koi8_u},
    {"koi8_r", e_koi8_r},
    {"korean", e_euc_kr},
    {"ks_c_5601-1987", e_euc_kr},
    {"ks_c_5601-1989", e_euc_kr},
    {"ksc5601", e_euc_kr},
    {"ksc_5601", e_euc_kr},
    {"l1", e_windows_1252},
    {"l2", e_iso_8859_2},
    {"l3", e_iso_8859_3},
    {"l4", e_iso_8859_4},
    {"l5", e_windows_1254},
    {"l6", e_iso_8859_10},
    {"l9", e_iso_8859_15},
    {"latin1", e_windows_1252},
    {"latin2", e_iso_8859_2},
    {"latin3", e_iso_8859_3},
    {"latin4", e_iso_8859_4},
    {"latin5", e_windows_1254},
    {"latin6", e_iso_8859_10},
    {"logical", e_iso_8859_8_i},
    {"mac", e_macintosh},
    {"macintosh", e_macintosh},
    {"ms932", e_shift_jis},
    {"ms_kanji", e_shift_jis},
    {"replacement", e_replacement},
    {"shift-jis", e_shift_jis},
    {"shift_jis", e_shift_jis},
    {"sjis", e_shift_jis},
    {"sun_eu_greek", e_iso_8859_7},
    {"tis-620", e_windows_874},
    {"ucs-2", e_utf_16le},
    {"unicode", e_utf_16le},
    {"unicode-1-1-utf-8", e_utf_8},
    {"unicode11utf8", e_utf_8},
    {"unicode20utf8", e_utf_8},
    {"unicodefeff", e_utf_16le},
    {"unicodefffe", e_utf_16be},
    {"us-ascii", e_windows_1252},
    {"utf-16", e_utf_16le},
    {"utf-16be", e_utf_16be},
    {"utf-16le", e_utf_16le},
    {"utf-8", e_utf_8},
    {"utf8", e_utf_8},
    {"visual", e_iso_8859_8},
    {"windows-1250", e_windows_1250},
    {"windows-1251", e_windows_1251},
    {"windows-1252", e_windows_1252},
    {"windows-1253", e_windows_1253},
    {"windows-1254", e_windows_1254},
    {"windows-1255", e_windows_1255},
    {"windows-1256", e_windows_1256},
    {"windows-1257", e_windows_1257},
    {"windows-1258", e_windows_1258},
    {"windows-31j", e_shift_jis},
    {"windows-874", e_windows_874},
    {"windows-949", e_euc_kr},
    {"x-cp1250", e_windows_1250},
    {"x-cp1251", e_windows_1251},
    {"x-cp1252", e_windows_1252},
    {"x-cp1253", e_windows_1253},
    {"x-cp1254", e_windows_1254},
    {"x-cp1255", e_windows_1255},
    {"x-cp1256", e_windows_1256},
    {"x-cp1257", e_windows_1257},
    {"x-cp1258", e_windows_1258},
    {"x-euc-jp", e_euc_jp},
    {"x-gbk", e_gbk},
    {"x-mac-cyrillic", e_x_mac_cyrillic},
    {"x-mac-roman", e_macintosh},
    {"x-mac-ukrainian", e_x_mac_cyrillic},
    {"x-sjis", e_shift_jis},
    {"x-unicode20utf8", e_utf_8},
    {"x-user-defined", e_x_user_defined},
    {"x-x-big5", e_big5},
};

static_assert(std::ranges::is_sorted(k_labels, {}, &label::text));

// Blanks of XML, around and between the declaration's parts.
bool is_xml_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The value of the `encoding` part of the XML declaration that opens [p, p+n), or an empty view
// when there is no declaration, no such part or nothing readable within k_max_declaration bytes.
string_view declared_label(const unsigned char *p, size_t n) {
  n = std::min(n, k_max_declaration);
  if (n < 6 || std::memcmp(p, "<?xml", 5) != 0 || !is_xml_blank(p[5])) return {};
  size_t i = 6;
  for (;;) {
    while (i < n && is_xml_blank(p[i])) i++;
    size_t name = i;
    while (i < n && ((p[i] | 0x20) >= 'a' && (p[i] | 0x20) <= 'z')) i++;
    size_t name_end = i;
    while (i < n && is_xml_blank(p[i])) i++;
    if (name == name_end || i >= n || p[i] != '=') return {};
    i++;
    while (i < n && is_xml_blank(p[i])) i++;
    if (i >= n || (p[i] != '"' && p[i] != '\'')) return {};
    const auto *close = static_cast<const unsigned char *>(std::memchr(p + i + 1, p[i], n - i - 1));
    if (!close) return {};
    string_view value(reinterpret_cast<const char *>(p + i + 1), close - (p + i + 1));
    if (string_view(reinterpret_cast<const char *>(p + name), name_end - name) == "encoding") {
      return value;
    }
    i = close - p + 1;
  }
}

// The encoding a label names (ASCII case and the standard's blanks around it ignored), or e_count.
encoding_id lookup_label(string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  char lower[24];  // the longest label has 19 bytes
  if (text.empty() || text.size() > sizeof lower) return e_count;
  for (size_t i = 0; i < text.size(); i++) {
    lower[i] = static_cast<char>(vepod_ascii_lower(static_cast<unsigned char>(text[i])));
  }
  string_view key(lower, text.size());
  const label *it = std::ranges::lower_bound(k_labels, key, {}, &label::text);
  return it != std::end(k_labels) && it->text == key ? it->id : e_count;
}

// The encoding of a document and where its text starts: by byte order mark, else by declaration.
encoding_id detect(const unsigned char *data, size_t len, size_t *start) {
  if (len >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF))) {
    *start = 2;
    return data[0] == 0xFF ? e_utf_16le : e_utf_16be;
  }
  *start = len >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
  encoding_id id = lookup_label(declared_label(data + *start, len - *start));
  // A label alone cannot name UTF-16: bytes whose declaration reads as ASCII are not UTF-16.
  if (id == e_count || id == e_utf_16be || id == e_utf_16le || !readable(id)) return e_count;
  return id;
}

}  // namespace

vepod_code vepod_decode_document(const unsigned char *data, size_t len, char **out, size_t *out_len,
                                 vepod_failure *failure) {
  *out = nullptr;
  *out_len = 0;
  size_t start;
  encoding_id id = detect(data, len, &start);
  if (id == e_count) return VEPOD_OK;
  size_t cap = k_growth * (len - start) + 1;  // never a zero-size block
  vepod_heap_text text(static_cast<char *>(vepod_malloc(cap)));
  if (!text) {
    vepod_failure_oom(failure);
    return failure->code;
  }
  size_t n = 0;
  switch (convert(id, data + start, data + len, text.get(), &n)) {
    case converted::ok:
      break;
    case converted::out_of_memory:
      vepod_failure_oom(failure);
      return failure->code;
    case converted::no_converter:
      vepod_failure_set(failure, VEPOD_ERR_NO_DATA, "no converter for %s", k_names[id]);
      return failure->code;
    case converted::invalid:
      vepod_failure_set(failure, VEPOD_ERR_NO_DATA, "invalid byte sequence for %s", k_names[id]);
      vepod_failure_place(failure, reinterpret_cast<const unsigned char *>(text.get()), n);
      return failure->code;
  }
  *out = text.release();
  *out_len = n;
  return VEPOD_OK;
}

bool vepod_decode_names_encoding(const unsigned char *data, size_t len) {
  size_t start;
  return detect(data, len, &start) != e_count;
}

bool vepod_decode_despite_utf8(const unsigned char *data, size_t len) {
  if (len == 0 || data[0] != '<') return false;  // most documents stop here or at the label
  return lookup_label(declared_label(data, len)) == e_iso_2022_jp && std::memchr(data, 0x1B, len);
}
