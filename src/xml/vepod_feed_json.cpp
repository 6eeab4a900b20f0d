// The feed model as JSON: the answer of vepod_parse_feed, written straight from the model, and
// the members of feeds and episodes that the listings add to their yyjson documents. One layout
// (the *_members templates below) serves both, so the export and the listings cannot disagree on
// a member's name or order.

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "util/vepod_alloc.h"
#include "util/vepod_text.h"
#include "xml/vepod_reader.h"
#include "xml/vepod_xml.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr const char *k_formats[] = {"", "rss2", "rdf", "atom"};
constexpr const char *k_episode_types[] = {nullptr, "full", "trailer", "bonus"};
constexpr const char *k_show_types[] = {nullptr, "episodic", "serial"};

// Adds members to one yyjson object, each only when it has a value; the texts of the model are
// well-formed UTF-8 and outlive the document, so they are borrowed rather than copied. Once an
// addition fails the others do nothing and ok stays false.
class members {
 public:
  members(yyjson_mut_doc *doc, yyjson_mut_val *obj) : doc_(doc), obj_(obj), ok_(obj != nullptr) {}

  members &text(const char *key, const char *value) {
    if (ok_ && value) ok_ = yyjson_mut_obj_add_strn(doc_, obj_, key, value, std::strlen(value));
    return *this;
  }
  members &integer(const char *key, int64_t value) {
    if (ok_ && value >= 0) ok_ = yyjson_mut_obj_add_sint(doc_, obj_, key, value);
    return *this;
  }
  // A whole number is written as one ("12"), any other as a decimal ("315.5").
  members &number(const char *key, double value) {
    if (!ok_ || value < 0) return *this;
    if (value == double(int64_t(value))) {
      ok_ = yyjson_mut_obj_add_sint(doc_, obj_, key, int64_t(value));
    } else {
      ok_ = yyjson_mut_obj_add_real(doc_, obj_, key, value);
    }
    return *this;
  }
  // A listing's records copy their show notes; only the export borrows them.
  members &description(const vepod_item_heavy &h) { return text("description", h.description); }
  members &flag(const char *key, int8_t value) {
    if (ok_ && value >= 0) ok_ = yyjson_mut_obj_add_bool(doc_, obj_, key, value != 0);
    return *this;
  }
  // An array of count objects, each filled by fill(members &, const T &); absent when empty.
  template <typename T, typename Fill>
  members &list(const char *key, const T *entries, int32_t count, Fill fill) {
    if (!ok_ || count == 0) return *this;
    yyjson_mut_val *array = yyjson_mut_arr(doc_);
    ok_ = array && yyjson_mut_obj_add_val(doc_, obj_, key, array);
    for (int32_t i = 0; ok_ && i < count; i++) {
      yyjson_mut_val *entry = yyjson_mut_obj(doc_);
      ok_ = entry && yyjson_mut_arr_append(array, entry);
      if (ok_) {
        members m(doc_, entry);
        fill(m, entries[i]);
        ok_ = m.ok();
      }
    }
    return *this;
  }
  bool ok() const { return ok_; }

 private:
  yyjson_mut_doc *doc_;
  yyjson_mut_val *obj_;
  bool ok_;
};

// MARK: The direct writer

// Extra bytes each byte takes once escaped as yyjson escapes it: '"', '\\' and the control
// characters with a short form take one, the other control characters five ("\u001F").
constexpr unsigned char k_escape_extra[256] = {
    5, 5, 5, 5, 5, 5, 5, 5, 1, 1, 1, 5, 1, 1, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
    0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

#if defined(__SSE2__)
// Bit i set when byte i of the 16 at s needs escaping.
inline unsigned escape_mask(const char *s) {
  __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
  __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(b, _mm_set1_epi8(0x1F)), b);
  __m128i quote = _mm_cmpeq_epi8(b, _mm_set1_epi8('"'));
  __m128i backslash = _mm_cmpeq_epi8(b, _mm_set1_epi8('\\'));
  return unsigned(_mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))));
}
#endif

