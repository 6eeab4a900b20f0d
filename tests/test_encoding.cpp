// Feeds in legacy encodings and UTF-16: each is read to the same answer as the same feed in UTF-8,
// the Encoding Standard's readings where glibc's converters differ, the refusals, and the gate that
// keeps valid UTF-8 documents as they are.

#include <gtest/gtest.h>
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support.h"
#include "xml/vepod_xml.h"

namespace {

using vepod_test::parsed;
using vepod_test::text_or_null;

#if defined(_WIN32)
// Windows writes the texts through its code pages, named here as glibc names them. It has none for
// ISO-8859-10, -14 and -16, and Wine none for gb18030: the cases of their readings cover those.
UINT code_page(std::string_view glibc) {
  static const std::pair<std::string_view, UINT> k_code_pages[] = {
      {"IBM866", 866},        {"ISO-8859-2", 28592},  {"ISO-8859-3", 28593},
      {"ISO-8859-4", 28594},  {"ISO-8859-5", 28595},  {"ISO-8859-6", 28596},
      {"ISO-8859-7", 28597},  {"ISO-8859-8", 28598},  {"ISO-8859-13", 28603},
      {"ISO-8859-15", 28605}, {"KOI8-R", 20866},      {"KOI8-U", 21866},
      {"MACINTOSH", 10000},   {"CP874", 874},         {"CP1250", 1250},
      {"CP1251", 1251},       {"CP1252", 1252},       {"CP1253", 1253},
      {"CP1254", 1254},       {"CP1255", 1255},       {"CP1256", 1256},
      {"CP1257", 1257},       {"CP1258", 1258},       {"MAC-CYRILLIC", 10007},
      {"GBK", 936},           {"GB18030", 54936},     {"BIG5", 950},
      {"EUC-JP", 20932},      {"ISO-2022-JP", 20932}, {"SHIFT_JIS", 932},
      {"EUC-KR", 949}};
  for (const auto &[name, cp] : k_code_pages) {
    if (name == glibc) return IsValidCodePage(cp) ? cp : 0;
  }
  return 0;
}

bool has_writer(const char *to) { return code_page(to) != 0; }

std::optional<std::string> encode(const char *to, std::string_view utf8) {
  std::wstring wide(utf8.size() + 1, L'\0');
  wide.resize(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()),
                                  wide.data(), int(wide.size())));
  std::string out;
  if (std::string_view(to).starts_with("UTF-16")) {
    bool big = std::string_view(to) == "UTF-16BE";
    for (wchar_t w : wide) {
      char b[2] = {char(big ? w >> 8 : w & 0xFF), char(big ? w & 0xFF : w >> 8)};
      out.append(b, 2);
    }
    return out;
  }
  UINT cp = code_page(to);
  if (!cp) {
    ADD_FAILURE() << "no code page " << to;
    return std::nullopt;
  }
  // Only what the code page reads back is written (Wine writes bytes for a few characters it
  // cannot read).
  auto write = [cp](const std::wstring &text, std::string &bytes) {
    BOOL lossy = FALSE;
    bytes.assign(text.size() * 4 + 16, '\0');
    bytes.resize(
        std::max(0, WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, text.data(), int(text.size()),
                                        bytes.data(), int(bytes.size()), nullptr, &lossy)));
    std::wstring back(bytes.size() + 1, L'\0');
    back.resize(std::max(0, MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(),
                                                int(bytes.size()), back.data(), int(back.size()))));
    return !lossy && back == text;
  };
  // Like glibc, a character the code page lacks is written as one it has and a combining mark.
  std::wstring text;
  for (wchar_t w : wide) {
    std::wstring written(1, w), parts(8, L'\0'), head(8, L'\0');
    parts.resize(write(written, out)
                     ? 0
                     : std::max(0, NormalizeString(NormalizationD, &w, 1, parts.data(), 8)));
    for (size_t mark = 1; mark < parts.size(); mark++) {
      std::wstring rest = parts.substr(0, mark) + parts.substr(mark + 1);
      head.resize(8);
      head.resize(std::max(
          0, NormalizeString(NormalizationC, rest.data(), int(rest.size()), head.data(), 8)));
      if (head.size() == 1 && write(head + parts[mark], out)) {
        written = head + parts[mark];
        break;
      }
    }
    text += written;
  }
  if (!write(text, out)) return std::nullopt;
  if (cp == 20932) {
    // Windows' EUC code page writes JIS X 0212 as two bytes, the second one below 0x80.
    std::string euc;
    for (size_t i = 0; i < out.size(); i++) {
      auto b = static_cast<unsigned char>(out[i]);
      if (b >= 0xA1 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) < 0x80) {
        euc += {'\x8F', out[i], char(out[i + 1] | 0x80)};
        i++;
      } else {
        euc += out[i];
        if (b >= 0x80 && i + 1 < out.size()) euc += out[++i];
      }
    }
    out = euc;
  }
  if (std::string_view(to) != "ISO-2022-JP") return out;
  // ISO-2022-JP from EUC-JP: JIS X 0208 between escape sequences, seven bits to a byte.
  std::string iso;
  bool two_byte = false;
  for (size_t i = 0; i < out.size(); i++) {
    auto b = static_cast<unsigned char>(out[i]);
    if ((b >= 0x80) != two_byte) iso += (two_byte = b >= 0x80) ? "\x1B$B" : "\x1B(B";
    if (b == 0x8E || b == 0x8F) return std::nullopt;  // not in ISO-2022-JP
    iso += char(b & 0x7F);
  }
  if (two_byte) iso += "\x1B(B";
  return iso;
}
#else
bool has_writer(const char *) { return true; }

