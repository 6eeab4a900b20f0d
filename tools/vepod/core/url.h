// The one place the client reads URLs: everything it takes from the command line, an OPML file, a
// redirect or a feed goes through check_url before it is stored or fetched, and every URL it shows
// goes through redact_url. Parsing is libcurl's URL API, the parser the transfers themselves use.
#pragma once

#include <string>
#include <string_view>

// Checks `text` as a URL to fetch. The ends are trimmed of ASCII blanks (space, tab, CR, LF, FF,
// VT); what is left must be an absolute http or https URL with a host and without any control
// character (C0, DEL, C1) or blank inside. On success `url` is the trimmed text, kept as written
// (credentials included, for fetching), and true is returned; otherwise `why` says what is wrong
// as a predicate ("is not an absolute http(s) URL", "has a line break inside", ...) and `url` is
// left alone. Never throws but std::bad_alloc.
bool check_url(std::string_view text, std::string &url, std::string &why);

// The URL as messages show it: no user information, the query and fragment replaced by
// "?<redacted>", the way the library quotes URLs in its own messages. Text that is not a URL
// libcurl can read is redacted by the same rule on its text. The result may still hold bytes a
// terminal must not see raw: print it through terminal_text (format.h).
std::string redact_url(std::string_view url);

// The host of an http(s) URL in lowercase, without brackets for IPv6 ("" when `url` is none):
// the key of per-host limits.
std::string url_host(std::string_view url);

// The URL with its scheme and host in lowercase, a default port, dot segments, credentials and
// the fragment dropped, for finding duplicates ("HTTP://Feeds.Example.com:80/a/../b#x" and
// "http://feeds.example.com/b" are the same subscription). The rest of the path and the query
// stay as written. `url` itself when it does not parse.
std::string url_key(std::string_view url);

// The path of an http(s) URL, percent-encoding kept ("/" when it has none, "" when `url` does
// not parse): where a file name's extension is looked for.
std::string url_path(std::string_view url);

// Whether text begins with http:// or https:// (scheme in any case): a URL rather than a file
// name on the command line. Says nothing about the rest: check_url does.
bool is_http_url(std::string_view text);
