// What the catalogue operations share inside the handler: answer documents and the list operation.
#pragma once

#include <memory>

#include <yyjson.h>

#include "handler/vepod_sources.h"

struct vepod_doc_deleter {
  void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
  void operator()(yyjson_mut_doc *doc) const { yyjson_mut_doc_free(doc); }
};
using vepod_doc_ptr = std::unique_ptr<yyjson_doc, vepod_doc_deleter>;
using vepod_mut_doc_ptr = std::unique_ptr<yyjson_mut_doc, vepod_doc_deleter>;

// Lists the root folder (path NULL or "") or a feed's folder; the answer or failure goes through
// vepod_emit / vepod_fail.
vepod_code vepod_list_folder(const tervala_io *io, const char *settings_json, const char *path,
                             vepod_out out);
