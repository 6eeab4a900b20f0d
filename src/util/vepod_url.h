// URL checks, redaction and resolution (vepod_url.cpp).
#pragma once

#include <cstddef>

// 1 when text is "http://" or "https://" (scheme in any case) with a non-empty authority and no
// control byte anywhere; else 0. NULL gives 0.
int vepod_url_is_http(const char *text);
// Writes url into out (cap bytes, always terminated, silently cut) without the user information
// of its authority and with everything from the first '?' or '#' replaced by "?<redacted>".
// Allocates nothing. Nothing is written when out is NULL or cap is 0.
void vepod_redact_url(const char *url, char *out, size_t cap);
// Room for a redacted URL quoted in a message.
inline constexpr size_t vepod_redacted_size = 256;
// A malloc'ed absolute URL for a link ref found on the page base, resolved as RFC 3986 section 5.2
// does: a ref with a scheme is kept as written; any other takes what it lacks from base, and the
// dot segments of a path it gives are removed. Nothing else is normalised or decoded. NULL when
// ref is empty, base has no "scheme://" or memory runs out. The result is not checked with
// vepod_url_is_http.
char *vepod_resolve_url(const char *ref, const char *base);
// True when text starts with a URI scheme and its ':' (an absolute reference).
bool vepod_url_has_scheme(const char *text);
