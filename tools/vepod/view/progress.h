// The progress lines of downloads. On a terminal, one line per running transfer (bytes, share,
// rate, time left), redrawn in place below what was printed before (the cursor stays at the end of
// the last line); a finished transfer's final line goes above them for good. Elsewhere only the
// final lines of complete files.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/download.h"

class terminal_progress final : public progress_display {
 public:
  // nullptr: silent.
  explicit terminal_progress(std::FILE *out);
  ~terminal_progress() override;
  terminal_progress(const terminal_progress &) = delete;
  terminal_progress &operator=(const terminal_progress &) = delete;

  // Redraws the lines of `running` (those that show), at most every 200 ms once drawn.
  void update(const std::vector<const transfer_progress *> &running) override;
  // A complete file's line, for good; the running lines are drawn again at the next update.
  void complete(const transfer_progress &p, uint64_t size, bool resumed) override;
  void erase() override;

 private:
  std::string to_top() const;
  std::string fitted(const std::string &label, const std::string &stats) const;
  void write(const std::string &text);
  size_t terminal_width() const;
  size_t terminal_rows() const;

  std::FILE *out_;
  bool tty_;
  size_t drawn_ = 0;  // lines on the screen now
  std::chrono::steady_clock::time_point last_draw_{};
};