// The UTF-8 text in the encoding glibc calls `to`, or nothing when that encoding cannot write it.
std::optional<std::string> encode(const char *to, std::string_view utf8) {
  iconv_t cd = iconv_open(to, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "no converter " << to;
    return std::nullopt;
  }
  std::string out(utf8.size() * 4 + 16, '\0');
  char *in = const_cast<char *>(utf8.data());
  size_t in_left = utf8.size();
  char *o = out.data();
  size_t room = out.size();
  bool ok = iconv(cd, &in, &in_left, &o, &room) != static_cast<size_t>(-1) &&
            iconv(cd, nullptr, nullptr, &o, &room) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(out.size() - room);
  return out;
}

#endif

std::string feed_doc(std::string_view label, std::string_view title, std::string_view episode) {
  std::string doc = "<?xml version=\"1.0\"";
  if (!label.empty()) doc += " encoding=\"" + std::string(label) + "\"";
  return doc + "?>\n<rss version=\"2.0\"><channel><title>" + std::string(title) +
         "</title><item><title>" + std::string(episode) +
         "</title><enclosure url=\"http://e/a.mp3\"/></item></channel></rss>";
}

// The answer that matters for these documents: titles, items and the media URL.
void expect_same_feed(const parsed &got, const parsed &want) {
  ASSERT_EQ(got.rc, 0) << got.err;
  ASSERT_EQ(want.rc, 0) << want.err;
  EXPECT_EQ(text_or_null(got.feed.title), text_or_null(want.feed.title));
  EXPECT_EQ(got.feed.format, want.feed.format);
  ASSERT_EQ(got.feed.nitems, want.feed.nitems);
  for (int i = 0; i < got.feed.nitems; i++) {
    EXPECT_EQ(text_or_null(got.feed.items[i].title), text_or_null(want.feed.items[i].title));
    EXPECT_EQ(text_or_null(got.feed.items[i].url), text_or_null(want.feed.items[i].url));
  }
}

// MARK: Every encoding read back to the UTF-8 answer

struct legacy_encoding {
  const char *name;   // the web's name, as messages give it
  const char *label;  // declared: any of its labels, in any case
  const char *glibc;  // the test's own converter that writes the bytes
};

