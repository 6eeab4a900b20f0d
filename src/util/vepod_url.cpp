// URL helpers: the http(s) check, redaction for messages, and resolving a page's links.

#include "util/vepod_util.h"

#include <cstring>

namespace {

constexpr bool is_alpha(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Length of the URI scheme that ends at the first ':', or 0 when the text does not start with one.
size_t scheme_len(const char *text) {
  if (!text || !is_alpha(static_cast<unsigned char>(text[0]))) return 0;
  for (size_t i = 1;; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == ':') return i;
    if (!is_alpha(c) && !is_digit(c) && c != '+' && c != '-' && c != '.') return 0;
  }
}

// Index just past "scheme://", or 0 when the text has no scheme followed by two slashes.
size_t authority_start(const char *text) {
  size_t n = scheme_len(text);
  if (n == 0 || text[n + 1] != '/' || text[n + 2] != '/') return 0;
  return n + 3;
}

// Index of the first '/', '?', '#' or NUL at or after `from`: the end of the authority.
size_t authority_end(const char *text, size_t from) {
  return from + std::strcspn(text + from, "/?#");
}

// Appends to a caller buffer of `cap` bytes, silently dropping what does not fit.
class bounded_writer {
 public:
  bounded_writer(char *out, size_t cap) : out_(out), cap_(cap) {}
  ~bounded_writer() { out_[len_] = '\0'; }
  bounded_writer(const bounded_writer &) = delete;
  bounded_writer &operator=(const bounded_writer &) = delete;
  void put(std::string_view s) {
    size_t room = cap_ - 1 - len_;
    size_t n = s.size() < room ? s.size() : room;
    std::memcpy(out_ + len_, s.data(), n);
    len_ += n;
  }

 private:
  char *out_;
  size_t cap_;
  size_t len_ = 0;
};

}  // namespace

int vepod_url_is_http(const char *text) {
  size_t n = scheme_len(text);
  if (n != 4 && n != 5) return 0;
  if (!vepod_ci_eq(std::string_view(text, n), n == 4 ? "http" : "https")) return 0;
  size_t host = authority_start(text);
  if (host == 0 || authority_end(text, host) == host) return 0;
  for (const char *p = text; *p; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) return 0;
  }
  return 1;
}

void vepod_redact_url(const char *url, char *out, size_t cap) {
  if (!out || cap == 0) return;
  bounded_writer w(out, cap);
  if (!url) return;
  std::string_view rest(url);
  if (size_t host = authority_start(url)) {
    w.put(rest.substr(0, host));
    size_t end = authority_end(url, host);
    std::string_view authority = rest.substr(host, end - host);
    size_t at = authority.rfind('@');
    w.put(at == std::string_view::npos ? authority : authority.substr(at + 1));
    rest.remove_prefix(end);
  }
  size_t cut = rest.find_first_of("?#");
  w.put(rest.substr(0, cut));
  if (cut != std::string_view::npos) w.put("?<redacted>");
}

char *vepod_resolve_url(const char *ref, const char *base) {
  if (!ref || !*ref) return nullptr;
  if (vepod_url_is_http(ref)) return xstrdup_u(ref);
  if (!base || !*base) return nullptr;
  size_t host = authority_start(base);
  if (host == 0) return nullptr;
  // The origin ends with the authority, so that a '/' inside the base's query or fragment is not
  // taken for the start of its path.
  size_t origin = authority_end(base, host);
  size_t ref_len = std::strlen(ref);
  auto *out = static_cast<char *>(vepod_malloc(origin + ref_len + 2));
  if (!out) return nullptr;
  std::memcpy(out, base, origin);
  size_t n = origin;
  if (ref[0] != '/') out[n++] = '/';
  std::memcpy(out + n, ref, ref_len + 1);
  return out;
}
