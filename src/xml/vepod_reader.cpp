// The strict XML reader.
//
// One pass over the document, which is only borrowed: names and attribute values are views into it
// (attribute values that hold references are decoded into one scratch buffer per start tag), and
// only the text of elements the consumer collects is copied. Content is read by a loop over an
// explicit stack of open elements, so stack use does not grow with the document.
//
// The file is longer than most: the reader is one state machine over one private record, and its
// steps (markup, text, references, namespaces) share that record's layout; split apart they would
// need it in a header that nothing else should see.

#include "xml/vepod_reader.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "util/vepod_alloc.h"
#include "util/vepod_encoding.h"
#include "util/vepod_text.h"
#include "util/vepod_utf8.h"

namespace {

using std::string_view;

constexpr size_t k_max_ref_name = vepod_xml_max_ref_name;
// Decoded text one document may collect. A reference never decodes to more bytes than it takes,
// so documents within the size limit stay below it; it guards the collector should that change.
constexpr int64_t k_text_budget = 67108864;
// Namespace bindings that rename a prefix, open at once. Feeds declare a handful; beyond this,
// further renaming declarations are not honoured and their names are read as written.
constexpr int k_max_bindings = 64;
// Room for a name with its prefix replaced; longer names are handed over as written.
constexpr size_t k_renamed_size = 64;

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

struct xml_frame {
  string_view name;  // as written in the start tag
  // Collected text. The buffer stays with the stack slot when the element closes and is reused by
  // the next element at that depth; it is released when the read ends.
  vepod_buffer text;
  int32_t sink;  // the innermost collecting frame at or below this one, or -1
  bool notify;   // the consumer wants the element's end
  // The text runs and CDATA sections the text gathers (blanks between markup aside). An element
  // that takes a run where it lies (vepod_xml_want_run) keeps its first one pending, neither read
  // nor copied, until a second one comes or its end shows where its text lies: the run's place,
  // its size, whether it holds references, and the text's offset it belongs at.
  int32_t runs;
  bool lazy;
  bool pending;
  bool run_references;
  const unsigned char *run_begin, *run_end;
  size_t run_decoded;
  size_t run_at;
};

// A prefix bound to one of the consumer's namespaces under another name, or (to shadow such a
// binding) to something else.
struct ns_binding {
  string_view prefix;
  string_view usual;  // the name to hand over instead; the prefix itself when shadowing
  int32_t depth;      // of the element that declared it
};

struct xml_reader {
  const unsigned char *input;
  size_t pos;
  size_t length;
  int64_t budget;
  const char *message;  // the first error; every failing step returns at once
  bool out_of_memory;
  vepod_xml_consumer *consumer;
  int32_t top;  // innermost open element, -1 when none
  xml_frame frames[vepod_xml_max_depth];
  vepod_xml_attr attrs[vepod_xml_max_attrs];  // of the start tag being read
  // Decoded attribute values of the current start tag.
  vepod_buffer scratch;
  int32_t nbindings;
  ns_binding bindings[k_max_bindings];
  // First letters (in lower case) of the bound prefixes, so that most names are passed over at
  // once.
  uint64_t binding_letters[4];
  bool declares;     // the current start tag has an attribute that may declare a namespace prefix
  bool doctype;      // a document type declaration has been read
  bool html4;        // it names the RSS 0.91 DTD, whose HTML 4 named references decode
  bool well_formed;  // the document is well-formed UTF-8
  // What is read is the caller's document, not a decoded copy that goes with the read: only then
  // may runs be handed over where they lie.
  bool in_place;
  bool empty;  // nothing but blanks, comments and processing instructions
  // Renamed element and attribute names of the current start tag.
  char renamed[vepod_xml_max_attrs + 1][k_renamed_size];
};

int fail(xml_reader &r, const char *message, bool out_of_memory = false) {
  if (!r.message) {
    r.message = message;
    r.out_of_memory = out_of_memory;
  }
  return -1;
}

int fail_oom(xml_reader &r) { return fail(r, "out of memory", true); }

// Takes over a consumer's refusal.
int refused(xml_reader &r) {
  return fail(r, r.consumer->message ? r.consumer->message : "refused",
              r.consumer->memory_exhausted);
}

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

// MARK: Input checks

// The message for the first UTF-8 fault in [s, s+n), or NULL; its offset in *at. Lead bytes and
// continuation bytes are checked; overlong forms, surrogates and values above U+10FFFF pass, and
// *well_formed tells whether there were none.
const char *check_utf8(const unsigned char *s, size_t n, size_t *at, bool *well_formed) {
  switch (vepod_utf8_check(reinterpret_cast<const char *>(s), n,
                           vepod_utf8_rules::lead_and_continuation, at, well_formed)) {
    case vepod_utf8_fault::none:
      return nullptr;
    case vepod_utf8_fault::invalid_byte:
      return "invalid UTF-8 byte (UTF-8 only)";
    case vepod_utf8_fault::truncated:
      return "truncated UTF-8 sequence";
    case vepod_utf8_fault::invalid_continuation:
      return "invalid UTF-8 continuation byte";
  }
  return nullptr;
}

// The message for the first U+FFFE or U+FFFF in checked UTF-8 [s, s+n), or NULL; its offset in
// *at. XML 1.0 excludes both from its characters; only EF BF BE and EF BF BF encode them, so the
// scan costs a memchr for documents without EF bytes.
const char *check_noncharacters(const unsigned char *s, size_t n, size_t *at) {
  for (const unsigned char *p = s, *end = s + n;
       (p = static_cast<const unsigned char *>(std::memchr(p, 0xEF, end - p))); p++) {
    if (end - p >= 3 && p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF)) {
      *at = p - s;
      return "U+FFFE and U+FFFF are not XML characters";
    }
  }
  return nullptr;
}

