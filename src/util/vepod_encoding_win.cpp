// The decoder's converter on Windows: the system's code pages through MultiByteToWideChar, read
// as the Encoding Standard reads them through the fixes listed with each encoding. Where Windows
// has no code page for an encoding (ISO-8859-10, -14 and -16) it is its closest code page with the
// differing bytes as fixes; gb18030's four-byte sequences, EUC-JP's three-byte ones and the escape
// sequences of ISO-2022-JP are read here around the code pages, which cover two-byte characters.
//
// The readings match those of the iconv converter; what Windows lacks is refused, never guessed:
// the Hong Kong supplement and the ETEN extensions of Big5 (but the supplement's four pairs that
// read as two characters).

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>

#include "util/vepod_alloc.h"
#include "util/vepod_encoding.h"
#include "util/vepod_utf8.h"

namespace {

using namespace vepod_encoding;

// A byte (trail 0) or byte pair that the standard reads as cp (and cp2 after it, when not 0) where
// the code page reads another character or refuses it; cp 0: the standard refuses it.
struct fix {
  unsigned char lead;
  unsigned char trail;
  char32_t cp;
  char32_t cp2 = 0;
};

constexpr bool fix_before(const fix &a, const fix &b) {
  return a.lead < b.lead || (a.lead == b.lead && a.trail < b.trail);
}

enum how : uint8_t {
  h_none,         // not read here
  h_single_byte,  // a table of the code page's readings of 0x80-0xFF with the fixes applied
  h_double_byte,  // one or two bytes per character, as the code page's lead bytes say
  h_gb18030,      // double-byte, and four-byte sequences through the standard's ranges
  h_euc_jp,       // JIS X 0208 through the same rows and cells of Shift_JIS; JIS X 0212 too
  h_iso_2022_jp,  // escape sequences switch between ASCII, JIS-Roman and JIS X 0208
  h_utf_16be,
  h_utf_16le,
};

enum : uint8_t {
  f_c1_gaps = 1,  // a byte 0x80-0x9F the code page refuses is the C1 control of that value
  f_no_pua = 2,   // a private-use reading is the code page's user-defined area: refused
  // A letter and the marks after it are joined into precomposed characters (normalisation form C),
  // as the iconv converter joins them: the same text, canonically.
  f_compose = 4,
};

struct codec {
  how how;
  uint16_t code_page;
  uint8_t flags;
  std::span<const fix> fixes;
};

// Sorted by lead and trail byte. Found by reading every byte and byte pair of each encoding on
// both platforms.
constexpr fix k_iso_8859_7_fixes[] = {
    {0xA1, 0, 0x2018}, {0xA2, 0, 0x2019}, {0xA4, 0, 0x20AC}, {0xA5, 0, 0x20AF}, {0xAA, 0, 0x037A}};
constexpr fix k_iso_8859_8_fixes[] = {{0xAF, 0, 0x00AF}, {0xFD, 0, 0x200E}, {0xFE, 0, 0x200F}};
// Windows has no code page for ISO-8859-10, -14 and -16: Latin-1 with the bytes that differ.
constexpr fix k_iso_8859_10_fixes[] = {
    {0xA1, 0, 0x0104}, {0xA2, 0, 0x0112}, {0xA3, 0, 0x0122}, {0xA4, 0, 0x012A}, {0xA5, 0, 0x0128},
    {0xA6, 0, 0x0136}, {0xA8, 0, 0x013B}, {0xA9, 0, 0x0110}, {0xAA, 0, 0x0160}, {0xAB, 0, 0x0166},
    {0xAC, 0, 0x017D}, {0xAE, 0, 0x016A}, {0xAF, 0, 0x014A}, {0xB1, 0, 0x0105}, {0xB2, 0, 0x0113},
    {0xB3, 0, 0x0123}, {0xB4, 0, 0x012B}, {0xB5, 0, 0x0129}, {0xB6, 0, 0x0137}, {0xB8, 0, 0x013C},
    {0xB9, 0, 0x0111}, {0xBA, 0, 0x0161}, {0xBB, 0, 0x0167}, {0xBC, 0, 0x017E}, {0xBD, 0, 0x2015},
    {0xBE, 0, 0x016B}, {0xBF, 0, 0x014B}, {0xC0, 0, 0x0100}, {0xC7, 0, 0x012E}, {0xC8, 0, 0x010C},
    {0xCA, 0, 0x0118}, {0xCC, 0, 0x0116}, {0xD1, 0, 0x0145}, {0xD2, 0, 0x014C}, {0xD7, 0, 0x0168},
    {0xD9, 0, 0x0172}, {0xE0, 0, 0x0101}, {0xE7, 0, 0x012F}, {0xE8, 0, 0x010D}, {0xEA, 0, 0x0119},
    {0xEC, 0, 0x0117}, {0xF1, 0, 0x0146}, {0xF2, 0, 0x014D}, {0xF7, 0, 0x0169}, {0xF9, 0, 0x0173},
    {0xFF, 0, 0x0138}};
constexpr fix k_iso_8859_14_fixes[] = {
    {0xA1, 0, 0x1E02}, {0xA2, 0, 0x1E03}, {0xA4, 0, 0x010A}, {0xA5, 0, 0x010B}, {0xA6, 0, 0x1E0A},
    {0xA8, 0, 0x1E80}, {0xAA, 0, 0x1E82}, {0xAB, 0, 0x1E0B}, {0xAC, 0, 0x1EF2}, {0xAF, 0, 0x0178},
    {0xB0, 0, 0x1E1E}, {0xB1, 0, 0x1E1F}, {0xB2, 0, 0x0120}, {0xB3, 0, 0x0121}, {0xB4, 0, 0x1E40},
    {0xB5, 0, 0x1E41}, {0xB7, 0, 0x1E56}, {0xB8, 0, 0x1E81}, {0xB9, 0, 0x1E57}, {0xBA, 0, 0x1E83},
    {0xBB, 0, 0x1E60}, {0xBC, 0, 0x1EF3}, {0xBD, 0, 0x1E84}, {0xBE, 0, 0x1E85}, {0xBF, 0, 0x1E61},
    {0xD0, 0, 0x0174}, {0xD7, 0, 0x1E6A}, {0xDE, 0, 0x0176}, {0xF0, 0, 0x0175}, {0xF7, 0, 0x1E6B},
    {0xFE, 0, 0x0177}};
constexpr fix k_iso_8859_16_fixes[] = {
    {0xA1, 0, 0x0104}, {0xA2, 0, 0x0105}, {0xA3, 0, 0x0141}, {0xA4, 0, 0x20AC}, {0xA5, 0, 0x201E},
    {0xA6, 0, 0x0160}, {0xA8, 0, 0x0161}, {0xAA, 0, 0x0218}, {0xAC, 0, 0x0179}, {0xAE, 0, 0x017A},
    {0xAF, 0, 0x017B}, {0xB2, 0, 0x010C}, {0xB3, 0, 0x0142}, {0xB4, 0, 0x017D}, {0xB5, 0, 0x201D},
    {0xB8, 0, 0x017E}, {0xB9, 0, 0x010D}, {0xBA, 0, 0x0219}, {0xBC, 0, 0x0152}, {0xBD, 0, 0x0153},
    {0xBE, 0, 0x0178}, {0xBF, 0, 0x017C}, {0xC3, 0, 0x0102}, {0xC5, 0, 0x0106}, {0xD0, 0, 0x0110},
    {0xD1, 0, 0x0143}, {0xD5, 0, 0x0150}, {0xD7, 0, 0x015A}, {0xD8, 0, 0x0170}, {0xDD, 0, 0x0118},
    {0xDE, 0, 0x021A}, {0xE3, 0, 0x0103}, {0xE5, 0, 0x0107}, {0xF0, 0, 0x0111}, {0xF1, 0, 0x0144},
    {0xF5, 0, 0x0151}, {0xF7, 0, 0x015B}, {0xF8, 0, 0x0171}, {0xFD, 0, 0x0119}, {0xFE, 0, 0x021B}};
// The Apple logo, and the Greek omega where Windows has the ohm sign.
constexpr fix k_macintosh_fixes[] = {{0xBD, 0, 0x03A9}, {0xF0, 0, 0xF8FF}};
// Windows' code page is the older Mac Cyrillic; the standard's is Mac Ukrainian, with the euro.
constexpr fix k_x_mac_cyrillic_fixes[] = {{0xA2, 0, 0x0490}, {0xB6, 0, 0x0491}, {0xFF, 0, 0x20AC}};
// The characters gb18030 gave codes where GBK has private-use ones.
constexpr fix k_gbk_fixes[] = {
    {0xA2, 0xE3, 0x20AC},  {0xA6, 0xD9, 0xFE10},  {0xA6, 0xDA, 0xFE12},  {0xA6, 0xDB, 0xFE11},
    {0xA6, 0xDC, 0xFE13},  {0xA6, 0xDD, 0xFE14},  {0xA6, 0xDE, 0xFE15},  {0xA6, 0xDF, 0xFE16},
    {0xA6, 0xEC, 0xFE17},  {0xA6, 0xED, 0xFE18},  {0xA6, 0xF3, 0xFE19},  {0xA8, 0xBC, 0x1E3F},
    {0xA8, 0xBF, 0x01F9},  {0xA9, 0x89, 0x303E},  {0xA9, 0x8A, 0x2FF0},  {0xA9, 0x8B, 0x2FF1},
    {0xA9, 0x8C, 0x2FF2},  {0xA9, 0x8D, 0x2FF3},  {0xA9, 0x8E, 0x2FF4},  {0xA9, 0x8F, 0x2FF5},
    {0xA9, 0x90, 0x2FF6},  {0xA9, 0x91, 0x2FF7},  {0xA9, 0x92, 0x2FF8},  {0xA9, 0x93, 0x2FF9},
    {0xA9, 0x94, 0x2FFA},  {0xA9, 0x95, 0x2FFB},  {0xFE, 0x50, 0x2E81},  {0xFE, 0x51, 0x20087},
    {0xFE, 0x52, 0x20089}, {0xFE, 0x53, 0x200CC}, {0xFE, 0x54, 0x2E84},  {0xFE, 0x55, 0x3473},
    {0xFE, 0x56, 0x3447},  {0xFE, 0x57, 0x2E88},  {0xFE, 0x58, 0x2E8B},  {0xFE, 0x59, 0x9FB4},
    {0xFE, 0x5A, 0x359E},  {0xFE, 0x5B, 0x361A},  {0xFE, 0x5C, 0x360E},  {0xFE, 0x5D, 0x2E8C},
    {0xFE, 0x5E, 0x2E97},  {0xFE, 0x5F, 0x396E},  {0xFE, 0x60, 0x3918},  {0xFE, 0x61, 0x9FB5},
    {0xFE, 0x62, 0x39CF},  {0xFE, 0x63, 0x39DF},  {0xFE, 0x64, 0x3A73},  {0xFE, 0x65, 0x39D0},
    {0xFE, 0x66, 0x9FB6},  {0xFE, 0x67, 0x9FB7},  {0xFE, 0x68, 0x3B4E},  {0xFE, 0x69, 0x3C6E},
    {0xFE, 0x6A, 0x3CE0},  {0xFE, 0x6B, 0x2EA7},  {0xFE, 0x6C, 0x215D7}, {0xFE, 0x6D, 0x9FB8},
    {0xFE, 0x6E, 0x2EAA},  {0xFE, 0x6F, 0x4056},  {0xFE, 0x70, 0x415F},  {0xFE, 0x71, 0x2EAE},
    {0xFE, 0x72, 0x4337},  {0xFE, 0x73, 0x2EB3},  {0xFE, 0x74, 0x2EB6},  {0xFE, 0x75, 0x2EB7},
    {0xFE, 0x76, 0x2298F}, {0xFE, 0x77, 0x43B1},  {0xFE, 0x78, 0x43AC},  {0xFE, 0x79, 0x2EBB},
    {0xFE, 0x7A, 0x43DD},  {0xFE, 0x7B, 0x44D6},  {0xFE, 0x7C, 0x4661},  {0xFE, 0x7D, 0x464C},
    {0xFE, 0x7E, 0x9FB9},  {0xFE, 0x80, 0x4723},  {0xFE, 0x81, 0x4729},  {0xFE, 0x82, 0x477C},
    {0xFE, 0x83, 0x478D},  {0xFE, 0x84, 0x2ECA},  {0xFE, 0x85, 0x4947},  {0xFE, 0x86, 0x497A},
    {0xFE, 0x87, 0x497D},  {0xFE, 0x88, 0x4982},  {0xFE, 0x89, 0x4983},  {0xFE, 0x8A, 0x4985},
    {0xFE, 0x8B, 0x4986},  {0xFE, 0x8C, 0x499F},  {0xFE, 0x8D, 0x499B},  {0xFE, 0x8E, 0x49B7},
    {0xFE, 0x8F, 0x49B6},  {0xFE, 0x90, 0x9FBA},  {0xFE, 0x91, 0x241FE}, {0xFE, 0x92, 0x4CA3},
    {0xFE, 0x93, 0x4C9F},  {0xFE, 0x94, 0x4CA0},  {0xFE, 0x95, 0x4CA1},  {0xFE, 0x96, 0x4C77},
    {0xFE, 0x97, 0x4CA2},  {0xFE, 0x98, 0x4D13},  {0xFE, 0x99, 0x4D14},  {0xFE, 0x9A, 0x4D15},
    {0xFE, 0x9B, 0x4D16},  {0xFE, 0x9C, 0x4D17},  {0xFE, 0x9D, 0x4D18},  {0xFE, 0x9E, 0x4D19},
    {0xFE, 0x9F, 0x4DAE},  {0xFE, 0xA0, 0x9FBB}};
// The Hong Kong supplement's pairs that read as a letter and a combining mark, and the symbols of
// the standard Big5 rows that Windows reads otherwise or the standard does not have.
constexpr fix k_big5_fixes[] = {{0x88, 0x62, 0x00CA, 0x0304},
                                {0x88, 0x64, 0x00CA, 0x030C},
                                {0x88, 0xA3, 0x00EA, 0x0304},
                                {0x88, 0xA5, 0x00EA, 0x030C},
                                {0xA1, 0x45, 0x2022},
                                {0xA1, 0x4E, 0xFF64},
                                {0xA1, 0x5A, 0},
                                {0xA1, 0xC2, 0x203E},
                                {0xA1, 0xC3, 0},
                                {0xA1, 0xC5, 0},
                                {0xA1, 0xE3, 0x223C},
                                {0xA1, 0xF2, 0x2641},
                                {0xA1, 0xF3, 0x2609},
                                {0xA1, 0xFE, 0},
                                {0xA2, 0x40, 0},
                                {0xA2, 0x41, 0xFF0F},
                                {0xA2, 0x42, 0xFF3C},
                                {0xA2, 0x44, 0x00A5},
                                {0xA2, 0x46, 0x00A2},
                                {0xA2, 0x47, 0x00A3},
                                {0xA2, 0xCC, 0},
                                {0xA2, 0xCE, 0},
                                {0xF9, 0xFE, 0xFFED}};
// JIS X 0212 characters (after 0x8F) that the iconv converter reads as code page 932 reads them.
// The IBM extensions placed there (0xF3F3-0xF4FE) are refused: no Windows table has them there.
constexpr fix k_euc_jp_fixes[] = {{0xA2, 0xB7, 0xFF5E}, {0xA2, 0xC3, 0xFFE4}};
constexpr fix k_euc_kr_fixes[] = {{0x80, 0, 0}};

// Windows' code page of EUC-JP, which holds the JIS tables without the NEC and IBM rows.
constexpr UINT k_euc_code_page = 20932;

constexpr codec k_codecs[e_count] = {
    // The document already failed the UTF-8 check.
    {h_none, 0, 0, {}},
    {h_single_byte, 866, 0, {}},
    {h_single_byte, 28592, 0, {}},
    {h_single_byte, 28593, 0, {}},
    {h_single_byte, 28594, 0, {}},
    {h_single_byte, 28595, 0, {}},
    {h_single_byte, 28596, 0, {}},
    {h_single_byte, 28597, 0, k_iso_8859_7_fixes},
    {h_single_byte, 28598, 0, k_iso_8859_8_fixes},
    // The same bytes as ISO-8859-8; logical order only matters for display.
    {h_single_byte, 28598, 0, k_iso_8859_8_fixes},
    {h_single_byte, 28591, 0, k_iso_8859_10_fixes},
    {h_single_byte, 28603, 0, {}},
    {h_single_byte, 28591, 0, k_iso_8859_14_fixes},
    {h_single_byte, 28605, 0, {}},
    {h_single_byte, 28591, 0, k_iso_8859_16_fixes},
    {h_single_byte, 20866, 0, {}},
    {h_single_byte, 21866, 0, {}},
    {h_single_byte, 10000, 0, k_macintosh_fixes},
    {h_single_byte, 874, f_c1_gaps, {}},
    {h_single_byte, 1250, f_c1_gaps, {}},
    {h_single_byte, 1251, f_c1_gaps, {}},
    {h_single_byte, 1252, f_c1_gaps, {}},
    {h_single_byte, 1253, f_c1_gaps, {}},
    {h_single_byte, 1254, f_c1_gaps, {}},
    {h_single_byte, 1255, f_c1_gaps | f_compose, {}},
    {h_single_byte, 1256, f_c1_gaps, {}},
    {h_single_byte, 1257, f_c1_gaps, {}},
    {h_single_byte, 1258, f_c1_gaps | f_compose, {}},
    {h_single_byte, 10007, 0, k_x_mac_cyrillic_fixes},
    // The standard reads GBK with its gb18030 decoder.
    {h_gb18030, 936, 0, k_gbk_fixes},
    {h_gb18030, 936, 0, k_gbk_fixes},
    {h_double_byte, 950, f_no_pua, k_big5_fixes},
    {h_euc_jp, 932, 0, k_euc_jp_fixes},
    {h_iso_2022_jp, k_euc_code_page, f_no_pua, {}},
    {h_double_byte, 932, 0, {}},
    {h_double_byte, 949, f_no_pua, k_euc_kr_fixes},
    // Decodes every document to one U+FFFD: nothing to read.
    {h_none, 0, 0, {}},
    {h_utf_16be, 0, 0, {}},
    {h_utf_16le, 0, 0, {}},
    // Bytes 0x80-0xFF as private-use characters: no text to read.
    {h_none, 0, 0, {}},
};

static_assert(std::ranges::all_of(k_codecs, [](const codec &c) {
  return std::ranges::is_sorted(c.fixes, fix_before);
}));

// The standard's ranges of four-byte gb18030 pointers below U+10000: a range starts at pointer and
// code point cp and runs to the next one; cp 0 marks pointers whose characters have two-byte
// sequences, refused in four bytes.
struct gb_range {
  uint16_t pointer;
  char16_t cp;
};

constexpr gb_range k_gb18030_ranges[] = {
    {0, 0x0080},     {36, 0x00A5},    {38, 0x00A9},    {45, 0x00B2},    {50, 0x00B8},
    {81, 0x00D8},    {89, 0x00E2},    {95, 0x00EB},    {96, 0x00EE},    {100, 0x00F4},
    {103, 0x00F8},   {104, 0x00FB},   {105, 0x00FD},   {109, 0x0102},   {126, 0x0114},
    {133, 0x011C},   {148, 0x012C},   {172, 0x0145},   {175, 0x0149},   {179, 0x014E},
    {208, 0x016C},   {306, 0x01CF},   {307, 0x01D1},   {308, 0x01D3},   {309, 0x01D5},
    {310, 0x01D7},   {311, 0x01D9},   {312, 0x01DB},   {313, 0x01DD},   {341, 0x01FA},
    {428, 0x0252},   {443, 0x0262},   {544, 0x02C8},   {545, 0x02CC},   {558, 0x02DA},
    {741, 0x03A2},   {742, 0x03AA},   {749, 0x03C2},   {750, 0x03CA},   {805, 0x0402},
    {819, 0x0450},   {820, 0x0452},   {7457, 0xE7C7},  {7458, 0x1E40},  {7922, 0x2011},
    {7924, 0x2017},  {7925, 0x201A},  {7927, 0x201E},  {7934, 0x2027},  {7943, 0x2031},
    {7944, 0x2034},  {7945, 0x2036},  {7950, 0x203C},  {8062, 0x20AD},  {8148, 0x2104},
    {8149, 0x2106},  {8152, 0x210A},  {8164, 0x2117},  {8174, 0x2122},  {8236, 0x216C},
    {8240, 0x217A},  {8262, 0x2194},  {8264, 0x219A},  {8374, 0x2209},  {8380, 0x2210},
    {8381, 0x2212},  {8384, 0x2216},  {8388, 0x221B},  {8390, 0x2221},  {8392, 0x2224},
    {8393, 0x2226},  {8394, 0x222C},  {8396, 0x222F},  {8401, 0x2238},  {8406, 0x223E},
    {8416, 0x2249},  {8419, 0x224D},  {8424, 0x2253},  {8437, 0x2262},  {8439, 0x2268},
    {8445, 0x2270},  {8482, 0x2296},  {8485, 0x229A},  {8496, 0x22A6},  {8521, 0x22C0},
    {8603, 0x2313},  {8936, 0x246A},  {8946, 0x249C},  {9046, 0x254C},  {9050, 0x2574},
    {9063, 0x2590},  {9066, 0x2596},  {9076, 0x25A2},  {9092, 0x25B4},  {9100, 0x25BE},
    {9108, 0x25C8},  {9111, 0x25CC},  {9113, 0x25D0},  {9131, 0x25E6},  {9162, 0x2607},
    {9164, 0x260A},  {9218, 0x2641},  {9219, 0x2643},  {11329, 0x2E82}, {11331, 0x2E85},
    {11334, 0x2E89}, {11336, 0x2E8D}, {11346, 0x2E98}, {11361, 0x2EA8}, {11363, 0x2EAB},
    {11366, 0x2EAF}, {11370, 0x2EB4}, {11372, 0x2EB8}, {11375, 0x2EBC}, {11389, 0x2ECB},
    {11682, 0x2FFC}, {11686, 0x3004}, {11687, 0x3018}, {11692, 0x301F}, {11694, 0x302A},
    {11714, 0x303F}, {11716, 0x3094}, {11723, 0x309F}, {11725, 0x30F7}, {11730, 0x30FF},
    {11736, 0x312A}, {11982, 0x322A}, {11989, 0x3232}, {12102, 0x32A4}, {12336, 0x3390},
    {12348, 0x339F}, {12350, 0x33A2}, {12384, 0x33C5}, {12393, 0x33CF}, {12395, 0x33D3},
    {12397, 0x33D6}, {12510, 0x3448}, {12553, 0x3474}, {12851, 0x359F}, {12962, 0x360F},
    {12973, 0x361B}, {13738, 0x3919}, {13823, 0x396F}, {13919, 0x39D1}, {13933, 0x39E0},
    {14080, 0x3A74}, {14298, 0x3B4F}, {14585, 0x3C6F}, {14698, 0x3CE1}, {15583, 0x4057},
    {15847, 0x4160}, {16318, 0x4338}, {16434, 0x43AD}, {16438, 0x43B2}, {16481, 0x43DE},
    {16729, 0x44D7}, {17102, 0x464D}, {17122, 0x4662}, {17315, 0x4724}, {17320, 0x472A},
    {17402, 0x477D}, {17418, 0x478E}, {17859, 0x4948}, {17909, 0x497B}, {17911, 0x497E},
    {17915, 0x4984}, {17916, 0x4987}, {17936, 0x499C}, {17939, 0x49A0}, {17961, 0x49B8},
    {18664, 0x4C78}, {18703, 0x4CA4}, {18814, 0x4D1A}, {18962, 0x4DAF}, {19043, 0x9FA6},
    {19057, 0x0000}, {19065, 0x9FBC}, {33469, 0xE76C}, {33470, 0xE7C8}, {33471, 0xE7E7},
    {33484, 0xE815}, {33485, 0xE819}, {33490, 0xE81F}, {33497, 0xE827}, {33501, 0xE82D},
    {33505, 0xE833}, {33513, 0xE83C}, {33520, 0xE844}, {33536, 0xE856}, {33550, 0xE865},
    {37845, 0xF92D}, {37921, 0xF97A}, {37948, 0xF996}, {38029, 0xF9E8}, {38038, 0xF9F2},
    {38064, 0xFA10}, {38065, 0xFA12}, {38066, 0xFA15}, {38069, 0xFA19}, {38075, 0xFA22},
    {38076, 0xFA25}, {38078, 0xFA2A}, {39076, 0x0000}, {39086, 0xFE1A}, {39108, 0xFE32},
    {39109, 0xFE45}, {39113, 0xFE53}, {39114, 0xFE58}, {39115, 0xFE67}, {39116, 0xFE6C},
    {39265, 0xFF5F}, {39394, 0xFFE6},
};

static_assert(std::ranges::is_sorted(k_gb18030_ranges, {}, &gb_range::pointer));

// Writes UTF-8 at the end of the output, which has room for what any sequence gives.
struct output {
  char *o;
  void put(char32_t cp) { o += vepod_utf8_encode(cp, o); }
};

// The fix for the pair at p, else for its first byte alone, or NULL.
const fix *fix_at(std::span<const fix> fixes, const unsigned char *p, const unsigned char *end) {
  auto find = [&](unsigned char trail) -> const fix * {
    const fix key{p[0], trail, 0};
    auto it = std::lower_bound(fixes.begin(), fixes.end(), key, fix_before);
    return it != fixes.end() && it->lead == key.lead && it->trail == trail ? &*it : nullptr;
  };
  const fix *pair = end - p > 1 && p[1] != 0 ? find(p[1]) : nullptr;
  return pair ? pair : find(0);
}

// The code page's one character for the n bytes at p, or 0 when it refuses them.
char32_t code_page_char(UINT code_page, const unsigned char *p, int n) {
  wchar_t w[2];
  int got = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, reinterpret_cast<const char *>(p),
                                n, w, 2);
  if (got == 1 && !(w[0] >= 0xD800 && w[0] <= 0xDFFF)) return w[0];
  if (got == 2 && w[0] >= 0xD800 && w[0] <= 0xDBFF && w[1] >= 0xDC00 && w[1] <= 0xDFFF) {
    return 0x10000 + ((char32_t(w[0]) - 0xD800) << 10) + (char32_t(w[1]) - 0xDC00);
  }
  return 0;
}

