// The feed mapping's readers of values written as text: numbers, times and the words of flags.

#include <string_view>

#include "util/vepod_text.h"
#include "xml/vepod_feed_parts.h"

namespace vepod_feed_values {

using std::string_view;

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

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A whole number of at most 15 digits and nothing else; -1 otherwise.
int64_t whole_number(string_view text) {
  if (text.empty() || text.size() > 15) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (!is_digit(c)) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// A number written as digits with an optional decimal part ("315.5"); -1 otherwise. Read without
// the C library's locale, which a host may have set to a decimal comma.
double decimal_number(string_view text) {
  size_t dot = text.find('.');
  string_view whole = text.substr(0, dot);
  string_view part = dot == string_view::npos ? string_view{} : text.substr(dot + 1);
  if (whole.empty() || whole.size() > 15 || part.size() > 15) return -1;
  if (dot != string_view::npos && part.empty()) return -1;
  double value = 0;
  for (char c : whole) {
    if (!is_digit(c)) return -1;
    value = value * 10 + (c - '0');
  }
  double scale = 1;
  int64_t fraction = 0;
  for (char c : part) {
    if (!is_digit(c)) return -1;
    fraction = fraction * 10 + (c - '0');
    scale *= 10;
  }
  return value + double(fraction) / scale;
}

// A chapter start in Normal Play Time: "HH:MM:SS", "MM:SS" or "SS", each with an optional
// fraction ("01:02:03.500"), as milliseconds; -1 when the text is not one.
int64_t npt_ms(string_view text) {
  int64_t fields[3];
  int n = 0;
  size_t i = 0;
  for (;;) {
    size_t begin = i;
    int64_t value = 0;
    while (i < text.size() && is_digit(text[i]) && i - begin < 9)
      value = value * 10 + (text[i++] - '0');
    if (i == begin) return -1;
    fields[n++] = value;
    if (n < 3 && i < text.size() && text[i] == ':') {
      i++;
      continue;
    }
    break;
  }
  int64_t ms = 0;
  if (i < text.size() && text[i] == '.') {
    size_t begin = ++i;
    for (int64_t scale = 100; i < text.size() && is_digit(text[i]); i++, scale /= 10) {
      ms += (text[i] - '0') * scale;
    }
    if (i == begin) return -1;
  }
  if (i != text.size()) return -1;
  // Minutes and seconds below an hour or minute field stay below 60.
  for (int k = 1; k < n; k++) {
    if (fields[k] >= 60) return -1;
  }
  int64_t seconds = 0;
  for (int k = 0; k < n; k++) seconds = seconds * 60 + fields[k];
  return seconds * 1000 + ms;
}

// 1 for yes, true or explicit; 0 for no, false or clean; -1 for anything else.
int8_t explicit_flag(string_view text) {
  if (vepod_ci_eq(text, "yes") || vepod_ci_eq(text, "true") || vepod_ci_eq(text, "explicit")) {
    return 1;
  }
  if (vepod_ci_eq(text, "no") || vepod_ci_eq(text, "false") || vepod_ci_eq(text, "clean")) {
    return 0;
  }
  return -1;
}

int8_t episode_type(string_view text) {
  if (vepod_ci_eq(text, "full")) return vepod_episode_full;
  if (vepod_ci_eq(text, "trailer")) return vepod_episode_trailer;
  if (vepod_ci_eq(text, "bonus")) return vepod_episode_bonus;
  return vepod_episode_none;
}

int8_t show_type(string_view text) {
  if (vepod_ci_eq(text, "episodic")) return vepod_show_episodic;
  if (vepod_ci_eq(text, "serial")) return vepod_show_serial;
  return vepod_show_none;
}

}  // namespace vepod_feed_values
