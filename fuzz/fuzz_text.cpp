// Feeds arbitrary text to the date, duration and URL helpers.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "util/vepod_date.h"
#include "util/vepod_url.h"
#include "vepod.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  vepod_parse_date(text.c_str());
  vepod_parse_duration(text.c_str());
  vepod_url_is_http(text.c_str());
  char redacted[256];
  vepod_redact_url(text.c_str(), redacted, sizeof redacted);
  size_t half = text.size() / 2;
  std::free(vepod_resolve_url(text.substr(0, half).c_str(), text.substr(half).c_str()));
  return 0;
}
