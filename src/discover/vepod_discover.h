// Feed discovery in web pages: the scanner yields link records; vepod_discover_json writes them as
// the JSON answer of the export vepod_discover_feeds (vepod.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/vepod_failure.h"
#include "vepod.h"

// One feed link a page announces. Both texts are NUL-terminated, valid UTF-8 (ill-formed sequences
// as U+FFFD) and free of the control bytes 0x01 to 0x1F; they live until the sink returns.
struct vepod_feed_link {
  const char *url;  // absolute http(s), each URL once per page
  size_t url_len;
  const char *title;  // "" when the tag has none
  size_t title_len;
};

// Receives the links in page order; returning false ends the scan.
using vepod_link_sink = bool (*)(void *ctx, const vepod_feed_link &link);

// Hands every feed link of the page (page_len bytes, NULL or 0 for none) to sink, resolved against
// page_url (may be NULL: then only absolute http(s) links count). VEPOD_OK, also when the sink
// ended the scan; VEPOD_ERR_BAD_INPUT for a page above 16 MiB and VEPOD_ERR_NO_DATA when memory
// runs out, with the failure in *failure.
vepod_code vepod_discover_links(const void *page, uint64_t page_len, const char *page_url,
                                vepod_link_sink sink, void *ctx, vepod_failure *failure);

// The export's answer: a malloc'ed JSON array of {"url","title"} in *out_json, or NULL with the
// failure's code and message as for vepod_discover_links.
vepod_code vepod_discover_json(const void *page, uint64_t page_len, const char *page_url,
                               char **out_json, vepod_failure *failure);
