// Feeds arbitrary text to the catalogue operations as the settings document and as the entry
// document, over the fake transport with a feed and a page behind it.
#include <cstdint>
#include <string>

#include "vepod.h"

namespace {

void install_routes() {
  vepod_fake_set("http://h/feed", 200,
                 "<rss><channel><title>T</title><item><guid>1</guid>"
                 "<enclosure url=\"http://m/1.mp3\"/></item></channel></rss>");
  vepod_fake_set("http://h/page", 200,
                 "<link rel=\"alternate\" type=\"application/rss+xml\" href=\"/feed\">");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool routed = (install_routes(), true);
  (void)routed;
  const std::string text(reinterpret_cast<const char *>(data), size);
  char out[4096];
  vepod_validate(text.c_str(), out, sizeof out);
  vepod_list(text.c_str(), "", out, sizeof out);
  vepod_list(text.c_str(), "http://h/feed", out, sizeof out);
  vepod_stream_url(R"({"URL":"http://h/feed\nhttp://h/page"})", text.c_str(), out, sizeof out);
  return 0;
}