const legacy_encoding k_encodings[] = {
    {"IBM866", "cp866", "IBM866"},
    {"ISO-8859-2", "latin2", "ISO-8859-2"},
    {"ISO-8859-3", "ISO_8859-3:1988", "ISO-8859-3"},
    {"ISO-8859-4", "l4", "ISO-8859-4"},
    {"ISO-8859-5", "cyrillic", "ISO-8859-5"},
    {"ISO-8859-6", "arabic", "ISO-8859-6"},
    {"ISO-8859-7", "greek", "ISO-8859-7"},
    {"ISO-8859-8", "hebrew", "ISO-8859-8"},
    {"ISO-8859-8-I", "logical", "ISO-8859-8"},
    {"ISO-8859-10", "latin6", "ISO-8859-10"},
    {"ISO-8859-13", "iso885913", "ISO-8859-13"},
    {"ISO-8859-14", "iso8859-14", "ISO-8859-14"},
    {"ISO-8859-15", "L9", "ISO-8859-15"},
    {"ISO-8859-16", "iso-8859-16", "ISO-8859-16"},
    {"KOI8-R", "koi8", "KOI8-R"},
    {"KOI8-U", "koi8-ru", "KOI8-U"},
    {"macintosh", "x-mac-roman", "MACINTOSH"},
    {"windows-874", "TIS-620", "CP874"},
    {"windows-1250", "x-cp1250", "CP1250"},
    {"windows-1251", "Windows-1251", "CP1251"},
    {"windows-1252", "iso-8859-1", "CP1252"},
    {"windows-1253", "cp1253", "CP1253"},
    {"windows-1254", "latin5", "CP1254"},
    {"windows-1255", "cp1255", "CP1255"},
    {"windows-1256", "windows-1256", "CP1256"},
    {"windows-1257", "x-cp1257", "CP1257"},
    {"windows-1258", "cp1258", "CP1258"},
    {"x-mac-cyrillic", "x-mac-ukrainian", "MAC-CYRILLIC"},
    {"GBK", "gb2312", "GBK"},
    {"gb18030", "GB18030", "GB18030"},
    {"Big5", "big5-hkscs", "BIG5"},
    {"EUC-JP", "x-euc-jp", "EUC-JP"},
    {"ISO-2022-JP", "csiso2022jp", "ISO-2022-JP"},
    {"Shift_JIS", "sjis", "SHIFT_JIS"},
    {"EUC-KR", "ks_c_5601-1987", "EUC-KR"},
};

struct sample {
  const char *script;
  std::string_view title;
  std::string_view episode;
  std::vector<std::string_view> writable;  // encodings that must be able to write it
};

const sample k_samples[] = {
    {"Greek", "Ελληνικά νέα", "Επεισόδιο 1: Καλημέρα", {"ISO-8859-7", "windows-1253", "gb18030"}},
    {"Cyrillic",
     "Русский подкаст",
     "Выпуск 1: Привет, мир",
     {"IBM866", "ISO-8859-5", "KOI8-R", "KOI8-U", "windows-1251", "x-mac-cyrillic", "GBK", "EUC-JP",
      "Shift_JIS", "EUC-KR"}},
    {"Chinese", "中文播客", "第一集：你好", {"GBK", "gb18030", "Big5"}},
    {"Japanese",
     "日本語のポッドキャスト",
     "第1回 こんにちは",
     {"EUC-JP", "ISO-2022-JP", "Shift_JIS", "gb18030"}},
    {"Korean", "한국어 방송", "제1화 안녕하세요", {"EUC-KR", "gb18030"}},
    {"Central European",
     "Żółć i Łódź",
     "Odcinek 1: Kraków",
     {"ISO-8859-2", "ISO-8859-13", "ISO-8859-16", "windows-1250"}},
    {"Baltic", "Lietuvių radijas", "Šiaulių žinios", {"ISO-8859-4", "ISO-8859-13", "windows-1257"}},
    {"Esperanto", "Ĉu vi parolas?", "Ĝis revido, ŝatata aŭskultanto", {"ISO-8859-3"}},
    {"Welsh", "Ŵyl y Ŷd", "Pennod 1: Tŷ", {"ISO-8859-14"}},
    {"Hebrew", "פודקאסט בעברית", "פרק 1: שלום", {"ISO-8859-8", "ISO-8859-8-I", "windows-1255"}},
    {"Arabic", "بودكاست عربي", "الحلقة 1: مرحبا", {"ISO-8859-6", "windows-1256"}},
    {"Thai", "พอดแคสต์ภาษาไทย", "ตอนที่ 1: สวัสดี", {"windows-874"}},
    // Written as letters and combining marks, read back joined.
    {"Vietnamese", "Tiếng Việt", "Tập 1: Xin chào", {"windows-1258"}},
    {"Latin-1",
     "Café €",
     "Épisode 1 &amp; «déjà vu»",
     {"ISO-8859-15", "macintosh", "windows-1252", "windows-1254", "gb18030"}},
};

