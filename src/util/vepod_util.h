// Library-internal helpers: platform layer (locks, clock, random source), URL and string helpers,
// hashing, dates and durations, and the UTF-8 repair applied where text enters the library.
#pragma once

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <yyjson.h>

// MARK: Platform layer

// Checks a printf-like function's format against its arguments. MinGW-w64's C++ runtime formats
// as the C99 standard says (%zu, %lld), which GCC checks under the name gnu_printf there.
#if defined(__MINGW32__) && !defined(__clang__)
#define VEPOD_PRINTF(format_index, first_arg) \
  __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define VEPOD_PRINTF(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#endif

// An exclusive lock usable as a constant-initialised static: `static vepod_lock g_x;` runs no code
// at load time.
#if defined(_WIN32)
// A slim reader/writer lock, held as its one pointer-sized field (SRWLOCK_INIT is all zero) so that
// windows.h stays out of every file that takes a lock.
struct vepod_lock {
  void *srw = nullptr;
};
#else
struct vepod_lock {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};
#endif
void vepod_lock_acquire(vepod_lock *lock);
void vepod_lock_release(vepod_lock *lock);

// Holds a vepod_lock for the lifetime of a scope.
class vepod_lock_guard {
 public:
  explicit vepod_lock_guard(vepod_lock &lock) : lock_(lock) { vepod_lock_acquire(&lock_); }
  ~vepod_lock_guard() { vepod_lock_release(&lock_); }
  vepod_lock_guard(const vepod_lock_guard &) = delete;
  vepod_lock_guard &operator=(const vepod_lock_guard &) = delete;

 private:
  vepod_lock &lock_;
};

// Monotonic milliseconds since an arbitrary start (system boot); never goes backwards.
uint64_t vepod_now_ms();

// One 32-bit value from the kernel's cryptographic random source. Returns 0 and fills *value, or
// -1 (leaving *value untouched) when the source fails.
int vepod_random_u32(uint32_t *value);

// MARK: Allocation

// Every block the library owns comes from these (and yyjson documents from vepod_json_alc), so
// that tests can make any single allocation fail. Blocks are released with free().
void *vepod_malloc(size_t size);
void *vepod_calloc(size_t count, size_t size);
void *vepod_realloc(void *block, size_t size);
const yyjson_alc *vepod_json_alc();

// Owns a malloc'ed text and releases it with free().
struct vepod_free_deleter {
  void operator()(void *block) const { std::free(block); }
};
using vepod_heap_text = std::unique_ptr<char, vepod_free_deleter>;

// A standard allocator over vepod_malloc, so that the containers the library uses obey the same
// policy (and the same failure hook) as its own blocks. Failure throws std::bad_alloc, which the
// boundary functions turn into an out-of-memory answer.
template <typename T>
struct vepod_std_allocator {
  using value_type = T;
  vepod_std_allocator() = default;
  template <typename U>
  vepod_std_allocator(const vepod_std_allocator<U> &) {}
  T *allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    void *block = vepod_malloc(n * sizeof(T));
    if (!block) throw std::bad_alloc();
    return static_cast<T *>(block);
  }
  void deallocate(T *block, size_t) { std::free(block); }
  template <typename U>
  bool operator==(const vepod_std_allocator<U> &) const {
    return true;
  }
};
using vepod_string = std::basic_string<char, std::char_traits<char>, vepod_std_allocator<char>>;
template <typename T>
using vepod_vector = std::vector<T, vepod_std_allocator<T>>;

// A hash of text under a key drawn once per process (SipHash-1-3), so that a page or a feed cannot
// be crafted to make its texts collide.
struct vepod_text_hash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const noexcept;
};
// The library's one hash set of texts (episode ids, discovered URLs); looked up by string_view
// whatever it stores.
template <typename Text>
using vepod_text_set =
    std::unordered_set<Text, vepod_text_hash, std::equal_to<>, vepod_std_allocator<Text>>;

// A heap byte block for texts that grow, from vepod_realloc: its content is always followed by a
// NUL once it holds a block. Capacities start at 256 bytes (512 when 256 are not enough) and
// double. Once growing fails the buffer stays failed and appends do nothing, so a writer checks
// once at the end.
struct vepod_buffer {
  char *data = nullptr;
  size_t len = 0;
  size_t cap = 0;
  bool failed = false;

