// URL helpers: the http(s) check, redaction for messages, and resolving a page's links.

#include "util/vepod_url.h"
#include "util/vepod_alloc.h"
#include "util/vepod_text.h"

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

// The parts of a URL or reference, each with its leading delimiter ("//", '?', '#') so that an
// empty part differs from an absent one. A path is empty or starts with '/' after an authority.
struct url_parts {
  std::string_view scheme;  // with its ':'
  std::string_view authority;
  std::string_view path;
  std::string_view query;
  std::string_view fragment;

  size_t size() const {
    return scheme.size() + authority.size() + path.size() + query.size() + fragment.size();
  }
};

// One pass over the text: each part runs to the delimiter of the next.
url_parts split_url(const char *text) {
  url_parts u;
  size_t at = scheme_len(text);
  if (at != 0) u.scheme = std::string_view(text, ++at);
  auto take = [&](std::string_view &part, size_t skip, const char *ends) {
    size_t n = skip + std::strcspn(text + at + skip, ends);
    part = std::string_view(text + at, n);
    at += n;
  };
  if (text[at] == '/' && text[at + 1] == '/') take(u.authority, 2, "/?#");
  take(u.path, 0, "?#");
  if (text[at] == '?') take(u.query, 1, "#");
  if (text[at] == '#') take(u.fragment, 1, "");
  return u;
}

// Removes the "." and ".." segments of the n-byte path at `path` in place and returns its new
// length. The path is empty or starts with '/', which every step keeps true of the unread rest;
// the written text never outruns the read text.
size_t remove_dot_segments(char *path, size_t n) {
  // The text before the first "/." stays as it is.
  size_t read = std::string_view(path, n).find("/.");
  if (read == std::string_view::npos) return n;
  size_t written = read;
  while (read < n) {
    std::string_view rest(path + read, n - read);
    if (rest.starts_with("/./")) {
      read += 2;
    } else if (rest == "/.") {
      n = read + 1;
    } else if (rest.starts_with("/../") || rest == "/..") {
      if (rest.size() == 3) {
        n = read + 1;
      } else {
        read += 3;
      }
      // Drops the last segment written, with its '/'.
      size_t slash = std::string_view(path, written).rfind('/');
      written = slash == std::string_view::npos ? 0 : slash;
    } else {
      size_t end = read + 1;
      while (end < n && path[end] != '/') end++;
      std::memmove(path + written, path + read, end - read);
      written += end - read;
      read = end;
    }
  }
  return written;
}

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

bool vepod_url_has_scheme(const char *text) { return scheme_len(text) != 0; }

char *vepod_resolve_url(const char *ref, const char *base) {
  if (!ref || !*ref) return nullptr;
  // A reference with a scheme is absolute and kept as written.
  if (scheme_len(ref) != 0) return vepod_strdup(ref);
  if (authority_start(base) == 0) return nullptr;
  url_parts b = split_url(base), r = split_url(ref);
  // The result holds at most the base's parts, the reference's and one '/'.
  auto *out = static_cast<char *>(vepod_malloc(b.size() + r.size() + 2));
  if (!out) return nullptr;
  size_t n = 0;
  auto put = [&](std::string_view part) {
    if (part.empty()) return;  // an absent part has no bytes to copy from
    std::memcpy(out + n, part.data(), part.size());
    n += part.size();
  };
  put(b.scheme);
  if (!r.authority.empty()) {
    put(r.authority);
    size_t path = n;
    put(r.path);
    n = path + remove_dot_segments(out + path, n - path);
    put(r.query);
  } else if (r.path.empty()) {
    put(b.authority);
    put(b.path);
    put(r.query.empty() ? b.query : r.query);
  } else {
    put(b.authority);
    size_t path = n;
    if (r.path[0] != '/') {
      // Merged with the base's directory; a base without a path stands for "/".
      put(b.path.empty() ? std::string_view("/") : b.path.substr(0, b.path.rfind('/') + 1));
    }
    put(r.path);
    n = path + remove_dot_segments(out + path, n - path);
    put(r.query);
  }
  put(r.fragment);
  out[n] = '\0';
  return out;
}
