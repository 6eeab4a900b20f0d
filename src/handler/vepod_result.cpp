// The result convention: every catalogue operation ends in vepod_fail or vepod_emit, which record
// the error text and the latest answer of the calling thread (like errno) and fill the caller's
// buffer.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "handler/vepod_handler.h"
#include "util/vepod_alloc.h"
#include "util/vepod_platform.h"
#include "util/vepod_utf8.h"

namespace {

constexpr size_t k_err_size = VEPOD_MESSAGE_MAX;

// What one thread's operations left behind, and what was handed to the thread's readers; the
// heap texts are released when the thread ends.
struct thread_results {
  char err[k_err_size] = "";
  char *answer = nullptr;  // the latest successful answer not yet handed out, malloc'ed
  char err_copy[k_err_size] = "";
  // The answer handed out last; while `answer` is null it is still the latest. Handing moves the
  // text instead of copying it, so a large answer is held once.
  char *handed = nullptr;

  thread_results() = default;
  thread_results(const thread_results &) = delete;
  thread_results &operator=(const thread_results &) = delete;
  ~thread_results() {
    std::free(answer);
    std::free(handed);
  }
};

thread_local thread_results t_results;

// Makes an error text valid UTF-8 in place: every byte that does not start a complete,
// well-formed character becomes '?'. Messages keep this rule of their own, which hosts read
// byte for byte; a message may quote what a transport said.
void sanitize_utf8(char *text) {
  size_t n = std::strlen(text);
  for (size_t i = 0; i < n;) {
    size_t len = vepod_utf8_char_len(text + i, n - i);
    if (len == 0) {
      text[i] = '?';
      len = 1;
    }
    i += len;
  }
}

VEPOD_PRINTF(1, 0) void record_err(const char *format, va_list args) {
  std::vsnprintf(t_results.err, k_err_size, format, args);
  sanitize_utf8(t_results.err);
}

VEPOD_PRINTF(1, 2) void set_err(const char *format, ...) {
  va_list args;
  va_start(args, format);
  record_err(format, args);
  va_end(args);
}

// Writes {"error":"text"} into out, or an empty text when it does not fit. The document lives in
// a pool on the stack: a failure caused by exhausted memory must still be reported.
void write_error_doc(const char *text, vepod_out out) noexcept {
  if (out.size == 0) return;
  // Room for the values, the text and its escaped copy at six bytes a byte.
  alignas(16) char pool[k_err_size * 16 + 2048];
  yyjson_alc alc;
  yyjson_alc_pool_init(&alc, pool, sizeof pool);
  yyjson_mut_doc *doc = yyjson_mut_doc_new(&alc);
  yyjson_mut_val *root = doc ? yyjson_mut_obj(doc) : nullptr;
  size_t len = 0;
  char *json = nullptr;
  if (root && yyjson_mut_obj_add_strcpy(doc, root, "error", text)) {
    yyjson_mut_doc_set_root(doc, root);
    json = yyjson_mut_write_opts(doc, 0, &alc, &len, nullptr);
  }
  if (!json || len + 1 > out.size) {
    out.data[0] = '\0';
  } else {
    std::memcpy(out.data, json, len + 1);
  }
}

}  // namespace

vepod_code vepod_fail(vepod_code code, vepod_out out, const char *format, ...) noexcept {
  va_list args;
  va_start(args, format);
  record_err(format, args);
  va_end(args);
  write_error_doc(t_results.err, out);
  return code;
}

vepod_code vepod_fail_with(const vepod_failure &failure, vepod_out out) noexcept {
  return vepod_fail(failure.code, out, "%s", failure.message);
}

vepod_code vepod_fail_with(const vepod_failure &failure, vepod_out out, yyjson_mut_doc *doc,
                           yyjson_mut_val *root) noexcept {
  set_err("%s", failure.message);
  char *json = nullptr;
  size_t len = 0;
  if (doc && root &&
      yyjson_mut_obj_insert(root, yyjson_mut_strcpy(doc, "error"),
                            yyjson_mut_strcpy(doc, t_results.err), 0)) {
    yyjson_mut_doc_set_root(doc, root);
    json = yyjson_mut_write_opts(doc, 0, vepod_json_alc(), &len, nullptr);
  }
  // What does not fit leaves the error text at least.
  if (!json || len + 1 > out.size) {
    write_error_doc(t_results.err, out);
  } else {
    std::memcpy(out.data, json, len + 1);
  }
  std::free(json);
  return failure.code;
}

vepod_code vepod_emit(char *json, vepod_out out) noexcept {
  thread_results &results = t_results;
  size_t need = std::strlen(json) + 1;
  std::free(results.answer);
  results.answer = json;
  if (out.size >= need) {
    std::memcpy(out.data, json, need);
    results.err[0] = '\0';
    return VEPOD_OK;
  }
  if (out.size > 0) out.data[0] = '\0';
  set_err("output buffer too small: need %lu bytes", static_cast<unsigned long>(uint32_t(need)));
  return VEPOD_ERR_BUFFER_TOO_SMALL;
}

vepod_code vepod_emit_doc(yyjson_mut_doc *doc, bool complete, vepod_out out) noexcept {
  char *json =
      complete ? yyjson_mut_write_opts(doc, 0, vepod_json_alc(), nullptr, nullptr) : nullptr;
  if (!json) return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
  return vepod_emit(json, out);
}

vepod_code vepod_emit_owned_doc(vepod_mut_doc_ptr doc, bool complete, vepod_out out) noexcept {
  if (!complete) return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
  // The writer's buffer lives in out, so a long listing's text is never on the heap beside the
  // document that makes it. A buffer too small for the writer falls back to the heap.
  yyjson_alc in_out;
  size_t len = 0;
  const char *json = nullptr;
  if (out.size > 0 && yyjson_alc_pool_init(&in_out, out.data, out.size)) {
    json = yyjson_mut_write_opts(doc.get(), 0, &in_out, &len, nullptr);
  }
  if (!json) return vepod_emit_doc(doc.get(), true, out);
  std::memmove(out.data, json, len + 1);
  doc.reset();
  auto *answer = static_cast<char *>(vepod_malloc(len + 1));
  if (!answer) return vepod_fail(VEPOD_ERR_NO_DATA, out, "out of memory");
  std::memcpy(answer, out.data, len + 1);
  thread_results &results = t_results;
  std::free(results.answer);
  results.answer = answer;
  results.err[0] = '\0';
  return VEPOD_OK;
}

const char *vepod_last_error_text() noexcept {
  thread_results &results = t_results;
  std::memcpy(results.err_copy, results.err, k_err_size);
  return results.err_copy;
}

const char *vepod_result_text() noexcept {
  thread_results &results = t_results;
  if (results.answer) {
    std::free(results.handed);
    results.handed = std::exchange(results.answer, nullptr);
  }
  return results.handed ? results.handed : "";
}
