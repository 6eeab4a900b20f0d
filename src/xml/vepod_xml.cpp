// The strict feed reader and the mapping of RSS 2.0, RDF and Atom elements onto the feed model.
//
// One pass over the document, which is only borrowed: names and attribute values are views into it
// (attribute values that hold references are decoded into one scratch buffer per start tag), and
// only the text of elements the extraction collects is copied. Content is read by a loop over an
// explicit stack of open elements, so stack use does not grow with the document.

#include "xml/vepod_xml.h"

#include <array>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "util/vepod_encoding.h"
#include "util/vepod_util.h"
#include "vepod.h"

namespace {

using std::string_view;

// Open elements, the root included; bounds the frame stack and refuses nesting bombs.
constexpr int k_max_depth = 32;
// Attributes kept per start tag; further ones are read and validated, then dropped.
constexpr int k_max_attrs = 16;
// Longest reference name looked for between '&' and ';'.
constexpr size_t k_max_ref_name = 15;
// Decoded text one document may collect. A reference never decodes to more bytes than it takes,
// so documents within the size limit stay below it; it guards the collector should that change.
constexpr int64_t k_text_budget = 67108864;
// First capacity of a collected text; titles, dates and identifiers fit.
constexpr uint64_t k_text_first = 256;

// MARK: Character classes

enum : unsigned char { k_blank = 1, k_name = 2, k_name_start = 4 };

constexpr std::array<unsigned char, 256> k_class = [] {
  std::array<unsigned char, 256> t{};
  for (int c = 'a'; c <= 'z'; c++) t[c] = t[c - 'a' + 'A'] = k_name | k_name_start;
  for (int c = '0'; c <= '9'; c++) t[c] = k_name;
  for (unsigned char c : {'-', '.', ':', '_'}) t[c] = k_name | k_name_start;
  for (unsigned char c : {'\t', '\n', '\r', ' '}) t[c] = k_blank;
  return t;
}();

inline bool is_blank(unsigned char c) { return k_class[c] & k_blank; }

// MARK: Records

// The element names the extraction acts on, recognised once per start tag.
enum elem_kind : uint8_t {
  e_other,
  e_item,
  e_entry,
  e_title,
  e_guid,
  e_id,
  e_link,
  e_url,
  e_image,
  e_itunes_image,
  e_enclosure,
  e_duration,  // itunes:duration, duration
  e_date,      // pubdate, published, issued, updated
};

struct xml_frame {
  string_view name;  // as written in the start tag
  elem_kind kind;
  // Collected text. The buffer stays with the stack slot when the element closes and is reused by
  // the next element at that depth; it is released when the parse ends.
  char *text;
  uint64_t text_len;
  uint64_t text_cap;
  int32_t sink;  // the innermost collecting frame at or below this one, or -1
};

struct xml_attr {
  string_view name;
  string_view value;  // decoded; the empty view for an attribute written without a value
};

struct xml_reader {
  const unsigned char *input;
  uint64_t pos;
  uint64_t length;
  int64_t budget;
  const char *message;  // the first error; every failing step returns at once
  bool out_of_memory;   // the first error was an allocation failure
  vepod_feed *feed;
  vepod_item *item;
  int32_t format;  // vepod_feed_format, set by the root element
  int32_t top;     // innermost open element, -1 when none
  xml_frame frames[k_max_depth];
  xml_attr attrs[k_max_attrs];  // of the start tag being read
  // Decoded attribute values of the current start tag.
  char *scratch;
  uint64_t scratch_len;
  uint64_t scratch_cap;
};

int fail(xml_reader &r, const char *message) {
  if (!r.message) r.message = message;
  return -1;
}

int fail_oom(xml_reader &r) {
  if (!r.message) r.out_of_memory = true;
  return fail(r, "out of memory");
}

bool is_atom(const xml_reader &r) { return r.format == vepod_format_atom; }

string_view view(const unsigned char *begin, const unsigned char *end) {
  return {reinterpret_cast<const char *>(begin), static_cast<size_t>(end - begin)};
}

void skip_blanks(xml_reader &r) {
  while (r.pos < r.length && is_blank(r.input[r.pos])) r.pos++;
}

// First occurrence of the three bytes `seq` starting in [p, end), or NULL.
const unsigned char *find3(const unsigned char *p, const unsigned char *end, const char *seq) {
  while (end - p >= 3) {
    auto *hit = static_cast<const unsigned char *>(std::memchr(p, seq[0], end - p - 2));
    if (!hit) return nullptr;
    if (hit[1] == static_cast<unsigned char>(seq[1]) &&
        hit[2] == static_cast<unsigned char>(seq[2])) {
      return hit;
    }
    p = hit + 1;
  }
  return nullptr;
}

char *dup_view(string_view text) {
  auto *copy = static_cast<char *>(vepod_malloc(text.size() + 1));
  if (!copy) return nullptr;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// MARK: Input checks

// Length of the ASCII run at the start of [s, s+n), read a word at a time.
uint64_t ascii_run(const unsigned char *s, uint64_t n) {
  constexpr uint64_t high = 0x8080808080808080ull;
  uint64_t i = 0;
  while (n - i >= 32) {
    uint64_t w[4];
    std::memcpy(w, s + i, sizeof w);
    if ((w[0] | w[1] | w[2] | w[3]) & high) break;
    i += 32;
  }
  while (n - i >= 8) {
    uint64_t w;
    std::memcpy(&w, s + i, sizeof w);
    if (uint64_t m = w & high) {
      if constexpr (std::endian::native == std::endian::little) {
        return i + (std::countr_zero(m) >> 3);
      } else {
        return i + (std::countl_zero(m) >> 3);
      }
    }
    i += 8;
  }
  while (i < n && s[i] < 0x80) i++;
  return i;
}

#if defined(__SSE2__)
// Start of the character that holds byte i - 1 of an already checked prefix, or i when that byte
// ends a character; the checked prefix before it is whole characters.
uint64_t char_start(const unsigned char *s, uint64_t i) {
  uint64_t j = i;
  while (j > 0 && i - j < 3 && (s[j - 1] & 0xC0) == 0x80) j--;
  if (j > 0 && s[j - 1] >= 0xC0) j--;
  return j;
}

// Length of a prefix of [s, s+n) that check_utf8 accepts and that ends between characters, 64 bytes
// per step without a branch per character, so text that mixes scripts costs about what ASCII does.
// A block holds a fault exactly when the bytes that must be continuation bytes (1 to 3 after a lead
// byte, by its kind) differ from those that are, or when it holds a byte that is never valid.
uint64_t utf8_prefix(const unsigned char *s, uint64_t n) {
  const __m128i c0 = _mm_set1_epi8(char(0xC0)), e0 = _mm_set1_epi8(char(0xE0));
  const __m128i f0 = _mm_set1_epi8(char(0xF0)), f5 = _mm_set1_epi8(char(0xF5));
  const __m128i fe = _mm_set1_epi8(char(0xFE));
  auto at_least = [](__m128i v, __m128i t) { return _mm_cmpeq_epi8(_mm_max_epu8(v, t), v); };
  auto block_fault = [&](__m128i b, __m128i prev) {
    __m128i back1 = _mm_or_si128(_mm_slli_si128(b, 1), _mm_srli_si128(prev, 15));
    __m128i back2 = _mm_or_si128(_mm_slli_si128(b, 2), _mm_srli_si128(prev, 14));
    __m128i back3 = _mm_or_si128(_mm_slli_si128(b, 3), _mm_srli_si128(prev, 13));
    __m128i expected =
        _mm_or_si128(at_least(back1, c0), _mm_or_si128(at_least(back2, e0), at_least(back3, f0)));
    __m128i continuation = _mm_cmplt_epi8(b, c0);  // 0x80 to 0xBF, compared as signed bytes
    __m128i never = _mm_or_si128(at_least(b, f5), _mm_cmpeq_epi8(_mm_and_si128(b, fe), c0));
    return _mm_or_si128(_mm_xor_si128(expected, continuation), never);
  };
  __m128i prev = _mm_setzero_si128();
  uint64_t i = 0;
  for (; n - i >= 64; i += 64) {
    auto *p = reinterpret_cast<const __m128i *>(s + i);
    __m128i b0 = _mm_loadu_si128(p), b1 = _mm_loadu_si128(p + 1);
    __m128i b2 = _mm_loadu_si128(p + 2), b3 = _mm_loadu_si128(p + 3);
    __m128i any = _mm_or_si128(_mm_or_si128(b0, b1), _mm_or_si128(b2, b3));
    if (_mm_movemask_epi8(_mm_or_si128(any, prev)) != 0) {
      __m128i fault = _mm_or_si128(_mm_or_si128(block_fault(b0, prev), block_fault(b1, b0)),
                                   _mm_or_si128(block_fault(b2, b1), block_fault(b3, b2)));
      if (_mm_movemask_epi8(fault)) break;
    }
    prev = b3;
  }
  return char_start(s, i);
}
#else
uint64_t utf8_prefix(const unsigned char *, uint64_t) { return 0; }
#endif

// The message for the first UTF-8 fault in [s, s+n), or NULL. Lead bytes and continuation bytes are
// checked; overlong forms, surrogates and values above U+10FFFF pass.
const char *check_utf8(const unsigned char *s, uint64_t n) {
  uint64_t i = utf8_prefix(s, n);
  for (;;) {
    i += ascii_run(s + i, n - i);
    if (i == n) return nullptr;
    unsigned char c = s[i];
    uint64_t need = c >= 0xC2 && c <= 0xDF   ? 2
                    : c >= 0xE0 && c <= 0xEF ? 3
                    : c >= 0xF0 && c <= 0xF4 ? 4
                                             : 0;
    if (need == 0) return "invalid UTF-8 byte (UTF-8 only, SPEC D10)";
    if (n - i < need) return "truncated UTF-8 sequence";
    for (uint64_t k = 1; k < need; k++) {
      if ((s[i + k] & 0xC0) != 0x80) return "invalid UTF-8 continuation byte";
    }
    i += need;
  }
}

// MARK: References

// Decodes the reference named [name, name+n) into out (room for 4 bytes): the byte count, or -1.
int decode_ref(const char *name, size_t n, char *out) {
  if (n == 0 || n > 12) return -1;
  struct predefined {
    string_view name;
    char byte;
  };
  static constexpr predefined k_predefined[] = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  string_view ref(name, n);
  for (const auto &p : k_predefined) {
    if (vepod_ci_eq(ref, p.name)) {
      out[0] = p.byte;
      return 1;
    }
  }
  if (name[0] != '#') return -1;
  bool hex = n >= 2 && (name[1] == 'x' || name[1] == 'X');
  size_t i = hex ? 2 : 1;
  if (i == n) return -1;
  uint32_t value = 0;
  for (; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && vepod_ascii_lower(c) >= 'a' && vepod_ascii_lower(c) <= 'f') {
      digit = vepod_ascii_lower(c) - 'a' + 10;
    } else {
      return -1;
    }
    // Refused as soon as it is out of range, so that no value wraps around into a valid one.
    value = value * (hex ? 16 : 10) + digit;
    if (value > 0x10FFFF) return -1;
  }
  if (value == 0) return -1;
  if (value < 0x80) {
    out[0] = static_cast<char>(value);
    return 1;
  }
  if (value < 0x800) {
    out[0] = static_cast<char>(0xC0 | (value >> 6));
    out[1] = static_cast<char>(0x80 | (value & 0x3F));
    return 2;
  }
  if (value <= 0xFFFF) {
    out[0] = static_cast<char>(0xE0 | (value >> 12));
    out[1] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (value & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (value >> 18));
  out[1] = static_cast<char>(0x80 | ((value >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (value & 0x3F));
  return 4;
}

// Reads the reference whose '&' is at amp and whose ';' lies before end: its decoded bytes into
// out and the byte after the ';' into *next. The byte count, or -1 after recording the error.
int read_ref(xml_reader &r, const unsigned char *amp, const unsigned char *end, char *out,
             const unsigned char **next) {
  auto *semi = static_cast<const unsigned char *>(std::memchr(amp + 1, ';', end - amp - 1));
  if (!semi) return fail(r, "unterminated entity reference");
  size_t n = semi - amp - 1;
  if (n > k_max_ref_name) return fail(r, "entity reference too long");
  int bytes = decode_ref(reinterpret_cast<const char *>(amp + 1), n, out);
  if (bytes < 0) return fail(r, "undeclared entity reference (forbidden, SPEC D10)");
  *next = semi + 1;
  return bytes;
}

// MARK: Extraction

elem_kind classify(string_view name) {
  struct known {
    string_view name;
    elem_kind kind;
  };
  static constexpr known k_known[] = {
      {"item", e_item},
      {"entry", e_entry},
      {"title", e_title},
      {"guid", e_guid},
      {"id", e_id},
      {"link", e_link},
      {"url", e_url},
      {"image", e_image},
      {"itunes:image", e_itunes_image},
      {"enclosure", e_enclosure},
      {"duration", e_duration},
      {"itunes:duration", e_duration},
      {"pubdate", e_date},
      {"published", e_date},
      {"issued", e_date},
      {"updated", e_date},
  };
  if (name.empty()) return e_other;
  unsigned char first = vepod_ascii_lower(static_cast<unsigned char>(name[0]));
  for (const known &k : k_known) {
    if (k.name.size() == name.size() && k.name[0] == first && vepod_ci_eq(name, k.name)) {
      return k.kind;
    }
  }
  return e_other;
}

// Copies an attribute value into an empty field; false after recording an allocation failure.
bool take_attr(xml_reader &r, char **field, string_view value) {
  if (*field || value.empty() || (*field = dup_view(value))) return true;
  fail_oom(r);
  return false;
}

// An enclosure length as the C library's strtoll reads it, when it is 1 to 2^62 - 1; else -1.
int64_t enclosure_length(string_view text) {
  constexpr int64_t most = (int64_t(1) << 62) - 1;
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) i++;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
    int digit = text[i] - '0';
    if (value > (most - digit) / 10) return -1;
    value = value * 10 + digit;
  }
  return negative || value < 1 ? -1 : value;
}

int ex_root(xml_reader &r, string_view name, bool self_closing) {
  if (vepod_ci_eq(name, "feed")) {
    r.format = vepod_format_atom;
  } else if (vepod_ci_eq(name, "rss")) {
    r.format = vepod_format_rss2;
  } else if (vepod_ci_eq(name, "rdf:RDF")) {
    r.format = vepod_format_rdf;
  } else {
    return fail(r, "root element is not <rss>, <rdf:RDF> or <feed> (SPEC D11)");
  }
  if (self_closing) return fail(r, "self-closing root");
  return 0;
}

void ex_start(xml_reader &r, elem_kind kind, const xml_attr *attrs, int nattrs) {
  vepod_feed *feed = r.feed;
  if (!r.item) {
    if (kind == (is_atom(r) ? e_entry : e_item) && feed->nitems < vepod_max_items) {
      vepod_item &item = feed->items[feed->nitems];
      item = vepod_item{};
      item.size = item.mtime_ms = item.duration_s = -1;
      item.index = feed->nitems++;
      r.item = &item;
    } else if (kind == e_itunes_image) {
      for (int i = 0; i < nattrs; i++) {
        if (!vepod_ci_eq(attrs[i].name, "href") || attrs[i].value.empty()) continue;
        std::free(feed->image);
        if (!(feed->image = dup_view(attrs[i].value))) {
          fail_oom(r);
          return;
        }
      }
    }
    return;
  }
  vepod_item *item = r.item;
  if (kind == e_enclosure) {
    for (int i = 0; i < nattrs; i++) {
      const xml_attr &a = attrs[i];
      if (vepod_ci_eq(a.name, "url")) {
        if (!take_attr(r, &item->url, a.value)) return;
      } else if (vepod_ci_eq(a.name, "type")) {
        if (!take_attr(r, &item->enclosure_type, a.value)) return;
      } else if (vepod_ci_eq(a.name, "length") && !a.value.empty()) {
        int64_t size = enclosure_length(a.value);
        if (size > 0) item->size = size;
      }
    }
  } else if (is_atom(r) && kind == e_link && nattrs > 0) {
    bool has_rel = false, enclosure = false;
    const xml_attr *href = nullptr;
    for (int i = 0; i < nattrs; i++) {
      if (vepod_ci_eq(attrs[i].name, "rel")) {
        has_rel = true;
        enclosure = enclosure || vepod_ci_eq(attrs[i].value, "enclosure");
      } else if (vepod_ci_eq(attrs[i].name, "href")) {
        href = &attrs[i];
      }
    }
    if (href && (enclosure || !has_rel)) take_attr(r, &item->url, href->value);
  }
}

// Whether an element's text is collected depends on its name alone, not on where it stands.
bool ex_collects(const xml_reader &r, elem_kind kind) {
  switch (kind) {
    case e_title:
    case e_guid:
    case e_link:
    case e_duration:
    case e_date:
    case e_url:
      return true;
    case e_id:
      return is_atom(r);
    default:
      return false;
  }
}

// Stores a copy of text in an empty field, recording an allocation failure; false when the field
// was already set.
bool take_text(xml_reader &r, char **field, const char *text, size_t len) {
  if (*field) return false;
  if (!(*field = dup_view({text, len}))) fail_oom(r);
  return true;
}

// text is NUL-terminated at len, trimmed and not empty, or NULL when nothing was collected.
void ex_end(xml_reader &r, elem_kind kind, elem_kind parent, const char *text, size_t len) {
  if (r.item && (kind == e_item || kind == e_entry)) {
    r.item = nullptr;
    return;
  }
  if (!text) return;
  vepod_feed *feed = r.feed;
  vepod_item *item = r.item;
  if (!item) {
    if (kind == e_title && take_text(r, &feed->title, text, len)) return;
    if (parent == e_image && (kind == e_url || kind == e_link)) {
      take_text(r, &feed->image, text, len);
    }
    return;
  }
  switch (kind) {
    case e_title:
      take_text(r, &item->title, text, len);
      break;
    case e_guid:
      take_text(r, &item->id, text, len);
      break;
    case e_id:
      if (is_atom(r)) take_text(r, &item->id, text, len);
      break;
    case e_link:
      if (is_atom(r)) take_text(r, &item->url, text, len);
      break;
    case e_duration: {
      int64_t seconds = vepod_parse_duration(text);
      if (seconds >= 0) item->duration_s = seconds;
      break;
    }
    case e_date:
      if (item->mtime_ms == -1) item->mtime_ms = vepod_parse_date(text);
      break;
    default:
      break;
  }
}

// Items without an identifier are named after their media URL, so that they keep one identity
// across fetches.
void ex_finish(xml_reader &r) {
  vepod_feed *feed = r.feed;
  feed->format = r.format;
  for (int32_t i = 0; i < feed->nitems; i++) {
    vepod_item &item = feed->items[i];
    if ((item.id && item.id[0]) || !item.url || !item.url[0]) continue;
    uint64_t h = vepod_fnv1a(item.url, std::strlen(item.url), vepod_fnv1a_basis);
    char id[24];
    std::snprintf(id, sizeof id, "enc:%016llx", static_cast<unsigned long long>(h));
    std::free(item.id);
    if (!(item.id = xstrdup_u(id))) {
      fail_oom(r);
      return;
    }
    item.id_fallback = 1;
  }
}

// MARK: Reader

// Reads a name at pos.
int p_name(xml_reader &r, string_view *name) {
  uint64_t start = r.pos;
  if (start >= r.length || !(k_class[r.input[start]] & k_name_start)) {
    return fail(r, "malformed element name");
  }
  uint64_t end = start + 1;
  while (end < r.length && (k_class[r.input[end]] & k_name)) end++;
  *name = view(r.input + start, r.input + end);
  r.pos = end;
  return 0;
}

// Grows buf (of cap bytes) to hold need bytes; capacities double from k_text_first.
int grow(xml_reader &r, char *&buf, uint64_t &cap, uint64_t need) {
  if (need <= cap) return 0;
  uint64_t bigger = cap ? cap : k_text_first;
  while (bigger < need) bigger *= 2;
  auto *grown = static_cast<char *>(vepod_realloc(buf, bigger));
  if (!grown) return fail_oom(r);
  buf = grown;
  cap = bigger;
  return 0;
}

// Makes room for `more` bytes after the scratch buffer's contents.
int reserve_scratch(xml_reader &r, uint64_t more) {
  return grow(r, r.scratch, r.scratch_cap, r.scratch_len + more);
}

// Offset of a value that is not decoded into the scratch buffer.
constexpr uint64_t k_in_document = UINT64_MAX;

// Reads a quoted value whose opening quote is at pos. A value that holds references is decoded onto
// the end of the scratch buffer and reported by its offset there (*offset; *value stays empty),
// since a later value may move the buffer; others are views into the document.
int p_value(xml_reader &r, string_view *value, uint64_t *offset) {
  *offset = k_in_document;
  const unsigned char *open = r.input + r.pos;
  const unsigned char *end = r.input + r.length;
  if (open + 1 == end) {
    // The attribute list then ends with the document, which the caller reports.
    *value = {};
    r.pos = r.length;
    return 0;
  }
  auto *close = static_cast<const unsigned char *>(std::memchr(open + 1, *open, end - open - 1));
  if (!close) return fail(r, "unterminated attribute value");
  r.pos = close - r.input + 1;
  const unsigned char *p = open + 1;
  auto *amp = static_cast<const unsigned char *>(std::memchr(p, '&', close - p));
  if (!amp) {
    *value = view(p, close);
    return 0;
  }
  // Decoded text never outgrows the raw value, so one reservation covers it.
  if (reserve_scratch(r, close - p)) return -1;
  uint64_t start = r.scratch_len;
  char *out = r.scratch + start;
  for (;;) {
    std::memcpy(out, p, amp - p);
    out += amp - p;
    int bytes = read_ref(r, amp, close, out, &p);
    if (bytes < 0) return -1;
    out += bytes;
    amp = static_cast<const unsigned char *>(std::memchr(p, '&', close - p));
    if (!amp) break;
  }
  std::memcpy(out, p, close - p);
  out += close - p;
  r.scratch_len = out - r.scratch;
  *offset = start;
  return 0;
}

// Reads the rest of a start tag after its name, up to and including '>' or '/>'.
int p_attrs(xml_reader &r, xml_attr *attrs, int *nattrs, bool *self_closing) {
  const unsigned char *in = r.input;
  int n = 0;
  uint64_t offsets[k_max_attrs], lengths[k_max_attrs];
  r.scratch_len = 0;
  for (;;) {
    skip_blanks(r);
    if (r.pos >= r.length) return fail(r, "unexpected end of input");
    unsigned char c = in[r.pos];
    if (c == '>') {
      r.pos++;
      *self_closing = false;
      break;
    }
    if (c == '/') {
      if (r.pos + 1 >= r.length || in[r.pos + 1] != '>') return fail(r, "malformed attribute list");
      r.pos += 2;
      *self_closing = true;
      break;
    }
    if (!(k_class[c] & k_name_start)) return fail(r, "malformed attribute list");
    xml_attr attr{};
    p_name(r, &attr.name);  // cannot fail: c begins a name
    skip_blanks(r);
    uint64_t scratch_before = r.scratch_len, offset = k_in_document;
    if (r.pos < r.length && in[r.pos] == '=') {
      r.pos++;
      skip_blanks(r);
      if (r.pos >= r.length || (in[r.pos] != '"' && in[r.pos] != '\'')) {
        return fail(r, "attribute value must be quoted");
      }
      if (p_value(r, &attr.value, &offset)) return -1;
    }
    if (n < k_max_attrs) {
      offsets[n] = offset;
      lengths[n] = r.scratch_len - scratch_before;
      attrs[n++] = attr;
    } else {
      r.scratch_len = scratch_before;
    }
  }
  for (int i = 0; i < n; i++) {
    if (offsets[i] != k_in_document) attrs[i].value = {r.scratch + offsets[i], lengths[i]};
  }
  *nattrs = n;
  return 0;
}

// Makes room for `more` bytes and a terminating NUL in a frame's text.
int reserve_text(xml_reader &r, xml_frame &f, uint64_t more) {
  return grow(r, f.text, f.text_cap, f.text_len + more + 1);
}

int charge(xml_reader &r, uint64_t bytes) {
  if (bytes > static_cast<uint64_t>(r.budget)) {
    return fail(r, "decoded text budget exceeded (SPEC D10)");
  }
  r.budget -= static_cast<int64_t>(bytes);
  return 0;
}

// A text run from pos up to the next '<'. Only runs that someone collects are decoded: a stray '&'
// in an element nobody reads is not worth refusing the feed for.
int p_text(xml_reader &r) {
  const unsigned char *p = r.input + r.pos;
  const unsigned char *end = r.input + r.length;
  auto *lt = static_cast<const unsigned char *>(std::memchr(p, '<', end - p));
  if (!lt) return fail(r, "unclosed element");
  r.pos = lt - r.input;
  int32_t sink = r.frames[r.top].sink;
  if (sink < 0) return 0;
  xml_frame &f = r.frames[sink];
  if (reserve_text(r, f, lt - p)) return -1;
  char *out = f.text + f.text_len;
  for (;;) {
    auto *amp = static_cast<const unsigned char *>(std::memchr(p, '&', lt - p));
    const unsigned char *stop = amp ? amp : lt;
    if (stop > p) {
      if (charge(r, stop - p)) return -1;
      std::memcpy(out, p, stop - p);
      out += stop - p;
    }
    if (!amp) break;
    int bytes = read_ref(r, amp, lt, out, &p);
    if (bytes < 0 || charge(r, bytes)) return -1;
    out += bytes;
  }
  f.text_len = out - f.text;
  return 0;
}

// CDATA content goes to the collecting element unchanged.
int p_cdata(xml_reader &r, const unsigned char *begin, const unsigned char *end) {
  int32_t sink = r.frames[r.top].sink;
  if (sink < 0) return 0;
  xml_frame &f = r.frames[sink];
  uint64_t n = end - begin;
  if (charge(r, n) || reserve_text(r, f, n)) return -1;
  std::memcpy(f.text + f.text_len, begin, n);
  f.text_len += n;
  return 0;
}

// A processing instruction whose '<?' is at pos. Its content is never examined, but the first '?'
// must close it.
int p_pi(xml_reader &r) {
  const unsigned char *in = r.input;
  uint64_t from = r.pos + 2;
  const unsigned char *q =
      from < r.length
          ? static_cast<const unsigned char *>(std::memchr(in + from, '?', r.length - from))
          : nullptr;
  if (!q || q == in + from || q + 1 == in + r.length || q[1] != '>') {
    return fail(r, "malformed processing instruction");
  }
  r.pos = q - in + 2;
  return 0;
}

// Markup at pos that begins with '<!': a comment, a CDATA section, or a refused declaration.
int p_bang(xml_reader &r) {
  const unsigned char *in = r.input + r.pos;
  const unsigned char *end = r.input + r.length;
  uint64_t left = r.length - r.pos;
  if (left >= 4 && std::memcmp(in, "<!--", 4) == 0) {
    const unsigned char *close = find3(in + 4, end, "-->");
    if (!close) return fail(r, "unterminated comment");
    r.pos = close - r.input + 3;
    return 0;
  }
  if (left > 9 && std::memcmp(in, "<![CDATA[", 9) == 0) {
    const unsigned char *close = find3(in + 9, end, "]]>");
    if (!close) return fail(r, "unterminated CDATA section");
    r.pos = close - r.input + 3;
    return p_cdata(r, in + 9, close);
  }
  return fail(r, "DTD / DOCTYPE / ENTITY declarations are forbidden (SPEC D10)");
}

int p_start(xml_reader &r) {
  if (r.top + 2 > k_max_depth) return fail(r, "nesting deeper than 32 (SPEC D10)");
  r.pos++;
  string_view name;
  int nattrs;
  bool self_closing;
  if (p_name(r, &name) || p_attrs(r, r.attrs, &nattrs, &self_closing)) return -1;
  elem_kind kind = classify(name);
  ex_start(r, kind, r.attrs, nattrs);
  if (r.message) return -1;
  if (self_closing) return 0;
  int32_t parent = r.top++;
  xml_frame &f = r.frames[r.top];
  f.name = name;
  f.kind = kind;
  f.text_len = 0;
  f.sink = ex_collects(r, kind) ? r.top : r.frames[parent].sink;
  return 0;
}

// An end tag at pos: 1 when it closed the root, 0 when reading goes on, -1 on error.
int p_end(xml_reader &r) {
  r.pos += 2;
  string_view name;
  if (p_name(r, &name)) return -1;
  skip_blanks(r);
  if (r.pos >= r.length || r.input[r.pos] != '>') return fail(r, "malformed close tag");
  r.pos++;
  xml_frame &f = r.frames[r.top];
  if (!vepod_ci_eq(name, f.name)) return fail(r, "mismatched close tag");
  r.top--;
  char *text = nullptr;
  size_t len = 0;
  if (f.text_len) {
    char *b = f.text;
    char *e = f.text + f.text_len;
    while (b < e && is_blank(static_cast<unsigned char>(*b))) b++;
    while (e > b && is_blank(static_cast<unsigned char>(e[-1]))) e--;
    if (b < e) {
      *e = '\0';
      text = b;
      len = e - b;
    }
    f.text_len = 0;
  }
  ex_end(r, f.kind, r.top >= 0 ? r.frames[r.top].kind : e_other, text, len);
  if (r.message) return -1;
  return r.top < 0;
}

// Reads the root's content up to and including its end tag; nothing after it is looked at.
int p_children(xml_reader &r) {
  for (;;) {
    skip_blanks(r);
    if (r.pos >= r.length) return fail(r, "unexpected end of input");
    if (r.input[r.pos] != '<') {
      if (p_text(r)) return -1;
      continue;
    }
    unsigned char next = r.pos + 1 < r.length ? r.input[r.pos + 1] : 0;
    int rc;
    if (next == '/') {
      rc = p_end(r);
      if (rc > 0) return 0;
    } else if (next == '?') {
      rc = p_pi(r);
    } else if (next == '!') {
      rc = p_bang(r);
    } else {
      rc = p_start(r);
    }
    if (rc < 0) return -1;
  }
}

// Processing instructions and blanks before the root; leaves pos at the root's '<'.
int p_prolog(xml_reader &r) {
  for (;;) {
    skip_blanks(r);
    if (r.pos >= r.length) return fail(r, "empty document");
    if (r.input[r.pos] != '<') return fail(r, "missing root element");
    if (r.length - r.pos > 2 && r.input[r.pos + 1] == '?') {
      if (p_pi(r)) return -1;
      continue;
    }
    if (r.length - r.pos > 1 && r.input[r.pos + 1] == '!') {
      return fail(r, "DTD / DOCTYPE is forbidden (SPEC D10)");
    }
    return 0;
  }
}

int p_document(xml_reader &r) {
  if (p_prolog(r)) return -1;
  r.pos++;
  string_view name;
  int nattrs;
  bool self_closing;
  if (p_name(r, &name) || p_attrs(r, r.attrs, &nattrs, &self_closing) ||
      ex_root(r, name, self_closing)) {
    return -1;
  }
  r.top = 0;
  r.frames[0].name = name;
  r.frames[0].kind = classify(name);
  r.frames[0].sink = -1;
  if (p_children(r)) return -1;
  ex_finish(r);
  return r.message ? -1 : 0;
}

}  // namespace

vepod_feed_status vepod_feed_parse(const void *data, uint64_t len, vepod_feed *feed, char *err,
                                   int32_t err_size) {
  if (err && err_size > 0) err[0] = '\0';
  if (!feed) return vepod_feed_invalid;
  *feed = vepod_feed{};
  const char *message = nullptr;
  char decode_err[64];
  bool out_of_memory = false;
  if (!data || len == 0) {
    message = "empty feed body";
  } else if (len > vepod_max_document) {
    message = "feed larger than 16 MB (SPEC D10)";
  } else if (!(feed->items =
                   static_cast<vepod_item *>(vepod_calloc(vepod_max_items, sizeof(vepod_item))))) {
    message = "out of memory";
    out_of_memory = true;
  } else {
    const auto *input = static_cast<const unsigned char *>(data);
    const uint64_t given_len = len;
    if (len > 2 && input[0] == 0xEF && input[1] == 0xBB && input[2] == 0xBF) {
      input += 3;
      len -= 3;
    }
    message = check_utf8(input, len);
    // Only a document that UTF-8 cannot read is decoded (or one in ISO-2022-JP, whose escape
    // sequences pass for UTF-8). A plain pointer owns the text: an owner with a destructor here
    // costs the UTF-8 parse about 2 % through the inlining it prevents.
    char *decoded = nullptr;
    size_t decoded_len;
    if (message || vepod_decode_despite_utf8(input, len)) {
      switch (vepod_decode_document(static_cast<const unsigned char *>(data), given_len, &decoded,
                                    &decoded_len, decode_err, sizeof decode_err)) {
        case vepod_decode_ok:
          input = reinterpret_cast<const unsigned char *>(decoded);
          len = decoded_len;
          message = check_utf8(input, len);
          break;
        case vepod_decode_not_applicable:
          break;
        case vepod_decode_invalid:
          message = decode_err;
          break;
        case vepod_decode_out_of_memory:
          message = "out of memory";
          out_of_memory = true;
          break;
      }
    }
    if (!message) {
      xml_reader r{};
      r.input = input;
      r.length = len;
      r.budget = k_text_budget;
      r.feed = feed;
      r.top = -1;
      p_document(r);
      for (xml_frame &f : r.frames) std::free(f.text);
      std::free(r.scratch);
      message = r.message;
      out_of_memory = r.out_of_memory;
    }
    std::free(decoded);
  }
  if (!message) return vepod_feed_ok;
  vepod_feed_free(feed);
  vepod_put_err(err, err_size, "%s", message);
  return out_of_memory ? vepod_feed_out_of_memory : vepod_feed_invalid;
}

void vepod_feed_free(vepod_feed *feed) {
  if (!feed) return;
  std::free(feed->title);
  std::free(feed->image);
  for (int32_t i = 0; i < feed->nitems; i++) {
    vepod_item &item = feed->items[i];
    std::free(item.title);
    std::free(item.id);
    std::free(item.url);
    std::free(item.enclosure_type);
  }
  std::free(feed->items);
  *feed = vepod_feed{};
}
