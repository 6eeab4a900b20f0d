// Calls into the library's operations and the reading of their JSON answers.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

#include "core/failure.h"

// The answer of one catalogue operation: its code and, on success, the JSON text.
struct answer {
  int code = 0;
  std::string json;   // on failure, the error document
  std::string error;  // the library's last error text on failure

  // The failure it stands for (none when the operation answered).
  failure problem() const;
};

answer call_validate(const std::string &settings);
answer call_list(const std::string &settings, const std::string &path);
answer call_stream_url(const char *settings, const std::string &entry);

// A settings document whose "URL" holds the given URLs, one per line.
std::string make_settings(const std::vector<std::string> &urls);

struct doc_deleter {
  void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
using json_doc = std::unique_ptr<yyjson_doc, doc_deleter>;
json_doc read_json(std::string_view text);
// Reads `text` in place (no copy of it is made): the document borrows `text`, which must outlive
// it and is changed by the reading.
json_doc read_json_in_place(std::string &text);

// A configured URL the library could not use, and why, in the library's words.
struct source_failure {
  std::string url;
  failure why;
};
// The failed URLs an answer of validate or of the root listing names, in their order: the root
// listing's folders with "error", or "failures" (in validate's answer, and in the error document
// when more than one URL failed).
std::vector<source_failure> failed_sources(const answer &a);
// Whether a folder of the root listing stands for a URL that failed rather than a feed.
bool failed_folder(yyjson_val *folder);

// A string member as the library wrote it; "" when absent or not a string. Show it through
// terminal_text.
std::string text_member(yyjson_val *object, const char *key);

// A JSON value as compact text ("" for NULL).
std::string write_json(yyjson_val *value);

// A title as people write it: the library's U+2215 in names turned back into '/'.
std::string real_title(std::string_view text);
