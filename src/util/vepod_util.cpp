// Small helpers shared by every area: platform layer, URLs, hashing, dates, durations, UTF-8.

#include "util/vepod_util.h"

#include <sys/random.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "vepod.h"

// MARK: Platform layer

void vepod_lock_acquire(vepod_lock *lock) { pthread_mutex_lock(&lock->mutex); }
void vepod_lock_release(vepod_lock *lock) { pthread_mutex_unlock(&lock->mutex); }

uint64_t vepod_now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

int vepod_random_u32(uint32_t *value) {
  uint32_t v = 0;
  for (;;) {
    ssize_t n = getrandom(&v, sizeof v, 0);
    if (n == ssize_t(sizeof v)) break;
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
  *value = v;
  return 0;
}

// MARK: Allocation

namespace {

// Allocations left before the armed failure; negative when disarmed.
std::atomic<long> g_alloc_budget{-1};

void *json_malloc(void *, size_t size) { return vepod_malloc(size); }
void *json_realloc(void *, void *block, size_t, size_t size) { return vepod_realloc(block, size); }
void json_free(void *, void *block) { std::free(block); }

constexpr yyjson_alc k_json_alc = {json_malloc, json_realloc, json_free, nullptr};

}  // namespace

long vepod_alloc_fail_after(long count) { return g_alloc_budget.exchange(count < 0 ? -1 : count); }

bool vepod_alloc_should_fail() {
  long budget = g_alloc_budget.load(std::memory_order_relaxed);
  while (budget >= 0) {
    if (g_alloc_budget.compare_exchange_weak(budget, budget - 1)) return budget == 0;
  }
  return false;
}

void *vepod_malloc(size_t size) { return vepod_alloc_should_fail() ? nullptr : std::malloc(size); }

void *vepod_calloc(size_t count, size_t size) {
  return vepod_alloc_should_fail() ? nullptr : std::calloc(count, size);
}

void *vepod_realloc(void *block, size_t size) {
  return vepod_alloc_should_fail() ? nullptr : std::realloc(block, size);
}

const yyjson_alc *vepod_json_alc() { return &k_json_alc; }

// MARK: UTF-8

namespace {

// Length of the well-formed UTF-8 sequence at s (n bytes available), or 0 when it is ill-formed.
size_t utf8_seq_len(const unsigned char *s, size_t n) {
  unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    need = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (n < need || s[1] < lo || s[1] > hi) return 0;
  for (size_t i = 2; i < need; i++) {
    if ((s[i] & 0xC0) != 0x80) return 0;
  }
  return need;
}

// Bytes of the ASCII run at the start of [s, s+n), eight at a time where possible.
size_t ascii_prefix(const unsigned char *s, size_t n) {
  size_t i = 0;
  while (i + 8 <= n) {
    uint64_t word;
    std::memcpy(&word, s + i, 8);
    if (word & 0x8080808080808080ull) break;
    i += 8;
  }
  while (i < n && s[i] < 0x80) i++;
  return i;
}

}  // namespace

bool vepod_utf8_valid(const char *s, size_t n) {
  const auto *p = reinterpret_cast<const unsigned char *>(s);
  size_t i = 0;
  while (i < n) {
    i += ascii_prefix(p + i, n - i);
    if (i == n) break;
    size_t len = utf8_seq_len(p + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

size_t vepod_utf8_char_len(const char *s, size_t n) {
  return utf8_seq_len(reinterpret_cast<const unsigned char *>(s), n);
}

void vepod_utf8_repair_append(std::string &out, const char *s, size_t n) {
  const auto *p = reinterpret_cast<const unsigned char *>(s);
  size_t i = 0;
  while (i < n) {
    // Copy the longest well-formed stretch at once.
    size_t start = i;
    i += ascii_prefix(p + i, n - i);
    while (i < n) {
      size_t len = utf8_seq_len(p + i, n - i);
      if (len == 0) break;
      i += len;
    }
    out.append(s + start, i - start);
    if (i < n) {
      // An ill-formed sequence: its lead byte and the continuation bytes that follow it (at most
      // three) become one replacement character.
      size_t skip = 1;
      while (skip < 4 && i + skip < n && (p[i + skip] & 0xC0) == 0x80) skip++;
      out.append("\xEF\xBF\xBD");
      i += skip;
    }
  }
}

yyjson_mut_val *vepod_json_str(yyjson_mut_doc *doc, const char *text) {
  if (!text) return yyjson_mut_str(doc, "");
  size_t n = std::strlen(text);
  if (vepod_utf8_valid(text, n)) return yyjson_mut_strncpy(doc, text, n);
  try {
    std::string repaired;
    repaired.reserve(n + 8);
    vepod_utf8_repair_append(repaired, text, n);
    return yyjson_mut_strncpy(doc, repaired.data(), repaired.size());
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

// MARK: Strings

char *xstrdup_u(const char *text) {
  if (!text) return nullptr;
  size_t n = std::strlen(text) + 1;
  auto *copy = static_cast<char *>(vepod_malloc(n));
  if (copy) std::memcpy(copy, text, n);
  return copy;
}

void vepod_put_err(char *err, int64_t err_size, const char *format, ...) {
  if (!err || err_size <= 0) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(err, size_t(err_size), format, args);
  va_end(args);
}

// MARK: URLs

namespace {

constexpr bool is_alpha(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Length of the URI scheme that ends at the first ':', or 0 when the text does not start with one.
size_t scheme_len(const char *text) {
  if (!text || !is_alpha(static_cast<unsigned char>(text[0]))) return 0;
  for (size_t i = 1;; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == ':') return i;
    if (!is_alpha(c) && !is_digit(c) && c != '+' && c != '-' && c != '.') return 0;
  }
}

// Index just past "scheme://", or 0 when the text has no scheme followed by two slashes.
size_t authority_start(const char *text) {
  size_t n = scheme_len(text);
  if (n == 0 || text[n + 1] != '/' || text[n + 2] != '/') return 0;
  return n + 3;
}

// Index of the first '/', '?', '#' or NUL at or after `from`: the end of the authority.
size_t authority_end(const char *text, size_t from) {
  return from + std::strcspn(text + from, "/?#");
}

// Appends to a caller buffer of `cap` bytes, silently dropping what does not fit.
class bounded_writer {
 public:
  bounded_writer(char *out, size_t cap) : out_(out), cap_(cap) {}
  ~bounded_writer() { out_[len_] = '\0'; }
  bounded_writer(const bounded_writer &) = delete;
  bounded_writer &operator=(const bounded_writer &) = delete;
  void put(std::string_view s) {
    size_t room = cap_ - 1 - len_;
    size_t n = s.size() < room ? s.size() : room;
    std::memcpy(out_ + len_, s.data(), n);
    len_ += n;
  }

 private:
  char *out_;
  size_t cap_;
  size_t len_ = 0;
};

}  // namespace

int vepod_url_is_http(const char *text) {
  size_t n = scheme_len(text);
  if (n != 4 && n != 5) return 0;
  if (!vepod_ci_eq(std::string_view(text, n), n == 4 ? "http" : "https")) return 0;
  size_t host = authority_start(text);
  if (host == 0 || authority_end(text, host) == host) return 0;
  for (const char *p = text; *p; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) return 0;
  }
  return 1;
}

void vepod_redact_url(const char *url, char *out, size_t cap) {
  if (!out || cap == 0) return;
  bounded_writer w(out, cap);
  if (!url) return;
  std::string_view rest(url);
  if (size_t host = authority_start(url)) {
    w.put(rest.substr(0, host));
    size_t end = authority_end(url, host);
    std::string_view authority = rest.substr(host, end - host);
    size_t at = authority.rfind('@');
    w.put(at == std::string_view::npos ? authority : authority.substr(at + 1));
    rest.remove_prefix(end);
  }
  size_t cut = rest.find_first_of("?#");
  w.put(rest.substr(0, cut));
  if (cut != std::string_view::npos) w.put("?<redacted>");
}

char *vepod_resolve_url(const char *ref, const char *base) {
  if (!ref || !*ref) return nullptr;
  if (vepod_url_is_http(ref)) return xstrdup_u(ref);
  if (!base || !*base) return nullptr;
  size_t host = authority_start(base);
  if (host == 0) return nullptr;
  // The origin ends with the authority, so that a '/' inside the base's query or fragment is not
  // taken for the start of its path.
  size_t origin = authority_end(base, host);
  size_t ref_len = std::strlen(ref);
  auto *out = static_cast<char *>(vepod_malloc(origin + ref_len + 2));
  if (!out) return nullptr;
  std::memcpy(out, base, origin);
  size_t n = origin;
  if (ref[0] != '/') out[n++] = '/';
  std::memcpy(out + n, ref, ref_len + 1);
  return out;
}

// MARK: Hashing

uint64_t vepod_fnv1a(const void *data, size_t len, uint64_t h) {
  constexpr uint64_t prime = 1099511628211ull;
  const auto *p = static_cast<const unsigned char *>(data);
  for (size_t i = 0; i < len; i++) {
    h ^= p[i];
    h *= prime;
  }
  return h;
}

// MARK: Dates

namespace {

constexpr std::array<std::string_view, 12> k_months = {"jan", "feb", "mar", "apr", "may", "jun",
                                                       "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr std::array<int32_t, 12> k_month_days = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

struct zone_name {
  std::string_view name;
  int32_t hours;  // east of UTC
};
constexpr std::array<zone_name, 12> k_zones = {{{"ut", 0},
                                                {"utc", 0},
                                                {"gmt", 0},
                                                {"z", 0},
                                                {"est", -5},
                                                {"edt", -4},
                                                {"cst", -6},
                                                {"cdt", -5},
                                                {"mst", -7},
                                                {"mdt", -6},
                                                {"pst", -8},
                                                {"pdt", -7}}};

constexpr int32_t k_min_year = 1970;
constexpr int32_t k_max_year = 2100;

// Whitespace as the C locale classifies it.
constexpr bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

constexpr bool is_leap(int32_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

constexpr int32_t month_days(int32_t year, int32_t month) {
  return month == 2 && is_leap(year) ? 29 : k_month_days[size_t(month - 1)];
}

// Leap years from year 1 up to and including y.
constexpr int64_t leaps_through(int64_t y) { return y / 4 - y / 100 + y / 400; }

struct date_fields {
  int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// Reads text the way the scanf directives of the date forms do, but without the C library, so
// that neither the locale nor an overflowing number can change the outcome.
struct date_scanner {
  enum class got { value, none, overflow };

  const char *p;

  void skip_space() {
    while (is_space(static_cast<unsigned char>(*p))) p++;
  }
  bool literal(char c) {
    if (*p != c) return false;
    p++;
    return true;
  }
  // "%d": blanks, an optional sign, at least one digit. A value beyond 32 bits is `overflow`.
  got number(int32_t &out) {
    skip_space();
    const char *q = p;
    bool neg = *q == '-';
    if (*q == '+' || *q == '-') q++;
    if (!is_digit(static_cast<unsigned char>(*q))) return got::none;
    int64_t v = 0;
    for (; is_digit(static_cast<unsigned char>(*q)); q++) {
      v = v * 10 + (*q - '0');
      if (v > int64_t(INT32_MAX) + 1) return got::overflow;
    }
    if (!neg && v > INT32_MAX) return got::overflow;
    out = int32_t(neg ? -v : v);
    p = q;
    return got::value;
  }
  // "%Ns": blanks, then 1 to max characters that are not blanks.
  bool word(size_t max, std::string_view &out) {
    skip_space();
    size_t n = 0;
    while (n < max && p[n] && !is_space(static_cast<unsigned char>(p[n]))) n++;
    if (n == 0) return false;
    out = std::string_view(p, n);
    p += n;
    return true;
  }
};
using got = date_scanner::got;

// Position of a month abbreviation (1 to 12), or 0.
int32_t month_number(std::string_view word) {
  for (size_t i = 0; i < k_months.size(); i++) {
    if (vepod_ci_eq(word, k_months[i])) return int32_t(i + 1);
  }
  return 0;
}

// Day, month word, year and h:m:s of the e-mail forms, after the weekday word.
got mail_fields(date_scanner &s, date_fields &f) {
  std::string_view mon;
  got g = s.number(f.day);
  if (g != got::value) return g;
  if (!s.word(7, mon)) return got::none;
  f.month = month_number(mon);
  if ((g = s.number(f.year)) != got::value || (g = s.number(f.hour)) != got::value) return g;
  if (!s.literal(':')) return got::none;
  if ((g = s.number(f.minute)) != got::value) return g;
  if (!s.literal(':')) return got::none;
  return s.number(f.second);
}

// Seconds east of UTC for the zone after an e-mail time: "+hhmm", "-hhmm" or a known name; other
// text is UTC. `valid` turns false when a numeric zone is out of range.
int32_t mail_zone(const char *p, bool &valid) {
  while (is_space(static_cast<unsigned char>(*p))) p++;
  size_t n = 0;
  while (p[n] && !is_space(static_cast<unsigned char>(p[n]))) n++;
  std::string_view zone(p, n);
  if (n == 5 && (zone[0] == '+' || zone[0] == '-') &&
      std::all_of(zone.begin() + 1, zone.end(), [](char c) { return is_digit(c); })) {
    int32_t hours = (zone[1] - '0') * 10 + (zone[2] - '0');
    int32_t minutes = (zone[3] - '0') * 10 + (zone[4] - '0');
    valid = hours <= 23 && minutes <= 59;
    int32_t east = hours * 3600 + minutes * 60;
    return zone[0] == '-' ? -east : east;
  }
  for (const zone_name &z : k_zones) {
    if (vepod_ci_eq(zone, z.name)) return z.hours * 3600;
  }
  return 0;
}

// The e-mail forms: "weekday, day mon year h:m:s [zone]" or "word day mon year h:m:s [zone]".
bool read_mail(const char *text, date_fields &f, int32_t &east) {
  date_scanner s{text};
  got g = got::none;
  size_t weekday = std::strcspn(text, ",");
  if (weekday > 0 && text[weekday] == ',') {
    s.p = text + weekday + 1;
    g = mail_fields(s, f);
  }
  if (g == got::none) {
    f = {};
    s.p = text;
    std::string_view first;
    if (!s.word(15, first)) return false;
    g = mail_fields(s, f);
  }
  if (g != got::value) return false;
  bool valid = true;
  east = mail_zone(s.p, valid);
  return valid;
}

// Seconds east of UTC from "+hh", "+hh:mm" or "+hhmm" (or with '-') at p; a sign without digits
// is UTC. False when the offset is malformed or out of range.
bool iso_offset(const char *p, int32_t &east) {
  bool neg = *p == '-';
  p++;
  size_t n = 0;
  while (n < 5 && is_digit(static_cast<unsigned char>(p[n]))) n++;
  int32_t hours = 0, minutes = 0;
  if (n == 4) {
    hours = (p[0] - '0') * 10 + (p[1] - '0');
    minutes = (p[2] - '0') * 10 + (p[3] - '0');
  } else if (n == 1 || n == 2) {
    hours = n == 1 ? p[0] - '0' : (p[0] - '0') * 10 + (p[1] - '0');
    if (p[n] == ':' && is_digit(static_cast<unsigned char>(p[n + 1]))) {
      const char *m = p + n + 1;
      size_t k = 0;
      while (k < 3 && is_digit(static_cast<unsigned char>(m[k]))) k++;
      if (k > 2) return false;
      minutes = k == 1 ? m[0] - '0' : (m[0] - '0') * 10 + (m[1] - '0');
    }
  } else if (n != 0) {
    return false;
  }
  if (hours > 23 || minutes > 59) return false;
  east = (neg ? -1 : 1) * (hours * 3600 + minutes * 60);
  return true;
}

bool is_iso_date(const char *t) {
  constexpr std::string_view shape = "dddd-dd-dd";
  for (size_t i = 0; i < shape.size(); i++) {
    bool ok = shape[i] == 'd' ? is_digit(static_cast<unsigned char>(t[i])) : t[i] == '-';
    if (!ok) return false;  // also stops at the NUL of a shorter text
  }
  return true;
}

// "yyyy-mm-dd", 'T' or a blank or nothing, "h:m[:s[.fraction]]", then an optional offset.
bool read_iso(const char *text, date_fields &f, int32_t &east) {
  date_scanner s{text};
  if (s.number(f.year) != got::value || !s.literal('-') || s.number(f.month) != got::value ||
      !s.literal('-') || s.number(f.day) != got::value) {
    return false;
  }
  const char *time = text + (text[10] == 'T' || text[10] == ' ' || text[10] == '\t' ? 11 : 10);
  s.p = time;
  if (s.number(f.hour) != got::value || !s.literal(':') || s.number(f.minute) != got::value) {
    return false;
  }
  bool has_seconds = false;
  if (s.literal(':')) {
    got g = s.number(f.second);
    if (g == got::overflow) return false;
    has_seconds = g == got::value;
    if (!has_seconds) f.second = 0;
  }
  const char *p = time;
  while (is_digit(static_cast<unsigned char>(*p)) || *p == ':' || (has_seconds && *p == '.')) p++;
  while (*p == ' ' || *p == '\t') p++;
  east = 0;
  return (*p != '+' && *p != '-') || iso_offset(p, east);
}

bool fields_in_range(const date_fields &f) {
  return f.year >= k_min_year && f.year <= k_max_year && f.month >= 1 && f.month <= 12 &&
         f.day >= 1 && f.day <= month_days(f.year, f.month) && f.hour >= 0 && f.hour <= 23 &&
         f.minute >= 0 && f.minute <= 59 && f.second >= 0 && f.second <= 60;
}

int64_t epoch_ms(const date_fields &f, int32_t east) {
  int64_t days = 365 * int64_t(f.year - 1970) + leaps_through(f.year - 1) - leaps_through(1969);
  for (int32_t m = 1; m < f.month; m++) days += month_days(f.year, m);
  days += f.day - 1;
  int64_t seconds = days * 86400 + f.hour * 3600 + f.minute * 60 + f.second - east;
  return seconds * 1000;
}

}  // namespace

int64_t vepod_parse_date(const char *text) {
  if (!text) return -1;
  while (*text == ' ' || *text == '\t') text++;
  if (!*text) return -1;
  date_fields f;
  int32_t east = 0;
  bool ok = is_iso_date(text) ? read_iso(text, f, east) : read_mail(text, f, east);
  if (!ok || !fields_in_range(f)) return -1;
  return epoch_ms(f, east);
}

// MARK: Durations

namespace {

// 365 days: a larger number is not taken for a play time.
constexpr double k_max_duration_s = 31536000.0;
// Clock forms are short; anything this long is not one.
constexpr size_t k_max_clock_len = 64;

// A plain number with an optional unit letter: "3600", "12.5", "1e3", "90 s", "5min", "1.5h".
int64_t number_duration(const char *p) {
  while (is_space(static_cast<unsigned char>(*p))) p++;
  bool neg = *p == '-';
  if (*p == '+' || *p == '-') p++;
  // Only decimal numbers count: no "inf", "nan" or hexadecimal.
  bool starts = is_digit(static_cast<unsigned char>(*p)) ||
                (*p == '.' && is_digit(static_cast<unsigned char>(p[1])));
  if (!starts) return -1;
  double v = 0;
  auto [end, ec] = std::from_chars(p, p + std::strlen(p), v);
  if (ec != std::errc()) return -1;
  if (neg) v = -v;
  if (!(v >= 0 && v < k_max_duration_s)) return -1;
  p = end;
  while (*p == ' ') p++;
  double unit;
  switch (*p) {
    case '\0':
    case 's':
      unit = 1;
      break;
    case 'm':
      unit = 60;
      break;
    case 'h':
      unit = 3600;
      break;
    default:
      return -1;
  }
  return int64_t(v * unit + 0.5);
}

// "m:s" or "h:m:s". Empty pieces are skipped, as a tokenizer would, so the piece count must match
// the colons for the text to be well-formed.
int64_t clock_duration(std::string_view text, size_t colons) {
  if (colons > 2 || text.size() >= k_max_clock_len) return -1;
  int64_t values[3] = {};
  size_t pieces = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ':') {
      i++;
      continue;
    }
    size_t end = text.find(':', i);
    if (end == std::string_view::npos) end = text.size();
    // Pieces are separated by colons, so there are at most colons + 1 <= 3 of them.
    if (!is_digit(static_cast<unsigned char>(text[i]))) return -1;
    int64_t v = 0;
    for (size_t k = i; k < end && is_digit(static_cast<unsigned char>(text[k])); k++) {
      if (v <= 999) v = v * 10 + (text[k] - '0');
    }
    values[pieces++] = v;
    i = end;
  }
  if (pieces != colons + 1) return -1;
  if (values[0] > 999 || values[1] > 59 || values[2] > 59) return -1;
  return pieces == 2 ? values[0] * 60 + values[1] : values[0] * 3600 + values[1] * 60 + values[2];
}

}  // namespace

int64_t vepod_duration_seconds(const char *text) {
  if (!text) return -1;
  while (*text == ' ' || *text == '\t') text++;
  if (!*text) return -1;
  std::string_view rest(text);
  size_t colons = size_t(std::count(rest.begin(), rest.end(), ':'));
  return colons == 0 ? number_duration(text) : clock_duration(rest, colons);
}
