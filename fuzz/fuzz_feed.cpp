// Feeds arbitrary bytes to the feed-to-JSON export, and to the lighter parse the listings use;
// every answer and record must be released on every path.
#include <cstdint>
#include <cstdlib>

#include "vepod.h"
#include "xml/vepod_xml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  char *json = nullptr;
  char err[160];
  if (vepod_parse_feed(data, size, &json, err, sizeof err) == 0) std::free(json);
  vepod_feed feed;
  vepod_failure failure;
  if (vepod_feed_parse(data, size, &feed, &failure, vepod_detail::light) == VEPOD_OK) {
    vepod_feed_free(&feed);
  }
  return 0;
}