// Bytes of text (n bytes) once escaped, without the quotes.
size_t escaped_size(const char *s, size_t n) {
  size_t size = n, i = 0;
#if defined(__SSE2__)
  for (; n - i >= 16; i += 16) {
    for (unsigned m = escape_mask(s + i); m; m &= m - 1) {
      size += k_escape_extra[static_cast<unsigned char>(s[i + __builtin_ctz(m)])];
    }
  }
#endif
  for (; i < n; i++) size += k_escape_extra[static_cast<unsigned char>(s[i])];
  return size;
}

char *escape_char(char *out, unsigned char c) {
  static constexpr char k_short[] = "btn\0fr";
  static constexpr char k_hex[] = "0123456789ABCDEF";
  *out++ = '\\';
  if (c == '"' || c == '\\') {
    *out++ = char(c);
  } else if (c >= '\b' && c <= '\r' && c != 0x0B) {
    *out++ = k_short[c - '\b'];
  } else {
    std::memcpy(out, "u00", 3);
    out[3] = k_hex[c >> 4];
    out[4] = k_hex[c & 15];
    out += 5;
  }
  return out;
}

// Writes text (n bytes) escaped, 16 bytes at a time where none needs escaping. out has room for
// the escaped text and 16 bytes more: each step stores 16 bytes, and those past a byte that needs
// escaping are written again.
char *escape(char *out, const char *s, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  while (n - i >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
    unsigned m = escape_mask(s + i);
    if (m == 0) {
      out += 16;
      i += 16;
      continue;
    }
    unsigned k = unsigned(__builtin_ctz(m));
    out = escape_char(out + k, static_cast<unsigned char>(s[i + k]));
    i += k + 1;
  }
#endif
  for (; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (needs_escape(c)) {
      out = escape_char(out, c);
    } else {
      *out++ = char(c);
    }
  }
  return out;
}

#if defined(__SSE2__)
// Bit i set when byte i of the 64 at s needs escaping or is `extra`.
inline uint64_t stop_mask64(const char *s, __m128i extra) {
  uint64_t m = 0;
  for (int j = 0; j < 4; j++) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 16 * j));
    unsigned block =
        escape_mask(s + 16 * j) | unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, extra)));
    m |= uint64_t(block) << (16 * j);
  }
  return m;
}

inline void copy64(char *out, const char *s) {
  for (int j = 0; j < 4; j++) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16 * j),
                     _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 16 * j)));
  }
}
#endif