// Joins letters and marks in the UTF-16 text [w, w+n) and writes it as UTF-8 within limit.
converted compose(const wchar_t *w, int n, output &out, const char *limit) {
  if (n == 0) return converted::ok;
  int room = NormalizeString(NormalizationC, w, n, nullptr, 0);  // an estimate
  if (room <= 0) return converted::invalid;
  std::unique_ptr<wchar_t, vepod_free_deleter> joined(
      static_cast<wchar_t *>(vepod_malloc(sizeof(wchar_t) * static_cast<size_t>(room))));
  if (!joined) return converted::out_of_memory;
  int got = NormalizeString(NormalizationC, w, n, joined.get(), room);
  if (got <= 0) return converted::invalid;
  // Every character here is in the Basic Multilingual Plane, and joining never lengthens a text of
  // these code pages; what would not fit is refused all the same.
  for (int i = 0; i < got; i++) {
    if (limit - out.o < 3) return converted::invalid;
    out.put(joined.get()[i]);
  }
  return converted::ok;
}

converted single_byte(const codec &c, const unsigned char *p, const unsigned char *end, output &out,
                      const char *limit) {
  char32_t table[128];
  for (int b = 0x80; b <= 0xFF; b++) {
    auto byte = static_cast<unsigned char>(b);
    char32_t cp = code_page_char(c.code_page, &byte, 1);
    if (cp == 0 && (c.flags & f_c1_gaps) && b <= 0x9F) cp = char32_t(b);
    table[b - 0x80] = cp;
  }
  for (const fix &f : c.fixes) table[f.lead - 0x80] = f.cp;
  if (c.flags & f_compose) {
    size_t n = static_cast<size_t>(end - p);
    std::unique_ptr<wchar_t, vepod_free_deleter> wide(
        static_cast<wchar_t *>(vepod_malloc(sizeof(wchar_t) * (n + 1))));
    if (!wide) return converted::out_of_memory;
    for (size_t i = 0; i < n; i++) {
      char32_t cp = p[i] < 0x80 ? p[i] : table[p[i] - 0x80];
      if (p[i] >= 0x80 && cp == 0) {
        // What comes before the refused byte is written all the same: it places the refusal.
        converted before = compose(wide.get(), static_cast<int>(i), out, limit);
        return before == converted::out_of_memory ? before : converted::invalid;
      }
      wide.get()[i] = static_cast<wchar_t>(cp);
    }
    return compose(wide.get(), static_cast<int>(n), out, limit);
  }
  for (; p < end; p++) {
    if (*p < 0x80) {
      *out.o++ = static_cast<char>(*p);
    } else if (char32_t cp = table[*p - 0x80]) {
      out.put(cp);
    } else {
      return converted::invalid;
    }
  }
  return converted::ok;
}