TEST(Decode, EveryEncodingThatCanWriteATextReadsItAsUtf8Does) {
  for (const sample &s : k_samples) {
    SCOPED_TRACE(s.script);
    parsed want(feed_doc("UTF-8", s.title, s.episode));
    ASSERT_EQ(want.rc, 0) << want.err;
    std::vector<std::string_view> written;
    for (const legacy_encoding &e : k_encodings) {
      SCOPED_TRACE(e.name);
      if (!has_writer(e.glibc)) {
        written.push_back(e.name);  // the platform cannot write it: nothing to compare
        continue;
      }
      std::optional<std::string> doc = encode(e.glibc, feed_doc(e.label, s.title, s.episode));
      if (!doc) continue;
      written.push_back(e.name);
      parsed got(*doc);
      expect_same_feed(got, want);
    }
    for (std::string_view name : s.writable) {
      EXPECT_NE(std::find(written.begin(), written.end(), name), written.end()) << name;
    }
  }
}

TEST(Decode, Utf16ByItsByteOrderMarkWhateverItDeclares) {
  const std::string title = "Ελληνικά · 中文 · 😀";  // a character beyond the BMP: a surrogate pair
  const std::string episode = "Выпуск 1";
  parsed want(feed_doc("", title, episode));
  for (const char *label : {"UTF-16", "windows-1252", ""}) {
    for (bool little : {true, false}) {
      SCOPED_TRACE(std::string(label) + (little ? " LE" : " BE"));
      std::optional<std::string> body =
          encode(little ? "UTF-16LE" : "UTF-16BE", feed_doc(label, title, episode));
      ASSERT_TRUE(body);
      parsed got((little ? std::string("\xFF\xFE") : std::string("\xFE\xFF")) + *body);
      expect_same_feed(got, want);
    }
  }
}

// A refusal names its place in the decoded text, counted in characters: not in the bytes that
// came, nor in the UTF-8 they became.
TEST(Decode, FailurePlaceIsInTheDecodedText) {
  const std::string want = "undeclared entity reference (forbidden) at line 2, column 60";
  parsed latin(feed_doc("windows-1252", "\xE9\xE9\xE9", "&bad;"));
  EXPECT_STREQ(latin.err, want.c_str());
  std::optional<std::string> utf16 = encode("UTF-16LE", feed_doc("", "中文.", "&bad;"));
  ASSERT_TRUE(utf16);
  parsed wide("\xFF\xFE" + *utf16);
  EXPECT_STREQ(wide.err, want.c_str());
}

// MARK: Bytes as the Encoding Standard reads them

struct reading {
  const char *label;
  std::string bytes;  // the title as given
  std::string utf8;   // the title read
};