// Writes (or, without Write, only counts) text borrowed from the document, n bytes, escaped, its
// references decoded first when it holds any. The reader left them unread: one that does not read
// as the reader reads it sets *faulty and ends the text. A NUL ends it, as it ends a text the model
// copied. The byte count. Escaped show notes hold a reference
// every few bytes: the stops of 64 bytes are found at once and taken one after the other, each
// after a copy of 64 bytes from the last one (out has room for 64 bytes past the text), so that
// a stop costs no scan of its own and few mispredicted branches.
template <bool Write>
size_t escape_document(char *out, const char *s, size_t n, bool references, bool *faulty) {
  size_t count = 0, i = 0;
  auto emit = [&](unsigned char c) __attribute__((always_inline)) {
    if (!needs_escape(c)) {
      if constexpr (Write) out[count] = char(c);
      count++;
    } else if constexpr (Write) {
      count = size_t(escape_char(out + count, c) - out);
    } else {
      count += 1 + k_escape_extra[c];
    }
  };
  // Takes the byte at i, one that stops the copy: false when it ends the text.
  auto stop = [&](unsigned char c) __attribute__((always_inline)) {
    if (c == '\0') {
      if (references && !vepod_xml_references_ok(s + i, n - i)) *faulty = true;
      return false;
    }
    char decoded[4];
    size_t len;
    if (c != '&' || !references) {
      emit(c);
      i++;
    } else if ((len = vepod_xml_predefined_ref(s + i, n - i, decoded))) {
      emit(static_cast<unsigned char>(decoded[0]));
      i += len;
    } else {
      const char *p = s + i;
      const char *semi = static_cast<const char *>(std::memchr(p + 1, ';', n - i - 1));
      size_t name = semi ? size_t(semi - p - 1) : 0;
      int bytes = semi && name <= vepod_xml_max_ref_name
                      ? vepod_decode_reference({p + 1, name}, decoded)
                      : -1;
      if (bytes < 0) {
        *faulty = true;
        return false;
      }
      for (int b = 0; b < bytes; b++) emit(static_cast<unsigned char>(decoded[b]));
      i = size_t(semi - s) + 1;
    }
    return true;
  };
#if defined(__SSE2__)
  const __m128i amp = _mm_set1_epi8(references ? '&' : '"');
  // Each copy reads 64 bytes from a place in the block, so a whole block more must lie ahead.
  while (n - i >= 128) {
    const size_t base = i;
    uint64_t m = stop_mask64(s + base, amp);
    for (; m; m &= m - 1) {
      size_t at = base + size_t(__builtin_ctzll(m));
      if (at < i) continue;  // within a reference already read
      if constexpr (Write) copy64(out + count, s + i);
      count += at - i;
      i = at;
      if (!stop(static_cast<unsigned char>(s[i]))) return count;
    }
    if (i < base + 64) {
      if constexpr (Write) copy64(out + count, s + i);
      count += base + 64 - i;
      i = base + 64;
    }
  }
  while (n - i >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
    unsigned m = escape_mask(s + i) | unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, amp)));
    if constexpr (Write) _mm_storeu_si128(reinterpret_cast<__m128i *>(out + count), v);
    unsigned k = m ? unsigned(__builtin_ctz(m)) : 16;
    count += k;
    i += k;
    if (m && !stop(static_cast<unsigned char>(s[i]))) return count;
  }
#endif
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (needs_escape(c) || (references && c == '&')) {
      if (!stop(c)) break;
      continue;
    }
    if constexpr (Write) out[count] = char(c);
    count++;
    i++;
  }
  return count;
}

// A signed integer in decimal, as yyjson writes it; two digits a step, since dates in milliseconds
// have thirteen and every episode has one, written twice (measured, then written).
size_t format_integer(int64_t value, char *buf) {
  static constexpr char k_pairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  char digits[20];
  uint64_t u = value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value);
  size_t n = sizeof digits;
  for (; u >= 100; u /= 100) {
    n -= 2;
    std::memcpy(digits + n, k_pairs + 2 * (u % 100), 2);
  }
  if (u >= 10) {
    n -= 2;
    std::memcpy(digits + n, k_pairs + 2 * u, 2);
  } else {
    digits[--n] = char('0' + u);
  }
  size_t len = 0;
  if (value < 0) buf[len++] = '-';
  std::memcpy(buf + len, digits + n, sizeof digits - n);
  return len + sizeof digits - n;
}

// Where the answer goes. Measuring adds up its size as if no text needed escaping, which it
// seldom does; the text is then allocated at that size with a little room for escapes, written
// without a check per byte, and grown only when the escapes outgrow the room. A text is written
// at once when even six times its size fits, else measured first: the room kept for escapes is
// enough for the largest text of the answer (up to a bound), so that the last few texts of a small
// answer are not read twice.
class json_out {
 public:
  json_out() = default;
  json_out(const json_out &) = delete;
  json_out &operator=(const json_out &) = delete;
  ~json_out() { std::free(text_); }

