// Texts the core writes into names, records and messages: UTF-8 reading and cutting, sizes and
// dates in their one form.

#include "core/text.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

size_t decode_utf8(std::string_view text, size_t i, char32_t &c) {
  auto byte = [&text](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  if (lead < 0x80) {
    c = lead;
    return 1;
  }
  size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  c = lead & (0x7F >> length);
  for (size_t k = 1; k < length; k++) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    c = c << 6 | (byte(i + k) & 0x3F);
  }
  static constexpr char32_t k_smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < k_smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return length;
}

bool is_terminal_control(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F || c == 0x061C || c == 0xFEFF;
}

std::string cut_bytes(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return std::string(text);
  size_t end = max_bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) end--;
  return std::string(text.substr(0, end));
}

std::string size_text(int64_t bytes) {
  if (bytes < 0) return "-";
  char text[48];
  if (bytes < 1000) {
    std::snprintf(text, sizeof text, "%" PRId64 " B", bytes);
    return text;
  }
  static constexpr const char *k_units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1000;
  size_t unit = 0;
  // 999.95 would print as "1000.0": the next unit reads better.
  while (value >= 999.95 && unit + 1 < std::size(k_units)) {
    value /= 1000;
    unit++;
  }
  std::snprintf(text, sizeof text, "%.1f %s", value, k_units[unit]);
  return text;
}

std::string date_text(int64_t ms, bool utc) {
  if (ms < 0) return {};
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm parts{};
  if ((utc ? gmtime_r(&seconds, &parts) : localtime_r(&seconds, &parts)) == nullptr) return {};
  char text[32];
  size_t length = std::strftime(text, sizeof text, "%Y-%m-%d", &parts);
  return std::string(text, length);
}

bool terminal_replacement(bool valid, char32_t c, std::string &out) {
  if (valid && (c == '\t' || c == '\n' || c == '\r' || c == 0x2028 || c == 0x2029))
    out += ' ';
  else if (!valid || is_terminal_control(c))
    out += k_replacement;
  else
    return false;
  return true;
}

std::string terminal_text(std::string_view text) {
  return rewrite_characters(text, terminal_replacement);
}
