// Feeds arbitrary bytes to the feed-to-JSON export; the answer must be released on every path.
#include <cstdint>
#include <cstdlib>

#include "vepod.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  char *json = nullptr;
  char err[160];
  if (vepod_parse_feed(data, size, &json, err, sizeof err) == 0) std::free(json);
  return 0;
}