TEST(Decode, BytesReadAsTheEncodingStandardReadsThem) {
  const reading cases[] = {
      {"ISO-8859-1", "Caf\xE9 \x80", "Café €"},
      {"\tLaTiN1 ", "\xE9", "é"},  // case and blanks around the label do not matter
      {"us-ascii", "\xE9", "é"},
      // Bytes Windows leaves unassigned are the C1 controls of the same value.
      {"windows-1252", "\x81\x8D\x8F\x90\x9D", "\u0081\u008D\u008F\u0090\u009D"},
      {"windows-1253", "\x81\xE1", "\u0081α"},
      {"windows-874", "\x81\xA1", "\u0081ก"},
      // glibc holds a letter back for a mark that may follow: it comes out first all the same.
      {"windows-1255", "\xE0\xCA\xE0", "א\u05BAא"},
      {"windows-1258", "a\x81", "a\u0081"},
      // Encodings some platforms have no converter of their own for.
      {"iso-8859-10", "\xA1\xBD\xFF", "Ą―ĸ"},
      {"iso-8859-14", "\xA1\xD0\xFE", "ḂŴŷ"},
      {"iso-8859-16", "\xAA\xDE\xA4", "ȘȚ€"},
      {"koi8-u", "\xAE\xBE\xA4", "ўЎє"},
      {"macintosh", "\xC6\xF0\xDB", "∆\uF8FF€"},
      {"x-mac-cyrillic", "\xFF\x80", "€А"},
      {"gbk", "\x80\xC4\xE3", "€你"},
      {"gb18030", "\x80\x81\x30\x81\x30\x94\x39\xFC\x36", "€\u0080😀"},
      {"big5", "\xA3\xE1\xA4\xA4", "€中"},
      {"big5", "\x88\x62", "\u00CA\u0304"},  // one pair, two characters
      {"euc-jp", "\\\xAD\xA1\x8F\xB0\xA1", "\\①丂"},
      {"shift_jis", "\\~\x80\x82\xA0\x87\x40", "\\~\u0080あ①"},
      {"iso-2022-jp", "\x1B$B$\"\x1B(J\\\x1B(B\\", "あ¥\\"},
      {"euc-kr", "\xC7\xD1\x81\x41", "한갂"},
      // Every byte grows to three in UTF-8: the most room a decoded document takes.
      {"windows-1252", std::string(4000, '\x80'),
       [] {
         std::string s;
         for (int i = 0; i < 4000; i++) s += "€";
         return s;
       }()},
  };
  for (const reading &c : cases) {
    SCOPED_TRACE(std::string(c.label) + ": " + std::string(c.bytes.substr(0, 16)));
    parsed p(feed_doc(c.label, c.bytes, "x"));
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(text_or_null(p.feed.title), c.utf8);
  }
}

// MARK: Refusals

struct refusal {
  std::string doc;
  const char *message;
  const char *where;  // "line:column" of the refused bytes in the decoded text
};

// Where feed_doc's title begins, and where its end is.
const char *const k_title = "2:36";
const char *const k_end = "2:123";
const char *const k_not_utf8 = "invalid UTF-8 byte (UTF-8 only)";

