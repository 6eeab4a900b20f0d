// Legacy and UTF-16 feed documents decoded into UTF-8 through the C library's iconv(3).
//
// A declared label is resolved through the complete label table of the WHATWG Encoding Standard
// (the web's encodings) to one encoding, and only the converter names of the table below are ever
// opened: a label from the document never reaches iconv_open. Where glibc's converter and the
// standard's index for an encoding disagree, the standard's reading wins through the fixes listed
// with the encoding.
//
// Most of the file's length is those two tables (228 labels, 35 encodings); the code is short.

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "util/vepod_util.h"

namespace {

using std::string_view;

// Bytes of the XML declaration searched for its encoding label; real declarations take about 40.
constexpr size_t k_max_declaration = 256;
// Output room per input byte: a single byte becomes at most a three-byte BMP character, and no
// multi-byte or UTF-16 sequence of n bytes becomes more than 2 * n bytes of UTF-8.
constexpr size_t k_growth = 3;

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

// A byte (trail 0) or byte pair that the standard's index reads as cp where glibc reads another
// character or refuses it.
struct fix {
  unsigned char lead;
  unsigned char trail;
  char32_t cp;
};

enum : uint8_t {
  f_single_byte = 1,  // fixes are applied before the converter sees the byte
  f_c1_gaps = 2,      // a byte 0x80-0x9F the converter refuses is the C1 control of that value
  f_no_escapes = 4,   // ESC, SO or SI left in the output mark an escape sequence glibc passed on
  f_bom_only = 8,     // read only after its byte order mark
};

struct codec {
  const char *name;        // as the standard writes it; names the encoding in messages
  const char *glibc_name;  // the converter opened, or NULL for an encoding never decoded here
  uint8_t flags;
  std::span<const fix> fixes;
};

constexpr fix k_koi8_u_fixes[] = {{0xAE, 0, 0x045E}, {0xBE, 0, 0x040E}};
constexpr fix k_macintosh_fixes[] = {{0xC6, 0, 0x2206}, {0xF0, 0, 0xF8FF}};
constexpr fix k_windows_1255_fixes[] = {{0xCA, 0, 0x05BA}};
constexpr fix k_x_mac_cyrillic_fixes[] = {{0xFF, 0, 0x20AC}};
constexpr fix k_gb18030_fixes[] = {{0x80, 0, 0x20AC}};
constexpr fix k_big5_fixes[] = {{0xA3, 0xE1, 0x20AC}};
constexpr fix k_shift_jis_fixes[] = {{0x80, 0, 0x0080}};

constexpr uint8_t k_sb = f_single_byte;
constexpr uint8_t k_win = f_single_byte | f_c1_gaps;

// Unless noted, glibc's single-byte converter reads every byte as the standard's index does and
// refuses exactly the bytes the index leaves undefined.
constexpr codec k_codecs[e_count] = {
    // The document already failed the UTF-8 check.
    {"UTF-8", nullptr, 0, {}},
    {"IBM866", "IBM866", k_sb, {}},
    {"ISO-8859-2", "ISO-8859-2", k_sb, {}},
    {"ISO-8859-3", "ISO-8859-3", k_sb, {}},
    {"ISO-8859-4", "ISO-8859-4", k_sb, {}},
    {"ISO-8859-5", "ISO-8859-5", k_sb, {}},
    {"ISO-8859-6", "ISO-8859-6", k_sb, {}},
    {"ISO-8859-7", "ISO-8859-7", k_sb, {}},
    {"ISO-8859-8", "ISO-8859-8", k_sb, {}},
    // The same bytes as ISO-8859-8; logical order only matters for display.
    {"ISO-8859-8-I", "ISO-8859-8", k_sb, {}},
    {"ISO-8859-10", "ISO-8859-10", k_sb, {}},
    {"ISO-8859-13", "ISO-8859-13", k_sb, {}},
    {"ISO-8859-14", "ISO-8859-14", k_sb, {}},
    {"ISO-8859-15", "ISO-8859-15", k_sb, {}},
    {"ISO-8859-16", "ISO-8859-16", k_sb, {}},
    {"KOI8-R", "KOI8-R", k_sb, {}},
    // The standard's KOI8-U has the Belarusian short U where glibc has two box-drawing characters.
    {"KOI8-U", "KOI8-U", k_sb, k_koi8_u_fixes},
    // glibc keeps Apple's older readings of 0xC6 (Greek delta) and 0xF0 (another private use).
    {"macintosh", "MACINTOSH", k_sb, k_macintosh_fixes},
    // The windows-* converters refuse the bytes Windows leaves unassigned; the standard reads
    // them as the C1 controls of the same value.
    {"windows-874", "CP874", k_win, {}},
    {"windows-1250", "CP1250", k_win, {}},
    {"windows-1251", "CP1251", k_win, {}},
    {"windows-1252", "CP1252", k_win, {}},
    {"windows-1253", "CP1253", k_win, {}},
    {"windows-1254", "CP1254", k_win, {}},
    // glibc lacks the later HOLAM HASER at 0xCA. It also joins a letter and a following mark into
    // the precomposed character, as it does for windows-1258: the same text, canonically.
    {"windows-1255", "CP1255", k_win, k_windows_1255_fixes},
    {"windows-1256", "CP1256", k_win, {}},
    {"windows-1257", "CP1257", k_win, {}},
    {"windows-1258", "CP1258", k_win, {}},
    // glibc has the currency sign at 0xFF where Apple's later table and the standard have €.
    {"x-mac-cyrillic", "MAC-CYRILLIC", k_sb, k_x_mac_cyrillic_fixes},
    // The standard reads GBK with its gb18030 decoder; both read a lone 0x80 as the euro.
    {"GBK", "GB18030", 0, k_gb18030_fixes},
    {"gb18030", "GB18030", 0, k_gb18030_fixes},
    // The standard's Big5 is Big5 with the Hong Kong supplement and Windows' euro at 0xA3E1.
    {"Big5", "BIG5-HKSCS", 0, k_big5_fixes},
    // The standard's EUC-JP index holds the NEC and IBM rows of Windows' code page; glibc's
    // EUC-JP refuses them (circled digits, roman numerals), EUC-JP-MS reads them. Its readings of
    // a few symbols (wave dash as U+FF5E, minus as U+FF0D) are Windows' rather than the standard's.
    {"EUC-JP", "EUC-JP-MS", 0, {}},
    // glibc passes an escape sequence it does not know on as text, so a document with one is
    // refused here: as the standard does, except for its half-width katakana escape (rare).
    {"ISO-2022-JP", "ISO-2022-JP", f_no_escapes, {}},
    // The standard's Shift_JIS is Windows' code page 932: ASCII at 0x5C and 0x7E (glibc's
    // SHIFT_JIS has the yen sign and overline there) and the NEC and IBM rows; a lone 0x80 is
    // U+0080. CP932's readings of a few symbols are Windows' (as for EUC-JP).
    {"Shift_JIS", "CP932", 0, k_shift_jis_fixes},
    // The standard's EUC-KR is Windows' code page 949 with the Unified Hangul Code.
    {"EUC-KR", "CP949", 0, {}},
    // Decodes every document to one U+FFFD: nothing to read.
    {"replacement", nullptr, 0, {}},
    // A label alone cannot name UTF-16: bytes whose declaration reads as ASCII are not UTF-16.
    {"UTF-16BE", "UTF-16BE", f_bom_only, {}},
    {"UTF-16LE", "UTF-16LE", f_bom_only, {}},
    // Bytes 0x80-0xFF as private-use characters: no text to read.
    {"x-user-defined", nullptr, 0, {}},
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
  if (id == e_count || !k_codecs[id].glibc_name || (k_codecs[id].flags & f_bom_only))
    return e_count;
  return id;
}

// Closes an open converter when the conversion ends, on every path.
struct converter {
  iconv_t cd;
  ~converter() { iconv_close(cd); }
};

// Appends cp (below U+10000) as UTF-8 at *o; false when the room is gone.
bool put_bmp(char32_t cp, char **o, size_t *room) {
  char buf[3];
  size_t n = 0;
  if (cp < 0x80) {
    buf[n++] = static_cast<char>(cp);
  } else if (cp < 0x800) {
    buf[n++] = static_cast<char>(0xC0 | cp >> 6);
    buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    buf[n++] = static_cast<char>(0xE0 | cp >> 12);
    buf[n++] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
  }
  if (*room < n) return false;
  std::memcpy(*o, buf, n);
  *o += n;
  *room -= n;
  return true;
}

// The fix for the sequence at [p, end), or NULL.
const fix *fix_at(const codec &c, const unsigned char *p, const unsigned char *end) {
  for (const fix &f : c.fixes) {
    if (p[0] == f.lead && (f.trail == 0 || (end - p > 1 && p[1] == f.trail))) return &f;
  }
  return nullptr;
}

// The first byte in [p, end) that a single-byte codec's fixes read, or end.
const unsigned char *next_fixed(const codec &c, const unsigned char *p, const unsigned char *end) {
  if (c.fixes.empty()) return end;
  for (; p < end; p++) {
    if (fix_at(c, p, end)) return p;
  }
  return end;
}

// Converts [p, end) into the room at *o, applying the codec's fixes; false on a sequence the
// encoding does not allow (a truncated one included).
bool convert(const codec &c, iconv_t cd, const unsigned char *p, const unsigned char *end, char **o,
             size_t *room) {
  // A converter may hold back a character to join it with a following mark: it is flushed before
  // anything is written past it.
  auto flush = [&] { return iconv(cd, nullptr, nullptr, o, room) != static_cast<size_t>(-1); };
  while (p < end) {
    const unsigned char *stop = (c.flags & f_single_byte) ? next_fixed(c, p, end) : end;
    auto *in = reinterpret_cast<char *>(const_cast<unsigned char *>(p));
    size_t in_left = static_cast<size_t>(stop - p);
    while (in_left > 0 && iconv(cd, &in, &in_left, o, room) == static_cast<size_t>(-1)) {
      // Only a refused sequence can be one the standard reads; a truncated one never is.
      if (errno != EILSEQ) return false;
      auto *at = reinterpret_cast<const unsigned char *>(in);
      const fix *f = fix_at(c, at, stop);
      bool gap = (c.flags & f_c1_gaps) && *at >= 0x80 && *at <= 0x9F;
      if (!(f || gap) || !flush() || !put_bmp(f ? f->cp : *at, o, room)) return false;
      size_t used = f && f->trail ? 2 : 1;
      in += used;
      in_left -= used;
    }
    p = stop;
    if (stop < end) {
      if (!flush() || !put_bmp(fix_at(c, stop, end)->cp, o, room)) return false;
      p++;
    }
  }
  return flush();
}

}  // namespace

