// Shared pieces of the command-line host: exit codes, calls into the library, printers.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

// Exit codes, documented in the program's help and the README.
enum exit_code : int {
  k_exit_ok = 0,
  k_exit_failure = 1,  // unreadable file, invalid feed, any other error
  k_exit_usage = 2,    // bad command line or a URL the library refuses
  k_exit_network = 3,  // no connection, time-out, oversized body, HTTP 401/403/429/5xx
  k_exit_nothing = 4,  // HTTP 404/410, no feeds or episodes, unknown feed or entry, no feed links
};

// The exit code for a negative code of the library's operations.
int exit_for(int code);

// Prints "vepod: <command>: <message>" as one line on standard error and returns `exit`.
int report(std::string_view command, int exit, std::string_view message);

// The answer of one catalogue operation: its code and, on success, the JSON text.
struct answer {
  int code = 0;
  std::string json;
  std::string error;  // the library's last error text on failure
};
// Reports a failed answer (its error text, the exit code for its code) and returns that exit code.
int report_failure(std::string_view command, const answer &failed);

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

// The text on one line: control characters become spaces.
std::string one_line(std::string_view text);

// A string member on one line; "" when absent or not a string.
std::string text_member(yyjson_val *object, const char *key);

// A JSON value as compact text ("" for NULL).
std::string write_json(yyjson_val *value);

// Prints a JSON text as it is, or indented with two spaces.
void print_json(std::FILE *out, std::string_view json, bool pretty);

// Readable forms of the library's answers.
void print_source(std::FILE *out, yyjson_val *description);
void print_feeds(std::FILE *out, yyjson_val *root_folder);
void print_episodes(std::FILE *out, yyjson_val *feed_folder);
void print_links(std::FILE *out, yyjson_val *links);
void print_stats(std::FILE *out, yyjson_val *stats);

// The bundled walk through validate, list, stream URL and statistics on the fake transport.
int run_demo();
