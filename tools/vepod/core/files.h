// Whole files in and out, the way every file vepod reads, writes or deletes is handled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/http_transport.h"

// Reads a whole file, or standard input for "-", of at most `max_bytes` (by default a little
// above the library's 16 MiB for documents). On failure `error` says why.
bool read_file(const std::string &path, std::string &data, std::string &error,
               size_t max_bytes = http_transport::k_max_body);

// Writes `data` as the whole of `path`. A regular file, or a path where nothing is, gets a
// temporary file in the same folder renamed over it, so that a failure leaves the old file whole;
// anything else (a device, a pipe) is written in place, never replaced. A link is resolved first:
// it keeps pointing where it did. On failure `error` says why.
bool write_whole_file(const std::string &path, std::string_view data, std::string &error);

// What remove_file did.
enum class removal { deleted, would_delete, gone_already, not_a_file, failed };

// Deletes the file a download recorded at the absolute `file` (or, with `dry_run`, looks at it)
// through its folder, opened without following a link: a link in place of the folder or of the
// file is left alone. `bytes` is the size of what is, or would be, deleted; `error` says why it
// was left or failed.
removal remove_file(const std::string &file, bool dry_run, uint64_t &bytes, std::string &error);