vepod_decode_status vepod_decode_document(const unsigned char *data, size_t len, char **out,
                                          size_t *out_len, char *err, size_t err_size) {
  *out = nullptr;
  *out_len = 0;
  size_t start;
  encoding_id id = detect(data, len, &start);
  if (id == e_count) return vepod_decode_not_applicable;
  const codec &c = k_codecs[id];
  size_t cap = k_growth * (len - start) + 1;  // never a zero-size block
  vepod_heap_text text(static_cast<char *>(vepod_malloc(cap)));
  if (!text) return vepod_decode_out_of_memory;
  iconv_t cd = iconv_open("UTF-8", c.glibc_name);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    if (errno == ENOMEM) return vepod_decode_out_of_memory;
    vepod_put_err(err, static_cast<int64_t>(err_size), "no converter for %s", c.name);
    return vepod_decode_invalid;
  }
  converter owner{cd};
  char *o = text.get();
  size_t room = cap;
  bool ok = convert(c, cd, data + start, data + len, &o, &room);
  size_t n = cap - room;
  if (ok && (c.flags & f_no_escapes)) {
    ok = std::none_of(text.get(), text.get() + n,
                      [](char b) { return b == 0x1B || b == 0x0E || b == 0x0F; });
  }
  if (!ok) {
    vepod_put_err(err, static_cast<int64_t>(err_size), "invalid byte sequence for %s", c.name);
    return vepod_decode_invalid;
  }
  *out = text.release();
  *out_len = n;
  return vepod_decode_ok;
}

bool vepod_decode_despite_utf8(const unsigned char *data, size_t len) {
  if (len == 0 || data[0] != '<') return false;  // most documents stop here or at the label
  return lookup_label(declared_label(data, len)) == e_iso_2022_jp && std::memchr(data, 0x1B, len);
}
