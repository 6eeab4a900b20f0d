#include "core/url.h"

#include <curl/curl.h>

#include <memory>
#include <new>

namespace {

struct url_deleter {
  void operator()(CURLU *u) const { curl_url_cleanup(u); }
};
using url_handle = std::unique_ptr<CURLU, url_deleter>;

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowercase(std::string text) {
  for (char &c : text) c = ascii_lower(c);
  return text;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

// What makes a byte inside a URL unacceptable, or nullptr. A line break would turn one URL into
// two in the library's settings (one URL a line); the others would reach a terminal or a log raw.
const char *inner_problem(std::string_view text) {
  for (size_t i = 0; i < text.size(); i++) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || c == '\r') return "has a line break inside";
    if (c == ' ' || c == '\t' || c == '\f' || c == '\v') return "has a blank inside";
    if (c < 0x20 || c == 0x7F) return "has a control character inside";
    // U+0080..U+009F in UTF-8: the 8-bit forms of ESC sequences (CSI, OSC, ...).
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(text[i + 1]) <= 0x9F)
      return "has a control character inside";
  }
  return nullptr;
}

// libcurl's reading of `text`, any scheme, the path as written; null when it cannot read it.
url_handle parse(std::string_view text) {
  url_handle u(curl_url());
  if (!u) throw std::bad_alloc();
  const std::string copy(text);
  if (curl_url_set(u.get(), CURLUPART_URL, copy.c_str(),
                   CURLU_PATH_AS_IS | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
    return nullptr;
  return u;
}

// One part of a parsed URL; false when the URL has none.
bool get_part(CURLU *u, CURLUPart part, std::string &out, unsigned flags = 0) {
  char *text = nullptr;
  CURLUcode rc = curl_url_get(u, part, &text, flags);
  if (rc == CURLUE_OUT_OF_MEMORY) throw std::bad_alloc();
  if (rc != CURLUE_OK || text == nullptr) return false;
  out = text;
  curl_free(text);
  return true;
}

// The parts of an http(s) URL with a host, or null.
url_handle parse_web(std::string_view text) {
  if (!is_http_url(text)) return nullptr;
  url_handle u = parse(text);
  std::string host;
  if (!u || !get_part(u.get(), CURLUPART_HOST, host) || host.empty()) return nullptr;
  return u;
}

// The library's rule on the text itself, for what libcurl cannot read: the user information
// before the last '@' of the authority goes, and so do the query and fragment.
std::string redact_text(std::string_view url) {
  std::string out;
  size_t scheme = url.find("://");
  if (scheme != std::string_view::npos) {
    size_t host = scheme + 3;
    size_t end = url.find_first_of("/?#", host);
    if (end == std::string_view::npos) end = url.size();
    std::string_view authority = url.substr(host, end - host);
    size_t at = authority.rfind('@');
    out.append(url.substr(0, host));
    out.append(at == std::string_view::npos ? authority : authority.substr(at + 1));
    url.remove_prefix(end);
  }
  size_t cut = url.find_first_of("?#");
  out.append(url.substr(0, cut));
  if (cut != std::string_view::npos) out += "?<redacted>";
  return out;
}

}  // namespace

bool is_http_url(std::string_view text) {
  auto starts = [text](std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); i++)
      if (ascii_lower(text[i]) != prefix[i]) return false;
    return true;
  };
  return starts("http://") || starts("https://");
}

bool check_url(std::string_view text, std::string &url, std::string &why) {
  std::string_view candidate = trimmed(text);
  if (candidate.empty()) {
    why = "is empty";
    return false;
  }
  if (const char *problem = inner_problem(candidate)) {
    why = problem;
    return false;
  }
  if (!is_http_url(candidate)) {
    why = "is not an absolute http(s) URL";
    return false;
  }
  url_handle u = parse(candidate);
  if (!u) {
    why = "is not a URL that can be read";
    return false;
  }
  std::string host;
  if (!get_part(u.get(), CURLUPART_HOST, host) || host.empty()) {
    why = "has no host";
    return false;
  }
  url.assign(candidate);
  return true;
}

std::string redact_url(std::string_view url) {
  url_handle u = parse(url);
  std::string scheme, host;
  if (!u || !get_part(u.get(), CURLUPART_SCHEME, scheme) ||
      !get_part(u.get(), CURLUPART_HOST, host))
    return redact_text(url);
  std::string out = scheme + "://" + host, port, path, ignored;
  if (get_part(u.get(), CURLUPART_PORT, port)) out += ":" + port;
  if (get_part(u.get(), CURLUPART_PATH, path)) out += path;
  if (get_part(u.get(), CURLUPART_QUERY, ignored) || get_part(u.get(), CURLUPART_FRAGMENT, ignored))
    out += "?<redacted>";
  return out;
}

std::string url_host(std::string_view url) {
  url_handle u = parse_web(url);
  std::string host;
  if (!u || !get_part(u.get(), CURLUPART_HOST, host)) return {};
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  return lowercase(std::move(host));
}

std::string url_key(std::string_view url) {
  url_handle u = parse_web(url);
  std::string host, key;
  if (!u || !get_part(u.get(), CURLUPART_HOST, host)) return std::string(url);
  host = lowercase(std::move(host));
  // Credentials and the fragment name no other feed.
  if (curl_url_set(u.get(), CURLUPART_HOST, host.c_str(), 0) != CURLUE_OK ||
      curl_url_set(u.get(), CURLUPART_USER, nullptr, 0) != CURLUE_OK ||
      curl_url_set(u.get(), CURLUPART_PASSWORD, nullptr, 0) != CURLUE_OK ||
      curl_url_set(u.get(), CURLUPART_FRAGMENT, nullptr, 0) != CURLUE_OK ||
      !get_part(u.get(), CURLUPART_URL, key, CURLU_NO_DEFAULT_PORT))
    return std::string(url);
  // Read once more without keeping the path as written, so that its dot segments go.
  url_handle normal(curl_url());
  if (!normal) throw std::bad_alloc();
  std::string normalised;
  if (curl_url_set(normal.get(), CURLUPART_URL, key.c_str(), 0) != CURLUE_OK ||
      !get_part(normal.get(), CURLUPART_URL, normalised, CURLU_NO_DEFAULT_PORT))
    return key;
  return normalised;
}

std::string url_path(std::string_view url) {
  url_handle u = parse_web(url);
  std::string path;
  if (!u || !get_part(u.get(), CURLUPART_PATH, path)) return {};
  return path;
}