// MARK: References

// A faulty reference is where reading stops. Kept out of read_ref, which runs for every reference.
__attribute__((noinline, cold)) int fail_ref(xml_reader &r, const unsigned char *amp,
                                             const char *message) {
  r.pos = amp - r.input;
  return fail(r, message);
}

// A name XML does not know: one of HTML 4's where the RSS 0.91 DTD declares them, else a failure.
__attribute__((noinline)) int other_ref(xml_reader &r, const unsigned char *amp, size_t n,
                                        char *out) {
  int bytes =
      r.html4 ? vepod_decode_html4_entity({reinterpret_cast<const char *>(amp + 1), n}, out) : -1;
  return bytes >= 0 ? bytes : fail_ref(r, amp, "undeclared entity reference (forbidden)");
}

// Reads the reference whose '&' is at amp and whose ';' lies before end: its decoded bytes into
// out and the byte after the ';' into *next. The byte count, or -1 after recording the error.
// Inlined into both of its callers: a call per reference costs the reader some 2 %.
__attribute__((always_inline)) inline int read_ref(xml_reader &r, const unsigned char *amp,
                                                   const unsigned char *end, char *out,
                                                   const unsigned char **next) {
  auto *semi = static_cast<const unsigned char *>(std::memchr(amp + 1, ';', end - amp - 1));
  if (!semi) return fail_ref(r, amp, "unterminated entity reference");
  size_t n = semi - amp - 1;
  if (n > k_max_ref_name) return fail_ref(r, amp, "entity reference too long");
  int bytes = vepod_decode_reference({reinterpret_cast<const char *>(amp + 1), n}, out);
  if (bytes < 0 && (bytes = other_ref(r, amp, n, out)) < 0) return -1;
  *next = semi + 1;
  return bytes;
}

// MARK: Namespaces

// Whether a declared namespace URI names a known one. Feeds write the same vocabulary with other
// letter cases and with https for http ("https://www.itunes.com/DTDs/Podcast-1.0.dtd"), so both
// are ignored.
bool same_namespace(string_view declared, string_view known) {
  auto after_scheme = [](string_view uri) {
    if (vepod_ci_starts(uri, "http://")) return uri.substr(7);
    if (vepod_ci_starts(uri, "https://")) return uri.substr(8);
    return uri;
  };
  return declared == known || vepod_ci_eq(after_scheme(declared), after_scheme(known));
}

// Records the renaming declarations (xmlns:p="uri") among the attributes of the tag at depth.
// Only documents that bind a known namespace to an unusual prefix pay for renaming names.
void bind_namespaces(xml_reader &r, const vepod_xml_attr *attrs, int nattrs, int32_t depth) {
  const vepod_xml_consumer &c = *r.consumer;
  for (int i = 0; i < nattrs; i++) {
    string_view name = attrs[i].name;
    if (name.size() <= 6 || name[5] != ':' || !vepod_ci_eq(name.substr(0, 5), "xmlns")) continue;
    string_view prefix = name.substr(6);
    const string_view *usual = &prefix;
    for (size_t k = 0; k < c.namespace_count; k++) {
      if (same_namespace(attrs[i].value, c.namespaces[k].uri)) {
        usual = &c.namespaces[k].prefix;
        break;
      }
    }
    bool renames = !vepod_ci_eq(*usual, prefix);
    bool shadows = false;
    for (int32_t b = r.nbindings - 1; b >= 0 && !shadows; b--) {
      shadows = vepod_ci_eq(r.bindings[b].prefix, prefix);
    }
    if ((renames || shadows) && r.nbindings < k_max_bindings) {
      r.bindings[r.nbindings++] = {prefix, *usual, depth};
      unsigned char letter = vepod_ascii_lower(static_cast<unsigned char>(prefix[0]));
      r.binding_letters[letter >> 6] |= uint64_t(1) << (letter & 63);
    }
  }
}

// Drops the bindings of elements deeper than depth.
void unbind_namespaces(xml_reader &r, int32_t depth) {
  if (r.nbindings == 0 || r.bindings[r.nbindings - 1].depth <= depth) return;
  while (r.nbindings > 0 && r.bindings[r.nbindings - 1].depth > depth) r.nbindings--;
  std::memset(r.binding_letters, 0, sizeof r.binding_letters);
  for (int32_t b = 0; b < r.nbindings; b++) {
    unsigned char letter = vepod_ascii_lower(static_cast<unsigned char>(r.bindings[b].prefix[0]));
    r.binding_letters[letter >> 6] |= uint64_t(1) << (letter & 63);
  }
}