// A character of a double-byte code page at p: its byte count, or 0 when refused.
size_t double_byte_char(const codec &c, const unsigned char *p, const unsigned char *end,
                        output &out) {
  if (const fix *f = fix_at(c.fixes, p, end)) {
    if (!f->cp) return 0;
    out.put(f->cp);
    if (f->cp2) out.put(f->cp2);
    return f->trail ? 2 : 1;
  }
  int n = IsDBCSLeadByteEx(c.code_page, *p) ? 2 : 1;
  if (end - p < n) return 0;
  char32_t cp = code_page_char(c.code_page, p, n);
  if (!cp || ((c.flags & f_no_pua) && cp >= 0xE000 && cp <= 0xF8FF)) return 0;
  out.put(cp);
  return static_cast<size_t>(n);
}

// A four-byte gb18030 sequence at p (a lead byte and a digit): its byte count, or 0 when refused.
size_t gb18030_four_bytes(const unsigned char *p, const unsigned char *end, output &out) {
  if (end - p < 4 || p[2] < 0x81 || p[2] > 0xFE || p[3] < 0x30 || p[3] > 0x39) return 0;
  uint32_t pointer =
      (p[0] - 0x81u) * 12600 + (p[1] - 0x30u) * 1260 + (p[2] - 0x81u) * 10 + (p[3] - 0x30u);
  if (pointer >= 189000 && pointer <= 1237575) {
    out.put(0x10000 + pointer - 189000);
    return 4;
  }
  if (pointer >= 39420) return 0;
  auto next = std::ranges::upper_bound(k_gb18030_ranges, pointer, {}, &gb_range::pointer);
  const gb_range &r = next[-1];
  if (r.cp == 0) return 0;
  out.put(r.cp + (pointer - r.pointer));
  return 4;
}

