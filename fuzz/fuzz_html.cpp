// Feeds arbitrary show notes to the renderer that turns them into terminal text, at a few widths.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "view/html_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view html(reinterpret_cast<const char *>(data), size);
  // The first byte picks the width, so that wrapping and cutting words are covered too.
  const size_t width = size == 0 ? 0 : data[0] % 4 == 0 ? 0 : 8 + data[0] % 90;
  html_to_text(html, width);
  return 0;
}
