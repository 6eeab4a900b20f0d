// Calls into the library and the conventions around them: answers, errors, exit codes.

#include <cstdlib>
#include <vector>

#include "commands/cli.h"
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
    result.json = vepod_result_json();
  } else {
    result.error = vepod_last_error();
  }
  return result;
}

struct text_deleter {
  void operator()(char *p) const { std::free(p); }
};

}  // namespace

int exit_for(int code) {
  switch (code) {
    case VEPOD_OK:
      return k_exit_ok;
    case VEPOD_ERR_ACCESS:
    case VEPOD_ERR_RATE_LIMITED:
    case VEPOD_ERR_TRANSPORT:
      return k_exit_network;
    case VEPOD_ERR_NOT_FOUND:
    case VEPOD_ERR_NO_DATA:
      return k_exit_nothing;
    case VEPOD_ERR_BAD_INPUT:
      return k_exit_usage;
    default:
      return k_exit_failure;
  }
}

int report(std::string_view command, int exit, std::string_view message) {
  std::string line = "vepod: ";
  if (!command.empty()) line.append(command).append(": ");
  // One line whatever the message holds: a transport's or server's text may carry line breaks.
  line += terminal_text(message.empty() ? std::string_view("unknown error") : message);
  line += '\n';
  std::fputs(line.c_str(), stderr);
  return exit;
}

int report_failure(std::string_view command, const answer &failed) {
  return report(command, exit_for(failed.code), failed.error);
}

int report_sources(std::string_view command, session &net, const std::vector<std::string> &urls,
                   const answer &result) {
  std::vector<std::string> lines = net.failures(urls);
  if (result.code != VEPOD_OK && lines.empty()) return report_failure(command, result);
  for (const std::string &line : lines) report(command, k_exit_ok, line);
  if (result.code != VEPOD_OK) return exit_for(result.code);
  return lines.empty() ? k_exit_ok : k_exit_partial;
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

void print_json(std::FILE *out, std::string_view json, bool pretty) {
  if (pretty) {
    json_doc doc = read_json(json);
    std::unique_ptr<char, text_deleter> text(
        doc ? yyjson_write(doc.get(), YYJSON_WRITE_PRETTY_TWO_SPACES, nullptr) : nullptr);
    if (text) {
      std::fprintf(out, "%s\n", json_text(text.get()).c_str());
      return;
    }
  }
  std::fprintf(out, "%s\n", json_text(json).c_str());
}
