// The decoder's converter through the C library's iconv(3). Where glibc's converter and the
// Encoding Standard's index for an encoding disagree, the standard's reading wins through the fixes
// listed with the encoding.

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>

#include "util/vepod_encoding.h"

namespace {

using namespace vepod_encoding;

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
};

struct codec {
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
    {nullptr, 0, {}},
    {"IBM866", k_sb, {}},
    {"ISO-8859-2", k_sb, {}},
    {"ISO-8859-3", k_sb, {}},
    {"ISO-8859-4", k_sb, {}},
    {"ISO-8859-5", k_sb, {}},
    {"ISO-8859-6", k_sb, {}},
    {"ISO-8859-7", k_sb, {}},
    {"ISO-8859-8", k_sb, {}},
    // The same bytes as ISO-8859-8; logical order only matters for display.
    {"ISO-8859-8", k_sb, {}},
    {"ISO-8859-10", k_sb, {}},
    {"ISO-8859-13", k_sb, {}},
    {"ISO-8859-14", k_sb, {}},
    {"ISO-8859-15", k_sb, {}},
    {"ISO-8859-16", k_sb, {}},
    {"KOI8-R", k_sb, {}},
    // The standard's KOI8-U has the Belarusian short U where glibc has two box-drawing characters.
    {"KOI8-U", k_sb, k_koi8_u_fixes},
    // glibc keeps Apple's older readings of 0xC6 (Greek delta) and 0xF0 (another private use).
    {"MACINTOSH", k_sb, k_macintosh_fixes},
    // The windows-* converters refuse the bytes Windows leaves unassigned; the standard reads
    // them as the C1 controls of the same value.
    {"CP874", k_win, {}},
    {"CP1250", k_win, {}},
    {"CP1251", k_win, {}},
    {"CP1252", k_win, {}},
    {"CP1253", k_win, {}},
    {"CP1254", k_win, {}},
    // glibc lacks the later HOLAM HASER at 0xCA. It also joins a letter and a following mark into
    // the precomposed character, as it does for windows-1258: the same text, canonically.
    {"CP1255", k_win, k_windows_1255_fixes},
    {"CP1256", k_win, {}},
    {"CP1257", k_win, {}},
    {"CP1258", k_win, {}},
    // glibc has the currency sign at 0xFF where Apple's later table and the standard have €.
    {"MAC-CYRILLIC", k_sb, k_x_mac_cyrillic_fixes},
    // The standard reads GBK with its gb18030 decoder; both read a lone 0x80 as the euro.
    {"GB18030", 0, k_gb18030_fixes},
    {"GB18030", 0, k_gb18030_fixes},
    // The standard's Big5 is Big5 with the Hong Kong supplement and Windows' euro at 0xA3E1.
    {"BIG5-HKSCS", 0, k_big5_fixes},
    // The standard's EUC-JP index holds the NEC and IBM rows of Windows' code page; glibc's
    // EUC-JP refuses them (circled digits, roman numerals), EUC-JP-MS reads them. Its readings of
    // a few symbols (wave dash as U+FF5E, minus as U+FF0D) are Windows' rather than the standard's.
    {"EUC-JP-MS", 0, {}},
    // glibc passes an escape sequence it does not know on as text, so a document with one is
    // refused here: as the standard does, except for its half-width katakana escape (rare).
    {"ISO-2022-JP", f_no_escapes, {}},
    // The standard's Shift_JIS is Windows' code page 932: ASCII at 0x5C and 0x7E (glibc's
    // SHIFT_JIS has the yen sign and overline there) and the NEC and IBM rows; a lone 0x80 is
    // U+0080. CP932's readings of a few symbols are Windows' (as for EUC-JP).
    {"CP932", 0, k_shift_jis_fixes},
    // The standard's EUC-KR is Windows' code page 949 with the Unified Hangul Code.
    {"CP949", 0, {}},
    // Decodes every document to one U+FFFD: nothing to read.
    {nullptr, 0, {}},
    {"UTF-16BE", 0, {}},
    {"UTF-16LE", 0, {}},
    // Bytes 0x80-0xFF as private-use characters: no text to read.
    {nullptr, 0, {}},
};

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
bool convert_with(const codec &c, iconv_t cd, const unsigned char *p, const unsigned char *end,
                  char **o, size_t *room) {
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

bool vepod_encoding::readable(encoding_id id) { return k_codecs[id].glibc_name != nullptr; }

converted vepod_encoding::convert(encoding_id id, const unsigned char *p, const unsigned char *end,
                                  char *out, size_t *written) {
  const codec &c = k_codecs[id];
  iconv_t cd = iconv_open("UTF-8", c.glibc_name);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    return errno == ENOMEM ? converted::out_of_memory : converted::no_converter;
  }
  converter owner{cd};
  char *o = out;
  size_t cap = k_growth * static_cast<size_t>(end - p);
  size_t room = cap;
  bool ok = convert_with(c, cd, p, end, &o, &room);
  *written = cap - room;
  if (ok && (c.flags & f_no_escapes)) {
    const char *escape =
        std::find_if(out, o, [](char b) { return b == 0x1B || b == 0x0E || b == 0x0F; });
    ok = escape == o;
    *written = static_cast<size_t>(escape - out);
  }
  return ok ? converted::ok : converted::invalid;
}
