// Dates and durations as feeds write them.

#include "util/vepod_date.h"
#include "util/vepod_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "vepod.h"

// MARK: Dates

namespace {

constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

constexpr std::array<std::string_view, 12> k_months = {"jan", "feb", "mar", "apr", "may", "jun",
                                                       "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr std::array<std::string_view, 12> k_month_names = {
    "january", "february", "march",     "april",   "may",      "june",
    "july",    "august",   "september", "october", "november", "december"};
// Longest month word the lenient e-mail reading takes ("september").
constexpr size_t k_max_month_word = 9;
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
  // `digits`, when given, receives how many digits were written.
  got number(int32_t &out, size_t *digits = nullptr) {
    skip_space();
    const char *q = p;
    bool neg = *q == '-';
    if (*q == '+' || *q == '-') q++;
    if (!is_digit(static_cast<unsigned char>(*q))) return got::none;
    const char *first = q;
    int64_t v = 0;
    for (; is_digit(static_cast<unsigned char>(*q)); q++) {
      v = v * 10 + (*q - '0');
      if (v > int64_t(INT32_MAX) + 1) return got::overflow;
    }
    if (!neg && v > INT32_MAX) return got::overflow;
    out = int32_t(neg ? -v : v);
    if (digits) *digits = size_t(q - first);
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

// Position of a month abbreviation (1 to 12), or 0. The lenient reading also takes the full
// English names and "sept".
int32_t month_number(std::string_view word, bool lenient) {
  for (size_t i = 0; i < k_months.size(); i++) {
    if (vepod_ci_eq(word, k_months[i])) return int32_t(i + 1);
    if (lenient && vepod_ci_eq(word, k_month_names[i])) return int32_t(i + 1);
  }
  return lenient && vepod_ci_eq(word, "sept") ? 9 : 0;
}

// The obsolete e-mail years: two digits are 1950 to 2049, three digits count from 1900.
int32_t full_year(int32_t year, size_t digits) {
  if (year < 0) return year;
  if (digits == 2) return year + (year < 50 ? 2000 : 1900);
  if (digits == 3) return year + 1900;
  return year;
}

// Day, month word, year and h:m:s of the e-mail forms, after the weekday word. The lenient
// reading takes the month words of month_number, short years and a time without seconds.
got mail_fields(date_scanner &s, date_fields &f, bool lenient) {
  std::string_view mon;
  got g = s.number(f.day);
  if (g != got::value) return g;
  if (!s.word(lenient ? k_max_month_word : 7, mon)) return got::none;
  f.month = month_number(mon, lenient);
  size_t year_digits = 0;
  if ((g = s.number(f.year, &year_digits)) != got::value || (g = s.number(f.hour)) != got::value) {
    return g;
  }
  if (lenient) f.year = full_year(f.year, year_digits);
  if (!s.literal(':')) return got::none;
  if ((g = s.number(f.minute)) != got::value) return g;
  if (!s.literal(':')) return lenient ? got::value : got::none;
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

// The e-mail forms: "weekday, day mon year h:m:s [zone]" or "word day mon year h:m:s [zone]",
// and in the lenient reading also "day mon year h:m:s [zone]" without a weekday.
bool read_mail(const char *text, bool lenient, date_fields &f, int32_t &east) {
  date_scanner s{text};
  got g = got::none;
  size_t weekday = std::strcspn(text, ",");
  if (weekday > 0 && text[weekday] == ',') {
    s.p = text + weekday + 1;
    g = mail_fields(s, f, lenient);
  }
  if (g == got::none) {
    f = {};
    s.p = text;
    std::string_view first;
    if (!s.word(15, first)) return false;
    g = mail_fields(s, f, lenient);
  }
  if (g == got::none && lenient) {
    f = {};
    s.p = text;
    g = mail_fields(s, f, lenient);
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

// A date alone in the reduced precision of the W3C profile of ISO 8601: "yyyy-mm-dd", "yyyy-mm" or
// "yyyy", standing for midnight UTC of its first day (RDF feeds date items with dc:date this way).
bool read_reduced(const char *t, date_fields &f) {
  auto digits = [t](size_t at, size_t n) {
    int32_t v = 0;
    for (size_t i = at; i < at + n; i++) {
      if (!is_digit(static_cast<unsigned char>(t[i]))) return -1;  // also stops at the NUL
      v = v * 10 + (t[i] - '0');
    }
    return v;
  };
  f = {};
  f.month = f.day = 1;
  size_t end = 4;
  if ((f.year = digits(0, 4)) < 0) return false;
  if (t[end] == '-') {
    if ((f.month = digits(5, 2)) < 0) return false;
    end = 7;
    if (t[end] == '-') {
      if ((f.day = digits(8, 2)) < 0) return false;
      end = 10;
    }
  }
  while (t[end] == ' ' || t[end] == '\t') end++;
  return t[end] == '\0';
}

bool fields_in_range(const date_fields &f) {
  return f.year >= k_min_year && f.year <= k_max_year && f.month >= 1 && f.month <= 12 &&
         f.day >= 1 && f.day <= month_days(f.year, f.month) && f.hour >= 0 && f.hour <= 23 &&
         f.minute >= 0 && f.minute <= 59 && f.second >= 0 && f.second <= 60;
}

// The form JavaScript's Date prints: "Sat Oct 06 2018 00:00:00 GMT+0000 (UTC)", also without the
// offset or the zone's name in parentheses ("... 00:00:00 GMT").
bool read_js_date(const char *text, date_fields &f, int32_t &east) {
  date_scanner s{text};
  std::string_view weekday, mon, zone;
  f = {};
  if (!s.word(3, weekday) || weekday.size() != 3 || !is_space(static_cast<unsigned char>(*s.p)) ||
      !s.word(3, mon) || (f.month = month_number(mon, false)) == 0 ||
      s.number(f.day) != got::value || s.number(f.year) != got::value ||
      s.number(f.hour) != got::value || !s.literal(':') || s.number(f.minute) != got::value ||
      !s.literal(':') || s.number(f.second) != got::value || !fields_in_range(f)) {
    return false;
  }
  s.skip_space();
  if (std::strncmp(s.p, "GMT", 3) != 0) return false;
  s.p += 3;
  east = 0;
  if (*s.p == '+' || *s.p == '-') {
    size_t n = 1;
    while (n < 5 && is_digit(static_cast<unsigned char>(s.p[n]))) n++;
    if (n != 5) return false;
    int32_t hours = (s.p[1] - '0') * 10 + (s.p[2] - '0');
    int32_t minutes = (s.p[3] - '0') * 10 + (s.p[4] - '0');
    if (hours > 23 || minutes > 59) return false;
    east = (s.p[0] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    s.p += 5;
  }
  s.skip_space();
  // The zone's name in parentheses is for people: the offset says it.
  if (*s.p == '(') {
    const char *close = std::strchr(s.p, ')');
    if (!close) return false;
    s.p = close + 1;
    s.skip_space();
  }
  return *s.p == '\0';
}

// The strict reading first, so that every text it dates keeps that date (the lenient one could
// find a second date after a later comma); then the forms RFC 2822 also allows.
bool read_mail_date(const char *text, date_fields &f, int32_t &east) {
  for (bool lenient : {false, true}) {
    f = {};
    if (read_mail(text, lenient, f, east) && fields_in_range(f)) return true;
  }
  return false;
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
  bool ok = read_reduced(text, f) ? fields_in_range(f)
            : is_iso_date(text)   ? read_iso(text, f, east) && fields_in_range(f)
                                  : read_mail_date(text, f, east) || read_js_date(text, f, east);
  if (!ok) return -1;
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
