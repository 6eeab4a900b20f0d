// The progress lines of downloads: live lines on a terminal, final lines elsewhere.

#include "view/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "view/format.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Redraws on a terminal at most this often: enough to look live, little enough to cost nothing.
constexpr auto k_redraw_interval = std::chrono::milliseconds(200);

double seconds_since(const transfer_progress &p) {
  return std::chrono::duration<double>(clock_type::now() - p.start).count();
}

// Bytes, share, rate and time left of a running transfer.
std::string running_stats(const transfer_progress &p) {
  double rate = static_cast<double>(p.fresh) / std::max(seconds_since(p), 0.001);
  std::string stats = "  " + size_text(static_cast<int64_t>(p.done));
  if (p.total > 0) {
    stats += " / " + size_text(p.total);
    char percent[16];
    std::snprintf(
        percent, sizeof percent, "  %3d%%",
        static_cast<int>(100.0 * static_cast<double>(p.done) / static_cast<double>(p.total)));
    stats += percent;
  }
  stats += "  " + size_text(static_cast<int64_t>(rate)) + "/s";
  if (p.total > 0 && rate >= 1 && static_cast<uint64_t>(p.total) > p.done)
    stats += "  ETA " +
             elapsed_text(static_cast<double>(static_cast<uint64_t>(p.total) - p.done) / rate);
  return stats;
}

std::string final_stats(const transfer_progress &p, uint64_t size, bool resumed) {
  const double seconds = seconds_since(p);
  double rate = static_cast<double>(p.fresh) / std::max(seconds, 0.001);
  return "  " + size_text(static_cast<int64_t>(size)) + " in " + elapsed_text(seconds) + ", " +
         size_text(static_cast<int64_t>(rate)) + "/s" + (resumed ? " (resumed)" : "");
}

}  // namespace

terminal_progress::terminal_progress(std::FILE *out)
    : out_(out), tty_(out && isatty(fileno(out))) {}

terminal_progress::~terminal_progress() { erase(); }

// Redraws the lines of `running` (those that show), at most every k_redraw_interval once drawn.
void terminal_progress::update(const std::vector<const transfer_progress *> &running) {
  if (!tty_) return;
  auto now = clock_type::now();
  if (drawn_ > 0 && now - last_draw_ < k_redraw_interval) return;
  std::string text = to_top();
  size_t lines = 0;
  // Lines beyond the screen's height could not be reached again to redraw them.
  const size_t room = terminal_rows() > 1 ? terminal_rows() - 1 : 1;
  for (const transfer_progress *p : running) {
    if (!p->shown || lines == room) continue;
    if (lines++ > 0) text += '\n';
    text += fitted(terminal_text(p->label), running_stats(*p)) + "\033[K";
  }
  if (lines < drawn_) text += "\033[J";
  if (lines == 0 && drawn_ == 0) return;
  write(text);
  drawn_ = lines;
  last_draw_ = now;
}

// A complete file's line, for good; the running lines are drawn again at the next update.
void terminal_progress::complete(const transfer_progress &p, uint64_t size, bool resumed) {
  if (!out_) return;
  if (!tty_) {
    std::fprintf(out_, "%s%s\n", terminal_text(p.label).c_str(),
                 final_stats(p, size, resumed).c_str());
    std::fflush(out_);
    return;
  }
  std::string text =
      to_top() + fitted(terminal_text(p.label), final_stats(p, size, resumed)) + "\033[K\n";
  if (drawn_ > 1) text += "\033[J";
  write(text);
  drawn_ = 0;
}

// Takes the running lines away, so that others' messages start on a clean line.
void terminal_progress::erase() {
  if (drawn_ == 0) return;
  write(to_top() + "\033[J");
  drawn_ = 0;
}

// Back to the start of the first line drawn.
std::string terminal_progress::to_top() const {
  return drawn_ > 1 ? "\r\033[" + std::to_string(drawn_ - 1) + "A" : std::string("\r");
}

// The label shortened so that label and stats fit the width.
std::string terminal_progress::fitted(const std::string &label, const std::string &stats) const {
  size_t width = terminal_width();
  size_t room = width > stats.size() + 1 ? width - stats.size() - 1 : 1;
  return fit_width(label, room) + stats;
}

void terminal_progress::write(const std::string &text) {
  std::fputs(text.c_str(), out_);
  std::fflush(out_);
}

size_t terminal_progress::terminal_width() const {
  winsize size{};
  if (ioctl(fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
  return 80;
}

size_t terminal_progress::terminal_rows() const {
  winsize size{};
  if (ioctl(fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_row > 0) return size.ws_row;
  return 24;
}