  // Starts writing into a text of the measured size; false when memory runs out.
  bool start() {
    size_t room = size_ + std::max(size_ / 32, std::min(largest_, k_most_room)) + k_slack;
    if (!(text_ = static_cast<char *>(vepod_malloc(room)))) return false;
    out_ = text_;
    end_ = text_ + room;
    return true;
  }
  void raw(const char *s, size_t n) {
    if (!text_) {
      size_ += n;
    } else if (room(n)) {
      std::memcpy(out_, s, n);
      out_ += n;
    }
  }
  void put(char c) {
    if (!text_) {
      size_++;
    } else if (room(1)) {
      *out_++ = c;
    }
  }
  void string(const char *s) {
    size_t n = std::strlen(s);
    if (!text_) {
      size_ += n + 2;
      largest_ = std::max(largest_, 5 * n);
      return;
    }
    // Escapes make a text at most six times longer; only a text that may not fit is measured.
    if (size_t(end_ - out_) < 6 * n + 2 + k_slack && !room(escaped_size(s, n) + 2)) return;
    *out_++ = '"';
    out_ = escape(out_, s, n);
    *out_++ = '"';
  }
  // Show notes borrowed from the document (see vepod_item_heavy).
  void document_text(const vepod_item_heavy &h) {
    if (!text_) {
      size_ += size_t(h.description_decoded_len) + 2;
      largest_ = std::max(largest_, 6 * size_t(h.description_len) - h.description_decoded_len);
      return;
    }
    // Bounded by the size as written, which no decoding outgrows.
    size_t n = h.description_len;
    if (size_t(end_ - out_) < 6 * n + 2 + k_slack &&
        !room(escape_document<false>(nullptr, h.description, h.description_len,
                                     h.description_references, &faulty_) +
              2)) {
      return;
    }
    *out_++ = '"';
    out_ += escape_document<true>(out_, h.description, h.description_len, h.description_references,
                                  &faulty_);
    *out_++ = '"';
  }
  // Whether borrowed show notes held a reference the reader would have refused.
  bool faulty() const { return faulty_; }
  // The text written, NUL-terminated, handed over; NULL when memory ran out.
  char *finish() {
    if (failed_ || !room(1)) return nullptr;
    *out_ = '\0';
    char *text = text_;
    text_ = nullptr;
    return text;
  }

 private:
  // Bytes kept free after what is written: escape() stores 16 bytes at a time.
  static constexpr size_t k_slack = 64;
  // The most room kept for the escapes of the largest text.
  static constexpr size_t k_most_room = 65536;

  // Whether n more bytes (and the slack) fit, growing the text when they do not.
  bool room(size_t n) {
    if (failed_) return false;
    if (size_t(end_ - out_) >= n + k_slack) return true;
    size_t used = out_ - text_, size = end_ - text_;
    size_t grown = std::max(size + size / 2, used + n + k_slack);
    auto *text = static_cast<char *>(vepod_realloc(text_, grown));
    if (!text) {
      failed_ = true;
      return false;
    }
    text_ = text;
    out_ = text + used;
    end_ = text + grown;
    return true;
  }

  char *text_ = nullptr;
  char *out_ = nullptr;
  char *end_ = nullptr;
  size_t size_ = 0;
  // What the largest text needs beyond its measured size to be written without measuring it.
  size_t largest_ = 0;
  bool failed_ = false;
  bool faulty_ = false;
};

// The members of one object in the text being written, with the interface of `members`. The
// object's braces are the caller's.
class json_members {
 public:
  explicit json_members(json_out &out) : out_(out) {}