// The name to hand over for a name as written: its prefix replaced by the usual one when a binding
// says so, written into `room`.
// Whether a binding's prefix begins like name; names are never empty.
inline bool may_rename(const xml_reader &r, string_view name) {
  unsigned char letter = vepod_ascii_lower(static_cast<unsigned char>(name[0]));
  return r.binding_letters[letter >> 6] & (uint64_t(1) << (letter & 63));
}

string_view rename(const xml_reader &r, string_view name, char (&room)[k_renamed_size]) {
  size_t colon = 1;
  while (colon < name.size() && name[colon] != ':') colon++;
  if (colon == name.size()) return name;
  string_view prefix = name.substr(0, colon);
  for (int32_t b = r.nbindings - 1; b >= 0; b--) {
    const ns_binding &binding = r.bindings[b];
    if (!vepod_ci_eq(binding.prefix, prefix)) continue;
    string_view local = name.substr(colon + 1);
    size_t size = binding.usual.empty() ? local.size() : binding.usual.size() + 1 + local.size();
    if (size > k_renamed_size) return name;
    char *out = room;
    if (!binding.usual.empty()) {
      std::memcpy(out, binding.usual.data(), binding.usual.size());
      out += binding.usual.size();
      *out++ = ':';
    }
    std::memcpy(out, local.data(), local.size());
    return {room, size};
  }
  return name;
}

// Hands a start tag to the consumer, its names renamed where bindings say so.
int report_start(xml_reader &r, string_view name, int nattrs, bool self_closing, int32_t depth,
                 vepod_xml_want *want) {
  if (r.declares) bind_namespaces(r, r.attrs, nattrs, depth);
  if (r.nbindings > 0) {
    if (may_rename(r, name)) name = rename(r, name, r.renamed[vepod_xml_max_attrs]);
    for (int i = 0; i < nattrs; i++) {
      if (may_rename(r, r.attrs[i].name)) {
        r.attrs[i].name = rename(r, r.attrs[i].name, r.renamed[i]);
      }
    }
  }
  *want = vepod_xml_want_nothing;
  vepod_xml_tag tag{name, r.attrs, nattrs, depth, self_closing};
  if (r.consumer->start(tag, want) != VEPOD_OK) return refused(r);
  if (self_closing) unbind_namespaces(r, depth - 1);
  return 0;
}

// MARK: Reader

// Reads a name at pos.
int p_name(xml_reader &r, string_view *name) {
  size_t start = r.pos;
  if (start >= r.length || !(k_class[r.input[start]] & k_name_start)) {
    return fail(r, "malformed element name");
  }
  size_t end = start + 1;
  while (end < r.length && (k_class[r.input[end]] & k_name)) end++;
  *name = view(r.input + start, r.input + end);
  r.pos = end;
  return 0;
}

// Makes room for `more` bytes after the scratch buffer's contents.
int reserve_scratch(xml_reader &r, size_t more) {
  return vepod_buffer_reserve(r.scratch, more) ? 0 : fail_oom(r);
}

// The first byte c or b in [p, end) (b may be c again), or end; attribute values and the texts of
// titles and links are short, so they are looked at 16 bytes at a time without a call. Looking for
// one byte, what lies beyond the first 32 is left to memchr.
inline const unsigned char *find_short(const unsigned char *p, const unsigned char *end,
                                       unsigned char c, unsigned char b) {
#if defined(__SSE2__)
  const __m128i vc = _mm_set1_epi8(char(c)), vb = _mm_set1_epi8(char(b));
  for (int j = 0; end - p >= 16 && (j < 2 || b != c); j++, p += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, vc), _mm_cmpeq_epi8(v, vb));
    if (unsigned m = unsigned(_mm_movemask_epi8(hit))) return p + __builtin_ctz(m);
  }
#endif
  if (b != c) {
    while (p < end && *p != c && *p != b) p++;
    return p;
  }
  auto *hit = static_cast<const unsigned char *>(std::memchr(p, c, size_t(end - p)));
  return hit ? hit : end;
}

// Offset of a value that is not decoded into the scratch buffer.
constexpr size_t k_in_document = SIZE_MAX;

// Reads a quoted value whose opening quote is at pos. A value that holds references is decoded onto
// the end of the scratch buffer and reported by its offset there (*offset; *value stays empty),
// since a later value may move the buffer; others are views into the document.
int p_value(xml_reader &r, string_view *value, size_t *offset) {
  *offset = k_in_document;
  const unsigned char *open = r.input + r.pos;
  const unsigned char *end = r.input + r.length;
  if (open + 1 == end) {
    // The attribute list then ends with the document, which the caller reports.
    *value = {};
    r.pos = r.length;
    return 0;
  }
  // Most values hold no reference: the closing quote and a '&' are looked for together.
  const unsigned char *p = open + 1;
  const unsigned char *amp = find_short(p, end, *open, '&');
  auto *close = amp < end && *amp == *open
                    ? amp
                    : static_cast<const unsigned char *>(std::memchr(amp, *open, end - amp));
  if (!close) return fail(r, "unterminated attribute value");
  r.pos = close - r.input + 1;
  if (amp == close) {
    *value = view(p, close);
    return 0;
  }
  // Decoded text never outgrows the raw value, so one reservation covers it.
  if (reserve_scratch(r, close - p)) return -1;
  size_t start = r.scratch.len;
  char *out = r.scratch.data + start;
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
  r.scratch.len = out - r.scratch.data;
  *offset = start;
  return 0;
}

