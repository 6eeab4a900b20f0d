// The 23 exports. Each is a thin wrapper whose body runs through vepod_guard, so that no exception
// reaches the host whatever the code behind it does; the work is done in the areas' own files.

#include <cstdio>

#include "discover/vepod_discover.h"
#include "fetch/vepod_fetch.h"
#include "handler/vepod_handler.h"
#include "io/vepod_io.h"
#include "util/vepod_date.h"
#include "xml/vepod_xml.h"

namespace {

constexpr const char *k_version = VEPOD_VERSION_STRING;
constexpr int k_caps = 35;
// The feed tools' one failure code.
constexpr int k_tool_failure = -1;

constexpr vepod_handler_table g_handler = {vepod_runtime_type_name, k_caps,
                                           vepod_op_validate,       vepod_op_list,
                                           vepod_op_stream_url,     vepod_op_download};

// What a memory failure inside an operation's wrapper answers.
auto failed_operation(char *out, int32_t out_len) {
  return [=] {
    return int(vepod_fail(VEPOD_ERR_NO_DATA, vepod_out_of(out, out_len), "out of memory"));
  };
}

// The room of a caller's error buffer.
// A feed tool's message in the caller's err, cut to err_size - 1 bytes.
void put_message(char *err, int err_size, const vepod_failure &failure) {
  if (err && err_size > 0) std::snprintf(err, size_t(err_size), "%s", failure.message);
}

}  // namespace

const vepod_handler_table *vepod_handler_get() { return &g_handler; }

extern "C" {

// MARK: Identity and handler table

VEPOD_API const vepod_handler_table *verch_get(void) noexcept {
  return vepod_guard([] { return vepod_handler_get(); }, [] { return vepod_handler_get(); });
}

VEPOD_API const char *vepod_version(void) noexcept {
  return vepod_guard([] { return k_version; }, [] { return k_version; });
}

VEPOD_API const char *vepod_runtime_type(void) noexcept {
  return vepod_guard([] { return vepod_runtime_type_name; },
                     [] { return vepod_runtime_type_name; });
}

VEPOD_API int vepod_caps(void) noexcept {
  return vepod_guard([] { return k_caps; }, [] { return k_caps; });
}

// MARK: Catalogue operations

VEPOD_API int vepod_validate(const char *settings_json, char *out, int32_t out_len) noexcept {
  return vepod_guard(
      [&] { return vepod_op_validate(vepod_io_current(), settings_json, out, out_len); },
      failed_operation(out, out_len));
}

VEPOD_API int vepod_list(const char *settings_json, const char *path, char *out,
                         int32_t out_len) noexcept {
  return vepod_guard(
      [&] { return vepod_op_list(vepod_io_current(), settings_json, path, out, out_len); },
      failed_operation(out, out_len));
}

VEPOD_API int vepod_stream_url(const char *settings_json, const char *entry_json, char *out,
                               int32_t out_len) noexcept {
  return vepod_guard(
      [&] {
        return vepod_op_stream_url(vepod_io_current(), settings_json, entry_json, out, out_len);
      },
      failed_operation(out, out_len));
}

VEPOD_API int vepod_download(const char *settings_json, const char *entry_json, char *out,
                             int32_t out_len) noexcept {
  // The transport is chosen (and discarded) as for the other operations, so that a download costs
  // the host the same lock traffic.
  return vepod_guard(
      [&] {
        return vepod_op_download(vepod_io_current(), settings_json, entry_json, out, out_len);
      },
      failed_operation(out, out_len));
}

// MARK: Results

VEPOD_API const char *vepod_last_error(void) noexcept {
  return vepod_guard([] { return vepod_last_error_text(); }, [] { return ""; });
}

VEPOD_API const char *vepod_result_json(void) noexcept {
  return vepod_guard([] { return vepod_result_text(); }, [] { return ""; });
}

// MARK: Feed tools

VEPOD_API int vepod_parse_feed(const void *data, size_t length, char **out, char *err,
                               int err_size) noexcept {
  return vepod_guard(
      [&] {
        if (err && err_size > 0) err[0] = '\0';
        if (!out) return k_tool_failure;
        vepod_failure failure;
        if (vepod_feed_json(data, length, out, &failure) == VEPOD_OK) return 0;
        put_message(err, err_size, failure);
        return k_tool_failure;
      },
      [] { return k_tool_failure; });
}

VEPOD_API int vepod_discover_feeds(const void *page, uint64_t page_len, const char *page_url,
                                   char **out_json, char *err, int err_size) noexcept {
  return vepod_guard(
      [&] {
        // A size of 0 means the caller gave no room, not even for the NUL.
        if (err && err_size > 0) err[0] = '\0';
        if (!out_json) return k_tool_failure;
        vepod_failure failure;
        if (vepod_discover_json(page, page_len, page_url, out_json, &failure) == VEPOD_OK) return 0;
        put_message(err, err_size, failure);
        return k_tool_failure;
      },
      [] { return k_tool_failure; });
}

VEPOD_API int64_t vepod_parse_duration(const char *text) noexcept {
  return vepod_guard([&] { return vepod_duration_seconds(text); }, [] { return int64_t(-1); });
}

// MARK: Cache and statistics

VEPOD_API void vepod_cache_clear(void) noexcept {
  vepod_guard([] { vepod_cache_empty(); }, [] {});
}

VEPOD_API int vepod_cache_set_max_age(int32_t seconds) noexcept {
  return vepod_guard(
      [&] {
        vepod_cache_store_max_age(seconds);
        return 0;
      },
      [] { return 0; });
}

VEPOD_API const char *vepod_stats_json(void) noexcept {
  return vepod_guard([] { return vepod_stats_text(); }, [] { return ""; });
}

// MARK: Transports

VEPOD_API int vepod_set_io(const tervala_io *io) noexcept {
  return vepod_guard(
      [&] {
        vepod_io_install(io);
        return 0;
      },
      [] { return 0; });
}

VEPOD_API int vepod_use_curl(void) noexcept {
  return vepod_guard(
      [] {
        const tervala_io *net = vepod_io_curl();
        if (!net) return int(VEPOD_ERR_NOT_SUPPORTED);
        vepod_io_install(net);
        return 0;
      },
      [] { return int(VEPOD_ERR_NOT_SUPPORTED); });
}

VEPOD_API int vepod_use_fake(void) noexcept {
  return vepod_guard(
      [] {
        vepod_io_install(vepod_io_fake());
        return 0;
      },
      [] { return 0; });
}

// MARK: Fake transport

VEPOD_API void vepod_fake_reset(void) noexcept {
  vepod_guard([] { vepod_fake_clear(); }, [] {});
}

VEPOD_API int vepod_fake_set(const char *url, int status, const char *body) noexcept {
  return vepod_guard([&] { return int(vepod_fake_answer(url, status, body)); },
                     [] { return int(VEPOD_ERR_NO_DATA); });
}

VEPOD_API int vepod_fake_fail(const char *url, const char *message) noexcept {
  return vepod_guard([&] { return int(vepod_fake_refuse(url, message)); },
                     [] { return int(VEPOD_ERR_NO_DATA); });
}

VEPOD_API int vepod_fake_calls(const char *url) noexcept {
  return vepod_guard([&] { return vepod_fake_count(url); }, [] { return 0; });
}

}  // extern "C"