  template <size_t N>
  json_members &text(const char (&key)[N], const char *value) {
    if (value) {
      name(key);
      out_.string(value);
    }
    return *this;
  }
  // A text member written even when absent, as "".
  template <size_t N>
  json_members &string(const char (&key)[N], const char *value) {
    name(key);
    out_.string(value ? value : "");
    return *this;
  }
  template <size_t N>
  json_members &integer(const char (&key)[N], int64_t value) {
    if (value >= 0) signed_integer(key, value);
    return *this;
  }
  template <size_t N>
  json_members &signed_integer(const char (&key)[N], int64_t value) {
    name(key);
    char buf[24];
    out_.raw(buf, format_integer(value, buf));
    return *this;
  }
  template <size_t N>
  json_members &number(const char (&key)[N], double value) {
    if (value < 0) return *this;
    if (value == double(int64_t(value))) return signed_integer(key, int64_t(value));
    name(key);
    yyjson_mut_val v;
    yyjson_mut_set_real(&v, value);
    char buf[48];
    char *end = yyjson_mut_write_number(&v, buf);
    if (end) out_.raw(buf, size_t(end - buf));
    return *this;
  }
  json_members &description(const vepod_item_heavy &h) {
    if (!h.description_borrowed) return text("description", h.description);
    name("description");
    out_.document_text(h);
    return *this;
  }
  template <size_t N>
  json_members &flag(const char (&key)[N], int8_t value) {
    if (value >= 0) boolean(key, value != 0);
    return *this;
  }
  template <size_t N>
  json_members &boolean(const char (&key)[N], bool value) {
    name(key);
    if (value) {
      out_.raw("true", 4);
    } else {
      out_.raw("false", 5);
    }
    return *this;
  }
  template <size_t N, typename T, typename Fill>
  json_members &list(const char (&key)[N], const T *entries, int32_t count, Fill fill) {
    if (count == 0) return *this;
    name(key);
    out_.put('[');
    for (int32_t i = 0; i < count; i++) {
      if (i) out_.put(',');
      out_.put('{');
      json_members m(out_);
      fill(m, entries[i]);
      out_.put('}');
    }
    out_.put(']');
    return *this;
  }
  // The name of a member whose value the caller writes.
  template <size_t N>
  json_out &member(const char (&key)[N]) {
    name(key);
    return out_;
  }

 private:
  // A member's name with its quotes, colon and the comma before it, as one copy.
  template <size_t N>
  void name(const char (&key)[N]) {
    char text[N + 3];
    text[0] = ',';
    text[1] = '"';
    std::memcpy(text + 2, key, N - 1);
    text[N + 1] = '"';
    text[N + 2] = ':';
    out_.raw(first_ ? text + 1 : text, first_ ? N + 2 : N + 3);
    first_ = false;
  }

  json_out &out_;
  bool first_ = true;
};

static_assert(k_escape_extra[static_cast<unsigned char>('\\')] == 1 &&
              k_escape_extra[static_cast<unsigned char>('"')] == 1 &&
              k_escape_extra[static_cast<unsigned char>('\n')] == 1 && k_escape_extra[0x0B] == 5 &&
              k_escape_extra[static_cast<unsigned char>('/')] == 0);

// MARK: The layout

template <typename M>
void person_members(M &m, const vepod_person &p) {
  m.text("name", p.name).text("role", p.role).text("group", p.group).text("img", p.img);
  m.text("href", p.href);
}

template <typename M>
void item_light_members(M &m, const vepod_item &item) {
  m.text("image", item.image).text("link", item.link).text("author", item.author);
  m.integer("season", item.season).number("episode", item.episode);
  m.text("episode_type", k_episode_types[item.episode_type]).flag("explicit", item.is_explicit);
  m.text("chapters_url", item.chapters_url).text("chapters_type", item.chapters_type);
}

template <typename M>
void item_heavy_members(M &m, const vepod_item &item) {
  if (!item.heavy) return;
  const vepod_item_heavy &h = *item.heavy;
  m.description(h);
  m.list("transcripts", h.transcripts, h.ntranscripts, [](auto &t, const vepod_transcript &v) {
    t.text("url", v.url).text("type", v.type).text("language", v.language);
    t.text("rel", v.rel);
  });
  m.list("persons", h.persons, h.npersons,
         [](auto &p, const vepod_person &v) { person_members(p, v); });
  m.list("alternates", h.alternates, h.nalternates, [](auto &a, const vepod_alternate &v) {
    a.text("type", v.type).integer("length", v.length).number("bitrate", v.bitrate);
    a.integer("height", v.height).text("lang", v.lang).text("title", v.title);
    a.text("rel", v.rel).text("codecs", v.codecs).flag("default", v.is_default);
    a.list("sources", v.sources, v.nsources, [](auto &x, const vepod_alternate_source &w) {
      x.text("uri", w.uri).text("content_type", w.content_type);
    });
  });
  m.list("chapters", h.chapters, h.nchapters, [](auto &c, const vepod_chapter &v) {
    c.integer("start_ms", v.start_ms).text("title", v.title).text("href", v.href);
    c.text("image", v.image);
  });
}