// Reads the rest of a start tag after its name, up to and including '>' or '/>'.
int p_attrs(xml_reader &r, int *nattrs, bool *self_closing) {
  const unsigned char *in = r.input;
  vepod_xml_attr *attrs = r.attrs;
  int n = 0;
  size_t offsets[vepod_xml_max_attrs], lengths[vepod_xml_max_attrs];
  r.scratch.len = 0;
  r.declares = false;
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
    vepod_xml_attr attr{};
    p_name(r, &attr.name);  // cannot fail: c begins a name
    r.declares |= attr.name.size() > 6 && attr.name[5] == ':';
    skip_blanks(r);
    size_t scratch_before = r.scratch.len, offset = k_in_document;
    if (r.pos < r.length && in[r.pos] == '=') {
      r.pos++;
      skip_blanks(r);
      if (r.pos >= r.length || (in[r.pos] != '"' && in[r.pos] != '\'')) {
        return fail(r, "attribute value must be quoted");
      }
      if (p_value(r, &attr.value, &offset)) return -1;
    }
    if (n < vepod_xml_max_attrs) {
      offsets[n] = offset;
      lengths[n] = r.scratch.len - scratch_before;
      attrs[n++] = attr;
    } else {
      r.scratch.len = scratch_before;
    }
  }
  for (int i = 0; i < n; i++) {
    if (offsets[i] != k_in_document) attrs[i].value = {r.scratch.data + offsets[i], lengths[i]};
  }
  *nattrs = n;
  return 0;
}

// Makes room for `more` bytes and a terminating NUL in a frame's text.
int reserve_text(xml_reader &r, xml_frame &f, size_t more) {
  return vepod_buffer_reserve(f.text, more) ? 0 : fail_oom(r);
}

int charge(xml_reader &r, size_t bytes) {
  if (bytes > static_cast<uint64_t>(r.budget)) {
    return fail(r, "decoded text budget exceeded");
  }
  r.budget -= static_cast<int64_t>(bytes);
  return 0;
}

// Decodes the predefined reference at amp when it is written in lower case (end bounds it): the
// byte count (1) and the byte after the ';' in *next, or 0 when it is another reference.
inline int predefined_ref(const unsigned char *amp, const unsigned char *end, char *out,
                          const unsigned char **next) {
  size_t n = vepod_xml_predefined_ref(reinterpret_cast<const char *>(amp), size_t(end - amp), out);
  *next = amp + n;
  return n != 0;
}

// Copies [p, end) to out up to its first '&': the '&' (or end), with out advanced past the copy.
// 16 bytes at a time: out has room for end - p bytes.
inline const unsigned char *copy_to_amp(const unsigned char *p, const unsigned char *end,
                                        char *&out) {
#if defined(__SSE2__)
  const __m128i amp = _mm_set1_epi8('&');
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
    unsigned m = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, amp)));
    if (m) {
      unsigned k = unsigned(__builtin_ctz(m));
      out += k;
      return p + k;
    }
    out += 16;
    p += 16;
  }
#endif
  while (p < end && *p != '&') *out++ = char(*p++);
  return p;
}

// Decodes the text run [p, lt) onto out (room for lt - p bytes and 16 more): the end of what was
// written, or NULL after recording a faulty reference.
char *decode_run(xml_reader &r, const unsigned char *p, const unsigned char *lt, char *out) {
  while ((p = copy_to_amp(p, lt, out)) < lt) {
    int bytes = predefined_ref(p, lt, out, &p);
    if (bytes == 0 && (bytes = read_ref(r, p, lt, out, &p)) < 0) return nullptr;
    out += bytes;
  }
  return out;
}

// The first '&' in [p, end), or end; 16 bytes at a time, as references in text come close together.
inline const unsigned char *find_amp(const unsigned char *p, const unsigned char *end) {
#if defined(__SSE2__)
  const __m128i amp = _mm_set1_epi8('&');
  for (; end - p >= 16; p += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    if (unsigned m = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, amp)))) {
      return p + __builtin_ctz(m);
    }
  }
#endif
  while (p < end && *p != '&') p++;
  return p;
}

// Writes frame f's pending run into its text at the place it belongs, before the blanks that came
// after it.
int materialize(xml_reader &r, xml_frame &f) {
  f.pending = false;
  size_t n = f.run_end - f.run_begin;
  if (reserve_text(r, f, n + 16)) return -1;
  char *begin = f.text.data + f.text.len;
  char *out = begin;
  if (f.run_references) {
    if (!(out = decode_run(r, f.run_begin, f.run_end, out))) return -1;
  } else {
    std::memcpy(out, f.run_begin, n);
    out += n;
  }
  std::rotate(f.text.data + f.run_at, begin, out);
  f.text.len += out - begin;
  return 0;
}