bool double_byte(const codec &c, const unsigned char *p, const unsigned char *end, output &out) {
  while (p < end) {
    if (*p < 0x80) {
      *out.o++ = static_cast<char>(*p++);
      continue;
    }
    size_t n = c.how == h_gb18030 && end - p > 1 && p[1] >= 0x30 && p[1] <= 0x39 && *p != 0xFF
                   ? gb18030_four_bytes(p, end, out)
                   : double_byte_char(c, p, end, out);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

// JIS X 0208 row and cell (1-94 each) as the Shift_JIS bytes of the same character.
void shift_jis_of(unsigned row, unsigned cell, unsigned char *sjis) {
  sjis[0] = static_cast<unsigned char>((row + 1) / 2 + (row <= 62 ? 0x80 : 0xC0));
  sjis[1] = static_cast<unsigned char>(row % 2 ? cell + (cell <= 63 ? 0x3F : 0x40) : cell + 0x9E);
}

bool euc_jp(const codec &c, const unsigned char *p, const unsigned char *end, output &out) {
  while (p < end) {
    unsigned char b = *p;
    if (b < 0x80) {
      *out.o++ = static_cast<char>(b);
      p++;
      continue;
    }
    if (b <= 0x9F && b != 0x8E && b != 0x8F) {  // the C1 controls stand for themselves
      out.put(b);
      p++;
      continue;
    }
    if (end - p < 2 || p[1] < 0xA1 || p[1] > 0xFE) return false;
    if (b == 0x8E) {  // a half-width katakana
      if (p[1] > 0xDF) return false;
      out.put(0xFF61 + (p[1] - 0xA1));
    } else if (b == 0x8F) {
      // JIS X 0212: Windows' EUC code page holds it as the two bytes with the second one's high
      // bit clear.
      if (end - p < 3 || p[2] < 0xA1 || p[2] > 0xFE) return false;
      const unsigned char pair[2] = {p[1], static_cast<unsigned char>(p[2] & 0x7F)};
      const fix *f = fix_at(c.fixes, p + 1, end);
      char32_t cp = f ? f->cp : code_page_char(k_euc_code_page, pair, 2);
      if (!cp) return false;
      out.put(cp);
      p++;
    } else if (b >= 0xF5) {  // rows 85-94, the user-defined ones, in private use
      out.put(0xE000 + (b - 0xF5u) * 94 + (p[1] - 0xA1u));
    } else if (b >= 0xA1) {
      unsigned char sjis[2];
      shift_jis_of(b - 0xA0u, p[1] - 0xA0u, sjis);
      char32_t cp = code_page_char(c.code_page, sjis, 2);
      if (!cp) return false;
      out.put(cp);
    } else {
      return false;
    }
    p += 2;
  }
  return true;
}

bool iso_2022_jp(const codec &c, const unsigned char *p, const unsigned char *end, output &out) {
  enum { ascii, roman, jis0208 } state = ascii;
  while (p < end) {
    unsigned char b = *p;
    if (b == 0x1B) {
      if (end - p < 3) return false;
      if (p[1] == '(' && p[2] == 'B') {
        state = ascii;
      } else if (p[1] == '(' && p[2] == 'J') {
        state = roman;
      } else if (p[1] == '$' && (p[2] == '@' || p[2] == 'B')) {
        state = jis0208;
      } else {
        return false;
      }
      p += 3;
    } else if (b >= 0x80 || b == 0x0E || b == 0x0F) {
      return false;
    } else if (state == jis0208 && b > 0x20) {
      if (end - p < 2 || b > 0x7E || p[1] < 0x21 || p[1] > 0x7E) return false;
      const unsigned char euc[2] = {static_cast<unsigned char>(b | 0x80),
                                    static_cast<unsigned char>(p[1] | 0x80)};
      char32_t cp = code_page_char(c.code_page, euc, 2);
      if (!cp || ((c.flags & f_no_pua) && cp >= 0xE000 && cp <= 0xF8FF)) return false;
      out.put(cp);
      p += 2;
    } else {
      out.put(state == roman && b == 0x5C ? 0xA5 : state == roman && b == 0x7E ? 0x203E : b);
      p++;
    }
  }
  return true;
}

bool utf_16(bool big_endian, const unsigned char *p, const unsigned char *end, output &out) {
  auto unit = [&](const unsigned char *q) -> char32_t {
    return big_endian ? (char32_t(q[0]) << 8 | q[1]) : (char32_t(q[1]) << 8 | q[0]);
  };
  while (p < end) {
    if (end - p < 2) return false;
    char32_t u = unit(p);
    p += 2;
    if (u >= 0xDC00 && u <= 0xDFFF) return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (end - p < 2) return false;
      char32_t low = unit(p);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
      p += 2;
    }
    out.put(u);
  }
  return true;
}

}  // namespace

bool vepod_encoding::readable(encoding_id id) { return k_codecs[id].how != h_none; }

converted vepod_encoding::convert(encoding_id id, const unsigned char *p, const unsigned char *end,
                                  char *out, size_t *written) {
  const codec &c = k_codecs[id];
  if (c.code_page && !IsValidCodePage(c.code_page)) return converted::no_converter;
  output o{out};
  bool ok = false;
  switch (c.how) {
    case h_single_byte: {
      converted result = single_byte(c, p, end, o, out + k_growth * static_cast<size_t>(end - p));
      *written = static_cast<size_t>(o.o - out);
      return result;
    }
    case h_double_byte:
    case h_gb18030:
      ok = double_byte(c, p, end, o);
      break;
    case h_euc_jp:
      ok = euc_jp(c, p, end, o);
      break;
    case h_iso_2022_jp:
      ok = iso_2022_jp(c, p, end, o);
      break;
    case h_utf_16be:
    case h_utf_16le:
      ok = utf_16(c.how == h_utf_16be, p, end, o);
      break;
    case h_none:
      return converted::no_converter;
  }
  *written = static_cast<size_t>(o.o - out);
  return ok ? converted::ok : converted::invalid;
}