// A decoder's refusal is placed like the reader's: where the refused bytes start, counted in the
// text decoded before them.
TEST(Decode, RefusesWhatTheEncodingDoesNotAllowAndWhatItDoesNotRead) {
  const refusal cases[] = {
      // A sequence the encoding does not allow, one per family; cut short at the end too.
      {feed_doc("iso-8859-7", "\xAE", "x"), "invalid byte sequence for ISO-8859-7", k_title},
      {feed_doc("windows-1253", "\xAA", "x"), "invalid byte sequence for windows-1253", k_title},
      {feed_doc("gbk", "\x81\x20", "x"), "invalid byte sequence for GBK", k_title},
      {feed_doc("gb18030", "\xFF", "x"), "invalid byte sequence for gb18030", k_title},
      {feed_doc("big5", "\xA1\x20", "x"), "invalid byte sequence for Big5", k_title},
      {feed_doc("euc-jp", "\xA1\x20", "x"), "invalid byte sequence for EUC-JP", k_title},
      {feed_doc("shift_jis", "\xA0", "x"), "invalid byte sequence for Shift_JIS", k_title},
      {feed_doc("shift_jis", "\x82\xA0\xA0", "x"), "invalid byte sequence for Shift_JIS",
       "2:37"},  // after one character of two bytes
      {feed_doc("euc-kr", "\xFE\xA1", "x"), "invalid byte sequence for EUC-KR", k_title},
      {feed_doc("euc-kr", "x", "x") + "\xB0", "invalid byte sequence for EUC-KR", k_end},
      {feed_doc("iso-2022-jp", "\x1B$Ax", "x"), "invalid byte sequence for ISO-2022-JP", k_title},
      {feed_doc("iso-2022-jp", "\xA4\xA2", "x"), "invalid byte sequence for ISO-2022-JP", k_title},
      // A lone low surrogate, and an odd byte at the end.
      {std::string("\xFF\xFE<\0r\0\n\0\0\xDC", 10), "invalid byte sequence for UTF-16LE", "2:1"},
      {std::string("\xFF\xFE<\0r\0\0\xDC", 8), "invalid byte sequence for UTF-16LE", "1:3"},
      {"\xFF\xFE<", "invalid byte sequence for UTF-16LE", "1:1"},
      // Labels outside what is read keep the refusal of bytes that are not UTF-8.
      {feed_doc("utf-8", "\xFF", "x"), k_not_utf8, k_title},
      {feed_doc("UTF-16", "\xFF", "x"), k_not_utf8, k_title},  // no byte order mark: not UTF-16
      {feed_doc("iso-2022-kr", "\xFF", "x"), k_not_utf8, k_title},
      {feed_doc("x-user-defined", "\xFF", "x"), k_not_utf8, k_title},
      {feed_doc("ebcdic-cp-us", "\xFF", "x"), k_not_utf8, k_title},  // glibc has it; the web not
      {feed_doc("utf-7", "\xFF", "x"), k_not_utf8, k_title},
      {feed_doc("windows-1252x", "\xFF", "x"), k_not_utf8, k_title},
      {feed_doc("", "\xFF", "x"), k_not_utf8, k_title},
      {" " + feed_doc("latin1", "\xFF", "x"), k_not_utf8, k_title},      // not at the very start
      {"<?xml version='1.0' encoding='latin1\xFF", k_not_utf8, "1:37"},  // never closed
  };
  for (const refusal &c : cases) {
    SCOPED_TRACE(c.doc.substr(0, 60));
    parsed p(c.doc);
    EXPECT_EQ(p.rc, VEPOD_ERR_NO_DATA);
    EXPECT_EQ(p.failure.code, VEPOD_ERR_NO_DATA);
    std::string where = c.where;
    size_t colon = where.find(':');
    EXPECT_EQ(p.err, std::string(c.message) + " at line " + where.substr(0, colon) + ", column " +
                         where.substr(colon + 1));
    EXPECT_EQ(std::to_string(p.failure.line) + ":" + std::to_string(p.failure.column), where);
    EXPECT_EQ(p.feed.title, nullptr);
    EXPECT_EQ(p.feed.items, nullptr);
  }
}

// MARK: The UTF-8 gate

TEST(Decode, ValidUtf8IsReadAsUtf8WhateverItDeclares) {
  for (const char *label : {"ISO-8859-1", "windows-1251", "shift_jis", "iso-2022-jp", "UTF-16"}) {
    SCOPED_TRACE(label);
    parsed p(feed_doc(label, "Café", "日本"));
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(text_or_null(p.feed.title), "Café");
    EXPECT_EQ(text_or_null(p.feed.items[0].title), "日本");
  }
}

TEST(Decode, AByteOrderMarkOfUtf8BeforeTheDeclarationIsDropped) {
  parsed p("\xEF\xBB\xBF" + feed_doc("windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2", "x"));
  ASSERT_EQ(p.rc, 0) << p.err;
  EXPECT_EQ(text_or_null(p.feed.title), "Привет");
}

// MARK: Running out of memory

TEST(Decode, AnyAllocationFailureFailsTheParse) {
  const std::string docs[] = {
      feed_doc("windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2", "\xCC\xE8\xF0"),
      feed_doc("iso-2022-jp", "\x1B$B$\"\x1B(B", "x"),
      "\xFE\xFF" + encode("UTF-16BE", feed_doc("", "x", "y")).value_or(""),
  };
  for (const std::string &doc : docs) {
    SCOPED_TRACE(doc.substr(0, 60));
    EXPECT_GT(vepod_test::expect_each_allocation_failure_fails_the_parse(doc), 1);
  }
}

}  // namespace