// Takes the first run of a lazy element as pending (its size already charged).
void take_pending(xml_frame &f, const unsigned char *begin, const unsigned char *end,
                  size_t decoded, bool references) {
  f.runs = 1;
  f.pending = true;
  f.run_begin = begin;
  f.run_end = end;
  f.run_decoded = decoded;
  f.run_references = references;
  f.run_at = f.text.len;
}

// The first '<' or '&' in [p, end), or end; 16 bytes at a time.
inline const unsigned char *find_lt_or_amp(const unsigned char *p, const unsigned char *end) {
#if defined(__SSE2__)
  const __m128i lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&');
  for (; end - p >= 16; p += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, amp));
    if (unsigned m = unsigned(_mm_movemask_epi8(hit))) return p + __builtin_ctz(m);
  }
#endif
  while (p < end && *p != '<' && *p != '&') p++;
  return p;
}

// Bits below the lowest set bit of m (all of them when m is 0).
inline uint64_t below_lowest(uint64_t m) { return m ? (m & (0 - m)) - 1 : ~uint64_t(0); }

// The first '<', or reference other than the predefined ones in lower case, from q on; or end.
// Escaped show notes hold a reference every few bytes, most of them "&lt;" and "&gt;": 64 bytes at
// a time, those are recognised by comparing the bytes after each '&' all at once, and the others
// read one after the other.
const unsigned char *skip_predefined(const unsigned char *q, const unsigned char *end) {
  char c;
#if defined(__SSE2__)
  const __m128i lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&');
  const __m128i l = _mm_set1_epi8('l'), g = _mm_set1_epi8('g'), t = _mm_set1_epi8('t'),
                semi = _mm_set1_epi8(';');
  // A block's last reference is compared with the 3 bytes after it.
  while (end - q >= 64 + 3) {
    const unsigned char *base = q;
    uint64_t lts = 0, amps = 0, ltgts = 0;
    for (int j = 0; j < 4; j++) {
      auto at = [base, j](int k) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(base + 16 * j + k));
      };
      __m128i v = at(0), v1 = at(1);
      __m128i a = _mm_cmpeq_epi8(v, amp);
      __m128i ltgt = _mm_and_si128(
          _mm_and_si128(a, _mm_or_si128(_mm_cmpeq_epi8(v1, l), _mm_cmpeq_epi8(v1, g))),
          _mm_and_si128(_mm_cmpeq_epi8(at(2), t), _mm_cmpeq_epi8(at(3), semi)));
      lts |= uint64_t(unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lt)))) << (16 * j);
      amps |= uint64_t(unsigned(_mm_movemask_epi8(a))) << (16 * j);
      ltgts |= uint64_t(unsigned(_mm_movemask_epi8(ltgt))) << (16 * j);
    }
    // The other references before the '<', in order; the first that is not predefined stops the
    // scan as the '<' does.
    uint64_t stops = lts;
    for (uint64_t o = amps & ~ltgts & below_lowest(lts); o; o &= o - 1) {
      const unsigned char *ref = base + __builtin_ctzll(o);
      if (!vepod_xml_predefined_ref(reinterpret_cast<const char *>(ref), size_t(end - ref), &c)) {
        stops |= o & (0 - o);
        break;
      }
    }
    if (stops) return base + __builtin_ctzll(stops);
    q = base + 64;
  }
#endif
  while ((q = find_lt_or_amp(q, end)) < end && *q == '&') {
    size_t n = vepod_xml_predefined_ref(reinterpret_cast<const char *>(q), size_t(end - q), &c);
    if (n == 0) break;
    q += n;
  }
  return q;
}

int unclosed(xml_reader &r) {
  skip_blanks(r);
  return fail(r, "unclosed element");
}

// The first run of an element that takes its text where it lies, from pos up to the next '<': left
// pending, its references not read (the consumer reads those of a run it keeps, p_end those of
// others). Its size as written is charged, which decoding never exceeds.
int p_pending_text(xml_reader &r, xml_frame &f) {
  const unsigned char *p = r.input + r.pos;
  const unsigned char *end = r.input + r.length;
  const unsigned char *q = find_lt_or_amp(p, end);
  auto *lt =
      q < end && *q == '<' ? q : static_cast<const unsigned char *>(std::memchr(q, '<', end - q));
  if (!lt) return unclosed(r);
  r.pos = lt - r.input;
  if (charge(r, size_t(lt - p))) return -1;
  take_pending(f, p, lt, size_t(lt - p), q < lt);
  return 0;
}

// A text run from pos up to the next '<'. Only runs that someone collects are decoded: a stray '&'
// in an element nobody reads is not worth refusing the feed for.
int p_text(xml_reader &r) {
  int32_t sink = r.frames[r.top].sink;
  if (sink >= 0 && r.frames[sink].lazy && r.frames[sink].runs == 0) {
    return p_pending_text(r, r.frames[sink]);
  }
  const unsigned char *p = r.input + r.pos;
  const unsigned char *end = r.input + r.length;
  const unsigned char *lt = find_short(p, end, '<', '<');
  if (lt == end) return unclosed(r);
  r.pos = lt - r.input;
  if (sink < 0) return 0;
  xml_frame &f = r.frames[sink];
  f.runs++;
  if (f.pending && materialize(r, f)) return -1;
  // Decoded text never outgrows the run, so one reservation covers it.
  if (reserve_text(r, f, lt - p)) return -1;
  char *begin = f.text.data + f.text.len;
  char *out = decode_run(r, p, lt, begin);
  if (!out || charge(r, out - begin)) return -1;
  f.text.len = out - f.text.data;
  return 0;
}

