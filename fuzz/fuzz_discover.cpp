// Feed discovery on arbitrary bytes: never a crash, and on success always a JSON array of
// {"url","title"} string pairs that a strict reader accepts.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

#include "vepod.h"

namespace {

// The first byte picks the page URL, so that resolution runs with and without a base.
constexpr const char *k_bases[] = {nullptr, "http://h/dir/page.html", "https://u:p@h:8443?q=1#f",
                                   "ftp://h/x"};

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const char *base = k_bases[data[0] % (sizeof k_bases / sizeof k_bases[0])];
  char *json = nullptr;
  char err[64];
  int rc = vepod_discover_feeds(data + 1, size - 1, base, &json, err, sizeof err);
  if (rc != 0) {
    check(json == nullptr);
    return 0;
  }
  check(json != nullptr);
  yyjson_doc *doc = yyjson_read(json, std::strlen(json), 0);
  check(doc != nullptr);
  yyjson_val *root = yyjson_doc_get_root(doc);
  check(yyjson_is_arr(root));
  size_t i, n;
  yyjson_val *item;
  yyjson_arr_foreach(root, i, n, item) {
    check(yyjson_obj_size(item) == 2);
    check(yyjson_is_str(yyjson_obj_get(item, "url")));
    check(yyjson_is_str(yyjson_obj_get(item, "title")));
  }
  yyjson_doc_free(doc);
  std::free(json);
  return 0;
}