template <typename M>
void feed_details_members(M &m, const vepod_feed &feed) {
  m.text("description", feed.description).text("author", feed.author).text("link", feed.link);
  m.text("language", feed.language).flag("explicit", feed.is_explicit);
  m.text("show_type", k_show_types[feed.show_type]).flag("complete", feed.complete ? 1 : -1);
  m.text("new_feed_url", feed.new_feed_url).text("feed_guid", feed.feed_guid);
  m.list("funding", feed.funding, feed.nfunding,
         [](auto &f, const vepod_funding &v) { f.text("url", v.url).text("text", v.text); });
  m.list("persons", feed.persons, feed.npersons,
         [](auto &p, const vepod_person &v) { person_members(p, v); });
}

// The whole feed as the answer of vepod_parse_feed: measured when out measures, else written.
void write_feed(json_out &out, const vepod_feed &feed) {
  out.put('{');
  json_members root(out);
  root.string("title", feed.title).string("image", feed.image);
  root.string("format", k_formats[feed.format]);
  feed_details_members(root, feed);
  json_out &items = root.member("items");
  items.put('[');
  for (int32_t i = 0; i < feed.nitems; i++) {
    const vepod_item &item = feed.items[i];
    if (i) items.put(',');
    items.put('{');
    json_members m(items);
    m.string("title", item.title).string("id", item.id);
    m.boolean("id_fallback", item.id_fallback != 0).string("url", item.url);
    m.signed_integer("size", item.size).signed_integer("mtime_ms", item.mtime_ms);
    m.signed_integer("duration_s", item.duration_s);
    m.string("enclosure_type", item.enclosure_type);
    item_light_members(m, item);
    item_heavy_members(m, item);
    items.put('}');
  }
  items.put(']');
  out.put('}');
}

// The answer for a parsed feed, or NULL when memory runs out; *faulty is set when its borrowed
// show notes hold a reference the reader would have refused.
char *write_answer(const vepod_feed &feed, bool *faulty) {
  json_out text;
  write_feed(text, feed);
  char *json = nullptr;
  if (text.start()) {
    write_feed(text, feed);
    json = text.finish();
  }
  *faulty = text.faulty();
  return json;
}

}  // namespace

bool vepod_json_item_light(yyjson_mut_doc *doc, yyjson_mut_val *obj, const vepod_item &item) {
  members m(doc, obj);
  item_light_members(m, item);
  return m.ok();
}

bool vepod_json_item_heavy(yyjson_mut_doc *doc, yyjson_mut_val *obj, const vepod_item &item) {
  members m(doc, obj);
  item_heavy_members(m, item);
  return m.ok();
}

bool vepod_json_feed_details(yyjson_mut_doc *doc, yyjson_mut_val *obj, const vepod_feed &feed) {
  members m(doc, obj);
  feed_details_members(m, feed);
  return m.ok();
}

vepod_code vepod_feed_json(const void *data, size_t len, char **out, vepod_failure *failure) {
  *out = nullptr;
  // Show notes are borrowed with their references unread, which the writer reads as it decodes
  // them. A faulty one, or a failed parse (that may have stopped after one), sends the document
  // to a parse that reads every reference in place, to refuse it with its first error.
  vepod_feed feed;
  vepod_code code = vepod_feed_parse(data, len, &feed, failure, vepod_detail::all_borrowed);
  bool faulty = false;
  char *json = nullptr;
  if (code == VEPOD_OK) {
    json = write_answer(feed, &faulty);
    vepod_feed_free(&feed);
  }
  if ((code != VEPOD_OK && !failure->out_of_memory) || faulty) {
    std::free(json);
    json = nullptr;
    code = vepod_feed_parse(data, len, &feed, failure, vepod_detail::all);
    if (code == VEPOD_OK) {
      json = write_answer(feed, &faulty);
      vepod_feed_free(&feed);
    }
  }
  if (code != VEPOD_OK) return code;
  if (!json) {
    vepod_failure_oom(failure);
    return failure->code;
  }
  *out = json;
  return VEPOD_OK;
}
