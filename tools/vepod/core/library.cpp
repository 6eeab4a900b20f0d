// Calls into the library and the reading of its answers.

#include <cstdlib>
#include <string_view>
#include <vector>

#include "core/library.h"
#include "vepod.h"

namespace {

// Room for a typical answer; a larger one stays readable through vepod_result_json().
constexpr int32_t k_out_size = 256 * 1024;

template <typename Op>
answer call(Op op) {
  std::vector<char> out(k_out_size);
  answer result;
  result.code = op(out.data(), k_out_size);
  if (result.code == 0) {
    result.json = out.data();
  } else if (result.code == VEPOD_ERR_BUFFER_TOO_SMALL) {
    result.code = 0;
    // With room for the JSON reader's padding: a large answer is then read in place, unmoved.
    std::string_view kept = vepod_result_json();
    result.json.reserve(kept.size() + YYJSON_PADDING_SIZE);
    result.json.assign(kept);
  } else {
    result.json = out.data();
    result.error = vepod_last_error();
  }
  return result;
}

struct text_deleter {
  void operator()(char *p) const { std::free(p); }
};

}  // namespace

int code_for_status(int status) {
  return status == 404 || status == 410   ? VEPOD_ERR_NOT_FOUND
         : status == 401 || status == 403 ? VEPOD_ERR_ACCESS
         : status == 429                  ? VEPOD_ERR_RATE_LIMITED
         : status >= 500                  ? VEPOD_ERR_TRANSPORT
                                          : VEPOD_ERR_NO_DATA;
}

failure answer::problem() const {
  if (code == VEPOD_OK) return {};
  return failure::library(code, error);
}

answer call_validate(const std::string &settings) {
  return call([&](char *out, int32_t len) { return vepod_validate(settings.c_str(), out, len); });
}

answer call_list(const std::string &settings, const std::string &path) {
  return call(
      [&](char *out, int32_t len) { return vepod_list(settings.c_str(), path.c_str(), out, len); });
}

answer call_stream_url(const char *settings, const std::string &entry) {
  return call(
      [&](char *out, int32_t len) { return vepod_stream_url(settings, entry.c_str(), out, len); });
}

namespace {

source_failure failure_member(const std::string &url, yyjson_val *why) {
  return {url, failure::library(static_cast<int>(yyjson_get_int(yyjson_obj_get(why, "code"))),
                                text_member(why, "message"))};
}

}  // namespace

bool failed_folder(yyjson_val *folder) { return yyjson_is_obj(yyjson_obj_get(folder, "error")); }

std::vector<source_failure> failed_sources(const answer &a) {
  std::vector<source_failure> found;
  json_doc doc = read_json(a.json);
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  size_t index, max;
  yyjson_val *item;
  if (yyjson_is_arr(root)) {
    yyjson_arr_foreach(root, index, max, item) {
      if (failed_folder(item))
        found.push_back(failure_member(text_member(item, "path"), yyjson_obj_get(item, "error")));
    }
  } else {
    yyjson_arr_foreach(yyjson_obj_get(root, "failures"), index, max, item) {
      found.push_back(failure_member(text_member(item, "url"), item));
    }
  }
  return found;
}

std::string make_settings(const std::vector<std::string> &urls) {
  std::string lines;
  for (const std::string &url : urls) {
    if (!lines.empty()) lines += '\n';
    lines += url;
  }
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  if (doc == nullptr) return {};
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_strncpy(doc, root, "URL", lines.data(), lines.size());
  // The root listing names each URL that failed, and why: none is asked for again to tell.
  yyjson_mut_obj_add_true(doc, root, "ListFailures");
  // Bytes that are not UTF-8 pass through, so that the library names the refused line itself.
  std::unique_ptr<char, text_deleter> text(
      yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr));
  yyjson_mut_doc_free(doc);
  return text ? std::string(text.get()) : std::string();
}

json_doc read_json(std::string_view text) {
  return json_doc(yyjson_read(text.data(), text.size(), 0));
}

json_doc read_json_in_place(std::string &text) {
  const size_t size = text.size();
  text.append(YYJSON_PADDING_SIZE, '\0');
  return json_doc(yyjson_read_opts(text.data(), size, YYJSON_READ_INSITU, nullptr, nullptr));
}

std::string write_json(yyjson_val *value) {
  if (value == nullptr) return {};
  std::unique_ptr<char, text_deleter> text(yyjson_val_write(value, 0, nullptr));
  return text ? std::string(text.get()) : std::string();
}

std::string text_member(yyjson_val *object, const char *key) {
  yyjson_val *value = yyjson_obj_get(object, key);
  return yyjson_is_str(value) ? std::string(yyjson_get_str(value), yyjson_get_len(value)) : "";
}

std::string real_title(std::string_view text) {
  static constexpr std::string_view k_division_slash = "\u2215";
  std::string title;
  title.reserve(text.size());
  for (size_t at; (at = text.find(k_division_slash)) != std::string_view::npos;) {
    title.append(text.substr(0, at)).push_back('/');
    text.remove_prefix(at + k_division_slash.size());
  }
  return title.append(text);
}
