#include "view/format.h"

#include <locale.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <cwchar>

namespace {

// wcwidth answers by the calling thread's LC_CTYPE; the program keeps the "C" locale for
// everything else, so the measuring switches to C.UTF-8 for its own calls only.
class utf8_ctype {
 public:
  utf8_ctype() : previous_(locale() ? uselocale(locale()) : nullptr) {}
  ~utf8_ctype() {
    if (previous_) uselocale(previous_);
  }
  utf8_ctype(const utf8_ctype &) = delete;
  utf8_ctype &operator=(const utf8_ctype &) = delete;
  bool active() const { return previous_ != nullptr; }

 private:
  static locale_t locale() {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return utf8;
  }
  locale_t previous_;
};

size_t char_width(char32_t c, bool know_unicode) {
  if (c < 0x80 || !know_unicode) return 1;
  int width = wcwidth(static_cast<wchar_t>(c));
  return width < 0 ? 1 : static_cast<size_t>(width);
}

}  // namespace

std::string json_text(std::string_view json) {
  return rewrite_characters(json, [](bool valid, char32_t c, std::string &out) {
    if (!valid) {
      out += "\\ufffd";
    } else if (c >= 0x20 && is_terminal_control(c)) {
      char escape[16];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      return false;
    }
    return true;
  });
}

size_t display_width(std::string_view text) {
  utf8_ctype ctype;
  size_t width = 0;
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    size_t length = decode_utf8(text, i, c);
    width += length == 0 ? 1 : char_width(c, ctype.active());
    i += length == 0 ? 1 : length;
  }
  return width;
}

size_t fitting_prefix(std::string_view text, size_t columns, size_t &width) {
  utf8_ctype ctype;
  size_t i = 0;
  width = 0;
  while (i < text.size()) {
    char32_t c = 0;
    size_t length = decode_utf8(text, i, c);
    size_t w = length == 0 ? 1 : char_width(c, ctype.active());
    if (width + w > columns) break;
    width += w;
    i += length == 0 ? 1 : length;
  }
  return i;
}

std::string fit_width(std::string_view text, size_t width) {
  if (width == 0) return {};
  utf8_ctype ctype;
  // One pass that stops once the text is known not to fit: a cell may be a 2,000-byte URL.
  size_t used = 0, cut = std::string_view::npos;
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    size_t length = decode_utf8(text, i, c);
    size_t w = length == 0 ? 1 : char_width(c, ctype.active());
    if (cut == std::string_view::npos && used + w > width - 1) cut = i;  // room for '…'
    used += w;
    if (used > width) return std::string(text.substr(0, cut)) + "\u2026";
    i += length == 0 ? 1 : length;
  }
  return std::string(text);
}

std::string duration_text(int64_t seconds) {
  if (seconds < 0) return "-";
  char text[48];
  std::snprintf(text, sizeof text, "%" PRId64 ":%02d:%02d", seconds / 3600,
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return text;
}

std::string elapsed_text(double seconds) {
  auto total = static_cast<long long>(std::max(seconds, 0.0) + 0.5);
  char text[48];
  if (total >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                  total % 60);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  return text;
}

std::string counted(int64_t n, std::string_view one, std::string_view many) {
  std::string text = std::to_string(n) + " ";
  if (n == 1) return text.append(one);
  if (many.empty()) return text.append(one).append("s");
  return text.append(many);
}

std::vector<std::string> table::lines(size_t limit) const {
  const size_t n = header.size();
  std::vector<size_t> natural(n, 0);
  auto measure = [&natural, n](const std::vector<std::string> &row) {
    for (size_t i = 0; i < n && i < row.size(); i++)
      natural[i] = std::max(natural[i], display_width(row[i]));
  };
  measure(header);
  for (const auto &row : rows) measure(row);

  std::vector<bool> shown(n, true);
  std::vector<size_t> widths = natural;
  auto total = [&] {
    size_t sum = 0, columns = 0;
    for (size_t i = 0; i < n; i++)
      if (shown[i]) {
        sum += widths[i];
        columns++;
      }
    return sum + (columns > 0 ? 2 * (columns - 1) : 0);
  };
  // From the natural widths: the other columns give up room first, the widest one at a time,
  // down to 12 columns; then `shrink` (the title, what a row is read for); then any, down to
  // `floor`.
  auto narrow = [&](size_t floor) {
    widths = natural;
    const struct {
      bool others, title;
      size_t least;
    } phases[] = {
        {true, false, std::max<size_t>(floor, 12)}, {false, true, floor}, {true, true, floor}};
    for (const auto &phase : phases) {
      auto may_narrow = [&](size_t i) {
        return shown[i] && (i == shrink ? phase.title : phase.others);
      };
      while (limit > 0 && total() > limit) {
        size_t widest = n;
        for (size_t i = 0; i < n; i++)
          if (may_narrow(i) && widths[i] > phase.least &&
              (widest == n || widths[i] >= widths[widest]))
            widest = i;
        if (widest == n) break;
        // Down to the next widest at once, or as far as the excess asks.
        size_t next = phase.least;
        for (size_t i = 0; i < n; i++)
          if (may_narrow(i) && i != widest)
            next = std::max(next, std::min(widths[i], widths[widest]));
        size_t target = std::max(next, widths[widest] - std::min(widths[widest], total() - limit));
        widths[widest] = target < widths[widest] ? target : widths[widest] - 1;
      }
    }
  };
  // A column cut below 8 columns says little: columns go from the right (the one that shrinks
  // and the first last) before any is cut that far; on a terminal narrower still, 3, then 1.
  for (size_t floor : {size_t{8}, size_t{3}, size_t{1}}) {
    shown.assign(n, true);
    narrow(floor);
    for (size_t i = n; limit > 0 && total() > limit && i-- > 1;) {
      if (i == shrink) continue;
      shown[i] = false;
      narrow(floor);
    }
    if (limit > 0 && total() > limit && shrink < n && shrink != 0) {
      shown[shrink] = false;
      narrow(floor);
    }
    if (limit == 0 || total() <= limit) break;
  }
  if (limit > 0 && total() > limit && n > 0) widths[0] = limit;  // only the first is left

  std::vector<std::string> out;
  out.reserve(rows.size() + 1);
  auto render = [&](const std::vector<std::string> &row) {
    std::string line;
    size_t last = n;
    for (size_t i = 0; i < n; i++)
      if (shown[i]) last = i;
    for (size_t i = 0; i < n; i++) {
      if (!shown[i]) continue;
      std::string cell = fit_width(i < row.size() ? row[i] : std::string(), widths[i]);
      std::string pad(widths[i] - std::min(widths[i], display_width(cell)), ' ');
      bool right = i < right_aligned.size() && right_aligned[i];
      if (right) line += pad;
      line += cell;
      if (i == last) break;
      if (!right) line += pad;
      line += "  ";
    }
    out.push_back(std::move(line));
  };
  render(header);
  for (const auto &row : rows) render(row);
  return out;
}