// Appends bytes that need no decoding (a CDATA section's, or blanks) to the collecting element.
int p_verbatim(xml_reader &r, const unsigned char *begin, const unsigned char *end, bool cdata) {
  int32_t sink = r.frames[r.top].sink;
  if (sink < 0) return 0;
  xml_frame &f = r.frames[sink];
  size_t n = end - begin;
  if (cdata && f.lazy && f.runs == 0) {
    if (charge(r, n)) return -1;
    take_pending(f, begin, end, n, false);
    return 0;
  }
  // Blanks after a pending run wait behind it; a second run brings it into the text.
  if (cdata) {
    f.runs++;
    if (f.pending && materialize(r, f)) return -1;
  }
  if (charge(r, n) || reserve_text(r, f, n)) return -1;
  std::memcpy(f.text.data + f.text.len, begin, n);
  f.text.len += n;
  return 0;
}

// A processing instruction whose '<?' is at pos. Its content is never examined, but the first '?'
// must close it.
int p_pi(xml_reader &r) {
  const unsigned char *in = r.input;
  size_t from = r.pos + 2;
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

// A comment whose '<!--' is at pos; its content is never examined.
int p_comment(xml_reader &r) {
  const unsigned char *close = find3(r.input + r.pos + 4, r.input + r.length, "-->");
  if (!close) return fail(r, "unterminated comment");
  r.pos = close - r.input + 3;
  return 0;
}

bool at_comment(const xml_reader &r) {
  return r.length - r.pos >= 4 && std::memcmp(r.input + r.pos, "<!--", 4) == 0;
}

// Markup at pos that begins with '<!': a comment, a CDATA section, or a refused declaration.
int p_bang(xml_reader &r) {
  if (at_comment(r)) return p_comment(r);
  const unsigned char *in = r.input + r.pos;
  if (r.length - r.pos > 9 && std::memcmp(in, "<![CDATA[", 9) == 0) {
    const unsigned char *close = find3(in + 9, r.input + r.length, "]]>");
    if (!close) return fail(r, "unterminated CDATA section");
    r.pos = close - r.input + 3;
    return p_verbatim(r, in + 9, close, true);
  }
  return fail(r, "DTD / DOCTYPE / ENTITY declarations are forbidden");
}

int p_start(xml_reader &r) {
  if (r.top + 2 > vepod_xml_max_depth) return fail(r, "nesting deeper than 32");
  size_t tag = r.pos++;
  string_view name;
  int nattrs;
  bool self_closing;
  vepod_xml_want want;
  if (p_name(r, &name) || p_attrs(r, &nattrs, &self_closing)) return -1;
  if (report_start(r, name, nattrs, self_closing, r.top + 1, &want)) {
    r.pos = tag;  // the consumer refused the element as a whole
    return -1;
  }
  if (self_closing) return 0;
  int32_t parent = r.top++;
  xml_frame &f = r.frames[r.top];
  f.name = name;
  f.text.len = 0;
  f.runs = 0;
  f.pending = false;
  // Only the runs of a well-formed document read in place are handed over where they lie.
  f.lazy = want == vepod_xml_want_run && r.well_formed && r.in_place;
  bool collects = want == vepod_xml_want_text || want == vepod_xml_want_run;
  f.sink = collects ? r.top : parent >= 0 ? r.frames[parent].sink : -1;
  f.notify = want != vepod_xml_want_nothing;
  return 0;
}

// Where the pending run of frame f lies in the document, trimmed of blanks, when it is the
// element's text: NULL data otherwise. A run's blanks are trimmed as written, which is how its text
// would be trimmed unless a character reference at either end decoded to a blank: runs with one
// there, and runs with references when HTML 4's named ones decode, are not handed over.
vepod_xml_run pending_run(const xml_reader &r, const xml_frame &f) {
  const unsigned char *b = f.run_begin, *e = f.run_end;
  while (b < e && is_blank(*b)) b++;
  while (e > b && is_blank(e[-1])) e--;
  string_view run = view(b, e);
  if (f.run_references) {
    if (r.html4 || run.starts_with("&#")) return {};
    size_t last = run.rfind('&');
    if (last != string_view::npos && run.substr(last).starts_with("&#") &&
        run.find(';', last) == run.size() - 1) {
      return {};
    }
  }
  size_t trimmed = (b - f.run_begin) + (f.run_end - e);
  return {run.data(), run.size(), f.run_decoded - trimmed, f.run_references};
}

// Reads the references of a run handed over and not kept, as p_text would have read them: 0, or -1
// after recording the first faulty one.
int check_run(xml_reader &r, const vepod_xml_run &run) {
  const auto *p = reinterpret_cast<const unsigned char *>(run.data);
  const unsigned char *end = p + run.len;
  char decoded[4];
  while ((p = find_amp(p, end)) < end) {
    if (!predefined_ref(p, end, decoded, &p) && read_ref(r, p, end, decoded, &p) < 0) return -1;
  }
  return 0;
}

// An end tag at pos: 1 when it closed the root, 0 when reading goes on, -1 on error.
int p_end(xml_reader &r) {
  size_t tag = r.pos;
  r.pos += 2;
  string_view name;
  if (p_name(r, &name)) return -1;
  skip_blanks(r);
  if (r.pos >= r.length || r.input[r.pos] != '>') return fail(r, "malformed close tag");
  r.pos++;
  xml_frame &f = r.frames[r.top];
  if (!vepod_ci_eq(name, f.name)) {
    r.pos = tag;
    return fail(r, "mismatched close tag");
  }
  int32_t depth = r.top--;
  unbind_namespaces(r, r.top);
  char *text = nullptr;
  size_t len = 0;
  vepod_xml_run run{};
  if (f.pending) {
    // The buffer holds blanks at most: the text is the run's.
    run = pending_run(r, f);
    if (run.data) {
      f.pending = false;
      f.text.len = 0;
      if (run.len) {
        text = const_cast<char *>(run.data);
        len = run.decoded_len;
      } else {
        run = {};
      }
    } else if (materialize(r, f)) {
      return -1;
    }
  }
  if (f.text.len) {
    char *b = f.text.data;
    char *e = f.text.data + f.text.len;
    while (b < e && is_blank(static_cast<unsigned char>(*b))) b++;
    while (e > b && is_blank(static_cast<unsigned char>(e[-1]))) e--;
    if (b < e) {
      *e = '\0';
      text = b;
      len = e - b;
    }
    f.text.len = 0;
  }
  if (f.notify) {
    r.consumer->run = run;
    if (r.consumer->end(depth, text, len) != VEPOD_OK) return refused(r);
    if (run.references && r.consumer->run.data && check_run(r, run)) return -1;
  }
  return r.top < 0;
}

// Reads the root's content up to and including its end tag; nothing after it is looked at.
int p_children(xml_reader &r) {
  for (;;) {
    size_t run = r.pos;
    skip_blanks(r);
    if (r.pos >= r.length) return fail(r, "unexpected end of input");
    if (r.input[r.pos] != '<') {
      // Blanks belong to the run they begin.
      r.pos = run;
      if (p_text(r)) return -1;
      continue;
    }
    // Blanks between markup join an element's text as written.
    if (r.pos > run && r.frames[r.top].sink >= 0 &&
        p_verbatim(r, r.input + run, r.input + r.pos, false)) {
      return -1;
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

// MARK: Document type

bool at_doctype(const xml_reader &r) {
  return r.length - r.pos >= 9 && std::memcmp(r.input + r.pos, "<!DOCTYPE", 9) == 0;
}

// Whether text holds the lower-case pattern, ignoring the case of text's ASCII letters.
bool ci_contains(string_view text, string_view lower_pattern) {
  for (size_t i = 0; i + lower_pattern.size() <= text.size(); i++) {
    if (vepod_ci_starts(text.substr(i), lower_pattern)) return true;
  }
  return false;
}

// The RSS 0.91 DTD, by its public identifier or by the file name of the copies feeds point to.
bool names_rss091(string_view public_id, string_view system_id) {
  constexpr string_view file = "rss-0.91.dtd";
  return ci_contains(public_id, "//dtd rss 0.91//") ||
         (system_id.size() >= file.size() &&
          vepod_ci_eq(system_id.substr(system_id.size() - file.size()), file));
}

// A quoted literal of an external identifier at pos, after the blanks that must precede it.
int p_literal(xml_reader &r, string_view *literal) {
  size_t before = r.pos;
  skip_blanks(r);
  if (r.pos == before || r.pos >= r.length || (r.input[r.pos] != '"' && r.input[r.pos] != '\'')) {
    return fail(r, "malformed DOCTYPE");
  }
  const unsigned char *open = r.input + r.pos;
  auto *close = static_cast<const unsigned char *>(
      std::memchr(open + 1, *open, r.input + r.length - open - 1));
  if (!close) return fail(r, "malformed DOCTYPE");
  *literal = view(open + 1, close);
  r.pos = close - r.input + 1;
  return 0;
}

// A document type declaration whose "<!DOCTYPE" is at pos. Its external DTD is never fetched: the
// identifiers only say whether the document uses the RSS 0.91 DTD's named references. An internal
// subset ('[') is refused, since that is where entities would be declared.
int p_doctype(xml_reader &r) {
  r.pos += 9;
  size_t before = r.pos;
  skip_blanks(r);
  if (r.pos == before || r.pos >= r.length || !(k_class[r.input[r.pos]] & k_name_start)) {
    return fail(r, "malformed DOCTYPE");
  }
  string_view name, public_id, system_id;
  p_name(r, &name);  // cannot fail: a name begins here
  before = r.pos;
  skip_blanks(r);
  string_view rest(reinterpret_cast<const char *>(r.input + r.pos), r.length - r.pos);
  bool is_public = rest.starts_with("PUBLIC");
  if (r.pos > before && (is_public || rest.starts_with("SYSTEM"))) {
    r.pos += 6;
    if (p_literal(r, is_public ? &public_id : &system_id)) return -1;
    // The system literal after a public one is required, but some feeds leave it out.
    size_t after = r.pos;
    skip_blanks(r);
    bool more = r.pos < r.length && (r.input[r.pos] == '"' || r.input[r.pos] == '\'');
    r.pos = after;
    if (is_public && more && p_literal(r, &system_id)) return -1;
  }
  skip_blanks(r);
  if (r.pos < r.length && r.input[r.pos] == '[') {
    return fail(r, "DOCTYPE with an internal subset is forbidden");
  }
  if (r.pos >= r.length || r.input[r.pos] != '>') return fail(r, "malformed DOCTYPE");
  r.pos++;
  r.doctype = true;
  r.html4 = names_rss091(public_id, system_id);
  return 0;
}

// MARK: Document

// Processing instructions, comments, a document type declaration and blanks before the root;
// leaves pos at the root's '<'.
int p_prolog(xml_reader &r) {
  for (;;) {
    skip_blanks(r);
    if (r.pos >= r.length) {
      r.empty = true;
      return fail(r, "empty document");
    }
    if (r.input[r.pos] != '<') return fail(r, "missing root element");
    if (r.length - r.pos > 2 && r.input[r.pos + 1] == '?') {
      if (p_pi(r)) return -1;
      continue;
    }
    if (at_comment(r)) {
      if (p_comment(r)) return -1;
      continue;
    }
    if (r.length - r.pos > 1 && r.input[r.pos + 1] == '!') {
      if (r.doctype || !at_doctype(r))
        return fail(r, "DTD / DOCTYPE / ENTITY declarations are forbidden");
      if (p_doctype(r)) return -1;
      continue;
    }
    return 0;
  }
}

int p_document(xml_reader &r) {
  if (p_prolog(r) || p_start(r)) return -1;
  return r.top < 0 ? 0 : p_children(r);  // a self-closing root has no content
}

// Line and column (1-based; columns count characters) of offset `at` in text. Line breaks are
// LF, CR LF and a lone CR, as XML reads them.
}  // namespace

// Episodes a newer one replaces give up their show notes by the thousand in a large feed: the
// predefined references are passed over by blocks.
bool vepod_xml_references_ok(const char *text, size_t n) {
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  const unsigned char *end = p + n;
  char decoded[4];
  while ((p = skip_predefined(p, end)) < end) {
    if (*p == '<') {  // no reference: runs end before one, but the text need not be a run
      p++;
      continue;
    }
    auto *semi = static_cast<const unsigned char *>(std::memchr(p + 1, ';', end - p - 1));
    size_t name = semi ? size_t(semi - p - 1) : 0;
    if (!semi || name > k_max_ref_name ||
        vepod_decode_reference({reinterpret_cast<const char *>(p + 1), name}, decoded) < 0) {
      return false;
    }
    p = semi + 1;
  }
  return true;
}

vepod_code vepod_xml_read(const unsigned char *data, size_t len, vepod_xml_consumer &consumer,
                          vepod_failure *failure) {
  const unsigned char *input = data;
  size_t input_len = len;
  if (len > 2 && input[0] == 0xEF && input[1] == 0xBB && input[2] == 0xBF) {
    input += 3;
    input_len -= 3;
  }
  size_t at = 0;
  bool well_formed = false;
  const char *message = check_utf8(input, input_len, &at, &well_formed);
  // Only a document that UTF-8 cannot read is decoded (or one in ISO-2022-JP, whose escape
  // sequences pass for UTF-8). A plain pointer owns the text: an owner with a destructor here
  // costs the UTF-8 parse about 2 % through the inlining it prevents.
  char *decoded = nullptr;
  if (message || vepod_decode_despite_utf8(input, input_len)) {
    size_t decoded_len = 0;
    if (vepod_decode_document(data, len, &decoded, &decoded_len, failure) != VEPOD_OK) {
      return failure->code;
    }
    if (decoded) {
      input = reinterpret_cast<const unsigned char *>(decoded);
      input_len = decoded_len;
      message = check_utf8(input, input_len, &at, &well_formed);
    }
  }
  if (!message) message = check_noncharacters(input, input_len, &at);
  bool placed = message != nullptr;  // the input checks know where the fault is
  bool out_of_memory = false;
  if (!message) {
    xml_reader r{};
    r.input = input;
    r.length = input_len;
    r.budget = k_text_budget;
    r.consumer = &consumer;
    r.well_formed = well_formed;
    r.in_place = decoded == nullptr;
    consumer.well_formed_utf8 = well_formed;
    r.top = -1;
    p_document(r);
    message = r.message;
    out_of_memory = r.out_of_memory;
    // Running out of memory has no place in the text, and an empty document no text to point into.
    at = r.pos;
    placed = message && !out_of_memory && !r.empty;
  }
  if (message) {
    vepod_failure_set(failure, VEPOD_ERR_NO_DATA, "%s", message);
    failure->out_of_memory = out_of_memory;
    if (placed) vepod_failure_place(failure, input, at);
  }
  std::free(decoded);
  return message ? failure->code : VEPOD_OK;
}