  vepod_buffer() = default;
  vepod_buffer(const vepod_buffer &) = delete;
  vepod_buffer &operator=(const vepod_buffer &) = delete;
  ~vepod_buffer() { std::free(data); }
  // Hands the block over to the caller (NULL when nothing was stored) and empties the buffer.
  char *release() {
    char *block = data;
    data = nullptr;
    len = cap = 0;
    return block;
  }
};
// The slow path of vepod_buffer_reserve: grows the block.
bool vepod_buffer_grow(vepod_buffer &b, size_t n);
// Makes room for n more bytes and the NUL; false once the buffer has failed.
inline bool vepod_buffer_reserve(vepod_buffer &b, size_t n) {
  return (!b.failed && b.cap > b.len && n < b.cap - b.len) || vepod_buffer_grow(b, n);
}
void vepod_buffer_put(vepod_buffer &b, const char *s, size_t n);
inline void vepod_buffer_put(vepod_buffer &b, std::string_view s) {
  vepod_buffer_put(b, s.data(), s.size());
}

// Test hook: the next `count` allocations succeed, the one after them fails, and the hook then
// disarms itself; -1 disarms it at once. Returns how many successes were left before the call
// (-1 when it was disarmed).
long vepod_alloc_fail_after(long count);
// Whether the allocation about to be made must fail (counts it against the armed budget).
bool vepod_alloc_should_fail();

// MARK: URL and string helpers

// 1 when text is "http://" or "https://" (scheme in any case) with a non-empty authority and no
// control byte anywhere; else 0. NULL gives 0.
int vepod_url_is_http(const char *text);
// Writes url into out (cap bytes, always terminated, silently cut) without the user information
// of its authority and with everything from the first '?' or '#' replaced by "?<redacted>".
// Allocates nothing. Nothing is written when out is NULL or cap is 0.
void vepod_redact_url(const char *url, char *out, size_t cap);
// Room for a redacted URL quoted in a message.
inline constexpr size_t vepod_redacted_size = 256;
// A malloc'ed absolute URL for a link ref found on the page base, resolved as RFC 3986 section 5.2
// does: a ref with a scheme is kept as written; any other takes what it lacks from base, and the
// dot segments of a path it gives are removed. Nothing else is normalised or decoded. NULL when
// ref is empty, base has no "scheme://" or memory runs out. The result is not checked with
// vepod_url_is_http.
char *vepod_resolve_url(const char *ref, const char *base);
// True when text starts with a URI scheme and its ':' (an absolute reference).
bool vepod_url_has_scheme(const char *text);
// One pass of 64-bit FNV-1a over len bytes, starting from h (pass vepod_fnv1a_basis to start).
uint64_t vepod_fnv1a(const void *data, size_t len, uint64_t h);
// A malloc'ed copy of text; NULL for NULL or when memory runs out.
char *vepod_strdup(const char *text);
// A malloc'ed copy of the bytes of text with a NUL after them; NULL when memory runs out.
char *vepod_strndup(std::string_view text);
// Formats a message into a caller's error buffer of err_size bytes, cut to err_size - 1 bytes.
// Nothing is written when err is NULL or err_size is 0.
void vepod_put_err(char *err, size_t err_size, const char *format, ...) VEPOD_PRINTF(3, 4);

// The five entities XML predefines; HTML pages use them in attribute values too.
struct vepod_entity {
  std::string_view name;
  char value;
};
inline constexpr vepod_entity vepod_xml_entities[] = {
    {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
// Decodes the reference named by the bytes between '&' and ';' (a predefined entity, ASCII case
// ignored, or a character reference "#65" / "#x41" of 1 to U+10FFFF, a surrogate read as U+FFFD)
// into out, which has room for 4 bytes: the number of bytes written, or -1 when it names nothing.
int vepod_decode_reference(std::string_view name, char *out);
// Decodes an HTML 4 named character reference (case-sensitive: "Eacute" and "eacute" differ) into
// out, which has room for 4 bytes: the number of bytes written (never more than the reference
// takes with its '&' and ';'), or -1 when HTML 4 names no such character.
int vepod_decode_html4_entity(std::string_view name, char *out);

inline constexpr uint64_t vepod_fnv1a_basis = 14695981039346656037ull;

// Largest feed or page read (16 MiB); real ones are far smaller, and the cap bounds the work one
// fetched body can cause in the reader and in discovery alike.
inline constexpr uint64_t vepod_max_document = 16777216;

// ASCII letters in lower case; every other byte as it is.
constexpr unsigned char vepod_ascii_lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? c + 32 : c;
}

// Whether text starts with the lower-case pattern, ignoring the case of text's ASCII letters.
inline bool vepod_ci_starts(std::string_view text, std::string_view lower_pattern) {
  if (text.size() < lower_pattern.size()) return false;
  for (size_t i = 0; i < lower_pattern.size(); i++) {
    if (vepod_ascii_lower(static_cast<unsigned char>(text[i])) !=
        static_cast<unsigned char>(lower_pattern[i])) {
      return false;
    }
  }
  return true;
}

// Equality ignoring ASCII case.
inline bool vepod_ci_eq(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a == b) return true;  // most are written alike
  for (size_t i = 0; i < a.size(); i++) {
    if (vepod_ascii_lower(static_cast<unsigned char>(a[i])) !=
        vepod_ascii_lower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// MARK: Dates and durations

// Milliseconds since the epoch for an e-mail date ("Mon, 02 Jan 2006 15:04:05 -0700", also without
// weekday or seconds, with a full month name or a two- or three-digit year) or an ISO date
// ("2006-01-02T15:04:05+01:00", or reduced to "2006-01-02", "2006-01" or "2006": midnight UTC of
// the first day), years 1970 to 2100; -1 when the text cannot be read.
int64_t vepod_parse_date(const char *text);
// An episode duration in whole seconds, as vepod_parse_duration (vepod.h) documents it.
int64_t vepod_duration_seconds(const char *text);

// MARK: UTF-8

// Which sequences count as characters: well-formed UTF-8 (no overlong forms, surrogates or values
// above U+10FFFF), or any lead byte C2..F4 followed by its count of continuation bytes, as the
// feed reader takes documents (what it decodes is repaired when answers are written).
enum class vepod_utf8_rules : uint8_t { well_formed, lead_and_continuation };

enum class vepod_utf8_fault : uint8_t {
  none,
  invalid_byte,          // a byte that cannot begin a character
  truncated,             // a character cut off by the end of the text
  invalid_continuation,  // a byte that cannot continue the character begun before it
};

// The first fault in [s, s+n) under rules; its offset in *at unless at is NULL. Under
// lead_and_continuation, *well_formed (unless NULL) tells whether the text is well-formed UTF-8
// too, found in the same pass: a text cut from it between characters then needs no second check.
vepod_utf8_fault vepod_utf8_check(const char *s, size_t n, vepod_utf8_rules rules,
                                  size_t *at = nullptr, bool *well_formed = nullptr);

// True when [s, s+n) is well-formed UTF-8.
inline bool vepod_utf8_valid(const char *s, size_t n) {
  return vepod_utf8_check(s, n, vepod_utf8_rules::well_formed) == vepod_utf8_fault::none;
}

// Length of the well-formed UTF-8 character at s (n > 0 bytes available), or 0 when it is not one.
size_t vepod_utf8_char_len(const char *s, size_t n);

// Writes code point cp (1 to U+10FFFF) as UTF-8 into out (room for 4 bytes): the byte count.
int vepod_utf8_encode(uint32_t cp, char *out);

// Appends [s, s+n) to out with every ill-formed sequence replaced by U+FFFD. The library repairs
// text once, where it enters: the feed model and discovery's link records. (Messages have their
// own rule: a byte that starts no character becomes '?'.)
void vepod_utf8_repair_append(vepod_string &out, const char *s, size_t n);

// A malloc'ed copy of text, well-formed UTF-8 (ill-formed sequences replaced by U+FFFD), with a NUL
// after it; NULL when memory runs out. Texts enter the feed model through here, so that what a
// listing shows and what a caller hands back are the same bytes.
char *vepod_strndup_utf8(std::string_view text);

// text without the ASCII blanks (tab, LF, CR, space) at either end, as URLs in feeds are written.
std::string_view vepod_trim_blanks(std::string_view text);

// A JSON string value for `text` copied into doc; NULL text gives "". The library's texts are
// well-formed UTF-8 from where they enter it (feed model, link records, messages), so nothing is
// repaired here. Returns NULL only when memory runs out.
yyjson_mut_val *vepod_json_str(yyjson_mut_doc *doc, const char *text);

// MARK: Legacy encodings

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
