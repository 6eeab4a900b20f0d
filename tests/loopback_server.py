#!/usr/bin/env python3
"""A small HTTP server on the loopback interface for the command-line host's tests.

Every request is recorded in `server.requests` as (path, headers). Routes:

  /feed.xml            a feed with a fixed ETag; If-None-Match with it answers 304
  /dated.xml           the same feed with a Last-Modified date; If-Modified-Since answers 304
  /gzip.xml            the feed gzip-compressed (406 when the client does not accept gzip)
  /page.html           a page announcing /feed.xml and dated.xml
  /many/page.html      a page announcing /many/1.xml .. /many/70.xml, more feeds than the
                       library's response cache holds (each of them a feed); ?delay=SECONDS
                       on one of them answers after that long
  /moved, /loop        a 301 to /feed.xml; a 301 to itself
  /redirect/CODE/PATH  a CODE (301, 302, 307 or 308) redirect to /PATH
  /missing, /error     404 and 500
  /slow                a feed after SLOW_SECONDS, slower than any test's time-out (any query)
  /huge, /huge-chunked 18 MiB, above the transport's 17 MiB cap, with and without a length
  /podcast.xml         a feed whose version changes on demand: version N has episodes 1..N+1
                       (newest first) with enclosures on this server (/media/epK.mp3); ETag and
                       Last-Modified follow the version, If-None-Match / If-Modified-Since
                       answer 304 while they match; ?media=MODE points the enclosures at
                       /media/MODE/epK.mp3 (slow: a download that can be interrupted)
  /control/bump        moves /podcast.xml to its next version (also `server.bump()`); answers
                       the new version number
  /media/[MODE/]NAME   MEDIA_SIZE bytes that depend only on NAME, so every mode serves the same
                       file; Content-Type from NAME's extension, ETag media_etag(NAME, size).
                       Query: size=N sets the length, type=MIME the Content-Type. "Range:
                       bytes=N-" or "bytes=N-M" answers 206 with Content-Range (416 past the end)
                       unless an If-Range differs from the ETag. MODE is one of:
                         slow      the body in MEDIA_CHUNK pieces, MEDIA_PAUSE seconds apart, so
                                   a client can be interrupted mid-transfer
                         norange   ignores Range: always 200 with the whole body
                         short     announces the whole length, sends half and closes
                         stingy    answers a Range request with at most MEDIA_CHUNK bytes (206
                                   with the true total), as a server may
                         chunked   no Content-Length (chunked transfer encoding)
                         trickle   2 bytes every TRICKLE_PAUSE seconds, for ever
                         paced     PACED_RATE bytes a second on each connection
  any path in server.documents   (content type, body) as a test set it, 200
  any path in server.answers     (status, content type, body) as a test set it, whatever the
                                 query (a directory's search API)

`server.most_at_once` is the largest number of requests the server was answering at one time.

Run it alone to try the command-line host by hand:
    python3 tests/loopback_server.py [--port N]
"""

import argparse
import email.utils
import functools
import gzip
import hashlib
import http.server
import re
import sys
import threading
import time
import urllib.parse

FEED = """<?xml version="1.0" encoding="UTF-8"?>
<rss version="2.0" xmlns:itunes="http://www.itunes.com/dtds/podcast-1.0.dtd">
  <channel>
    <title>Loopback Radio</title>
    <itunes:image href="http://127.0.0.1/cover.png"/>
    <item>
      <title>Second Signal</title>
      <guid>loop-2</guid>
      <pubDate>Mon, 03 Jun 2024 08:00:00 GMT</pubDate>
      <itunes:duration>1:02:03</itunes:duration>
      <enclosure url="http://127.0.0.1/media/2.mp3" type="audio/mpeg" length="2500000"/>
    </item>
    <item>
      <title>First Signal</title>
      <guid>loop-1</guid>
      <pubDate>Mon, 27 May 2024 08:00:00 GMT</pubDate>
      <itunes:duration>45:00</itunes:duration>
      <enclosure url="http://127.0.0.1/media/1.mp3" type="audio/mpeg" length="900"/>
    </item>
  </channel>
</rss>
""".encode()

PAGE = b"""<!DOCTYPE html>
<html><head>
<link rel="alternate" type="application/rss+xml" title="Loopback Radio" href="/feed.xml">
<link rel="alternate" type="application/rss+xml" title="Loopback Radio, dated" href="dated.xml">
</head><body>Two feeds.</body></html>
"""

# A page announcing more feeds than the library's 64-entry response cache holds.
MANY = 70
MANY_PAGE = "".join('<link rel="alternate" type="application/rss+xml" href="/many/%d.xml">\n' % n
                    for n in range(1, MANY + 1)).encode()

ETAG = '"loop-v1"'
LAST_MODIFIED = email.utils.formatdate(1717401600, usegmt=True)
SLOW_SECONDS = 5
HUGE_SIZE = 18 << 20  # above the transport's 17 MiB cap

MEDIA_SIZE = 200_000
MEDIA_CHUNK = 4096
MEDIA_PAUSE = 0.1  # about five seconds for the whole default body on the slow route
MEDIA_MODES = ("slow", "norange", "short", "stingy", "chunked", "trickle", "paced")
PACED_RATE = 2_000_000
TRICKLE_PAUSE = 1.5
MEDIA_TYPES = {".mp3": "audio/mpeg", ".m4a": "audio/mp4", ".ogg": "audio/ogg",
               ".opus": "audio/opus", ".mp4": "video/mp4"}
REDIRECTS = (301, 302, 307, 308)


@functools.lru_cache(maxsize=16)
def media_bytes(name, size=MEDIA_SIZE):
    """The body of /media/.../NAME: byte i is the top byte of (i * 2654435761 + seed) mod 2**32,
    seed the FNV-1a hash of NAME. No short period, so a resume at a wrong offset shows, and a
    test in any language can compute it."""
    seed = 2166136261
    for byte in name.encode():
        seed = ((seed ^ byte) * 16777619) & 0xFFFFFFFF
    return bytes(((i * 2654435761 + seed) & 0xFFFFFFFF) >> 24 for i in range(size))


def media_etag(name, size=MEDIA_SIZE):
    return '"%s-%d"' % (name, size)


def podcast(base, version, media=""):
    """The changing feed at its version: episodes 1..version+1, newest first, their enclosures
    under /media/MEDIA/ when a media mode is given."""
    folder = base + "/media/" + (media + "/" if media else "")
    items = []
    for n in range(version + 1, 0, -1):
        date = email.utils.formatdate(1717200000 + n * 86400, usegmt=True)
        items.append("""    <item>
      <title>Episode %d</title>
      <guid>pod-%d</guid>
      <pubDate>%s</pubDate>
      <enclosure url="%sep%d.mp3" type="audio/mpeg" length="%d"/>
    </item>
""" % (n, n, date, folder, n, MEDIA_SIZE))
    return ("""<?xml version="1.0" encoding="UTF-8"?>
<rss version="2.0">
  <channel>
    <title>Loopback Weekly</title>
%s  </channel>
</rss>
""" % "".join(items)).encode()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.server.requests.append((self.path, dict(self.headers)))
        if self.path in self.server.documents:
            content_type, body = self.server.documents[self.path]
            return self.with_etag(body, content_type, '"%s"' % hashlib.sha1(body).hexdigest())
        answer = self.server.answers.get(urllib.parse.urlsplit(self.path).path)
        if answer:
            return self.send(answer[0], answer[2], answer[1])
        route = {
            "/feed.xml": lambda: self.with_etag(FEED, "application/rss+xml"),
            "/dated.xml": self.feed_with_date,
            "/gzip.xml": self.gzip_feed,
            "/page.html": lambda: self.send(200, PAGE, "text/html"),
            "/moved": lambda: self.redirect("/feed.xml"),
            "/loop": lambda: self.redirect("/loop"),
            "/missing": lambda: self.send(404, b"not here", "text/plain"),
            "/error": lambda: self.send(500, b"broken", "text/plain"),
            "/slow": self.slow,
            "/huge": lambda: self.huge(chunked=False),
            "/huge-chunked": lambda: self.huge(chunked=True),
            "/many/page.html": lambda: self.with_etag(MANY_PAGE, "text/html"),
            "/podcast.xml": self.podcast,
            "/control/bump": lambda: self.send(200, b"%d" % self.server.bump(), "text/plain"),
        }.get(self.path, self.other)
        with self.server.count_lock:
            self.server.at_once += 1
            self.server.most_at_once = max(self.server.most_at_once, self.server.at_once)
        try:
            route()
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up first, as the time-out and size cases expect
        finally:
            with self.server.count_lock:
                self.server.at_once -= 1

    def send(self, status, body, content_type, headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def redirect(self, location):
        self.send(301, b"", "text/plain", [("Location", location)])

    def with_etag(self, body, content_type, etag=ETAG):
        if self.headers.get("If-None-Match") == etag:
            self.send(304, b"", content_type, [("ETag", etag)])
        else:
            self.send(200, body, content_type, [("ETag", etag)])

    def feed_with_date(self):
        if self.headers.get("If-Modified-Since") == LAST_MODIFIED:
            self.send(304, b"", "application/rss+xml")
        else:
            self.send(200, FEED, "application/rss+xml", [("Last-Modified", LAST_MODIFIED)])

    def gzip_feed(self):
        if "gzip" in self.headers.get("Accept-Encoding", ""):
            self.send(200, gzip.compress(FEED), "application/rss+xml",
                      [("Content-Encoding", "gzip")])
        else:
            self.send(406, b"gzip only", "text/plain")

    def other(self):
        url = urllib.parse.urlsplit(self.path)
        redirect = re.fullmatch(r"/redirect/(\d+)(/.*)", url.path)
        media = urllib.parse.parse_qs(url.query).get("media", [""])[0]
        if url.path.startswith("/media/"):
            self.media(url)
        elif url.path == "/podcast.xml" and media in MEDIA_MODES:
            self.podcast(media)
        elif url.path == "/slow":
            self.slow()
        elif redirect and int(redirect[1]) in REDIRECTS:
            self.send(int(redirect[1]), b"", "text/plain", [("Location", redirect[2])])
        else:
            self.numbered_feed()

    def numbered_feed(self):
        url = urllib.parse.urlsplit(self.path)
        name = url.path.removeprefix("/many/").removesuffix(".xml")
        if url.path.startswith("/many/") and name.isdigit() and 1 <= int(name) <= MANY:
            delay = float(urllib.parse.parse_qs(url.query).get("delay", ["0"])[0])
            if delay:
                self.server.stopping.wait(delay)
                self.server.requests.append((self.path + "#answered", {}))
            self.with_etag(FEED, "application/rss+xml")
        else:
            self.send(404, b"no such route", "text/plain")

    def slow(self):
        deadline = time.monotonic() + SLOW_SECONDS
        while time.monotonic() < deadline and not self.server.stopping.is_set():
            time.sleep(0.05)
        self.send(200, FEED, "application/rss+xml")

    def podcast(self, media=""):
        version = self.server.version
        etag = '"pod-v%d"' % version
        modified = 1717200000 + version * 86400
        try:
            since = email.utils.parsedate_to_datetime(self.headers["If-Modified-Since"]).timestamp()
        except (TypeError, ValueError):
            since = None
        headers = [("ETag", etag), ("Last-Modified", email.utils.formatdate(modified, usegmt=True))]
        if self.headers.get("If-None-Match") == etag or (
                "If-None-Match" not in self.headers and since is not None and since >= modified):
            self.send(304, b"", "application/rss+xml", headers)
        else:
            self.send(200, podcast(self.server.base, version, media),
                      "application/rss+xml", headers)

    def media(self, url):
        parts = url.path.removeprefix("/media/").split("/")
        mode = parts[0] if len(parts) == 2 and parts[0] in MEDIA_MODES else ""
        if len(parts) != (2 if mode else 1) or not parts[-1]:
            return self.send(404, b"no such media", "text/plain")
        name = parts[-1]
        query = urllib.parse.parse_qs(url.query)
        size = int(query.get("size", [MEDIA_SIZE])[0])
        content_type = query.get("type", [MEDIA_TYPES.get(name[name.rfind("."):], "")])[0]
        content_type = content_type or "application/octet-stream"
        body = media_bytes(name, size)

        status, first, last = 200, 0, size - 1
        etag = media_etag(name, size)
        wanted = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        if self.headers.get("If-Range", etag) != etag:
            wanted = None  # another version of the file: all of it
        if mode == "trickle":
            return self.trickle(content_type)
        if wanted and mode not in ("norange", "chunked"):
            first = int(wanted[1])
            last = min(int(wanted[2]), size - 1) if wanted[2] else size - 1
            if first >= size or first > last:
                return self.send(416, b"", "text/plain", [("Content-Range", "bytes */%d" % size)])
            if mode == "stingy":
                last = min(last, first + MEDIA_CHUNK - 1)
            status = 206

        piece = body[first:last + 1]
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Accept-Ranges", "none" if mode in ("norange", "chunked") else "bytes")
        self.send_header("ETag", etag)
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, size))
        if mode == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(len(piece)))
        if mode == "short":
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if mode == "short":
            piece = piece[:len(piece) // 2]
        started = time.monotonic()
        for at in range(0, len(piece), MEDIA_CHUNK):
            chunk = piece[at:at + MEDIA_CHUNK]
            if mode == "paced":
                ahead = started + at / PACED_RATE - time.monotonic()
                if ahead > 0 and self.server.stopping.wait(ahead):
                    return
            if mode == "chunked":
                self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            else:
                self.wfile.write(chunk)
            if mode == "slow":
                self.wfile.flush()
                if self.server.stopping.wait(MEDIA_PAUSE):
                    return
        if mode == "chunked":
            self.wfile.write(b"0\r\n\r\n")

    def trickle(self, content_type):
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(MEDIA_SIZE))
        self.end_headers()
        while not self.server.stopping.wait(TRICKLE_PAUSE):
            self.wfile.write(b"ab")
            self.wfile.flush()

    def huge(self, chunked):
        self.send_response(200)
        self.send_header("Content-Type", "application/rss+xml")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(HUGE_SIZE))
        self.end_headers()
        chunk = b"x" * (1 << 20)
        for _ in range(HUGE_SIZE // len(chunk)):
            if chunked:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            else:
                self.wfile.write(chunk)
        if chunked:
            self.wfile.write(b"0\r\n\r\n")


class LoopbackServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def handle_error(self, request, client_address):
        # Clients that give up early (time-out, size cap) reset their connections on purpose.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)

    def __init__(self, port=0):
        super().__init__(("127.0.0.1", port), Handler)
        self.requests = []
        self.documents = {}
        self.answers = {}
        self.stopping = threading.Event()
        self.thread = None
        self.version = 1
        self.version_lock = threading.Lock()
        self.count_lock = threading.Lock()
        self.at_once = 0
        self.most_at_once = 0

    def bump(self):
        """Moves /podcast.xml to its next version and returns it."""
        with self.version_lock:
            self.version += 1
            return self.version

    @property
    def base(self):
        return "http://127.0.0.1:%d" % self.server_address[1]

    def start(self):
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        self.stopping.set()
        self.shutdown()
        self.server_close()
        self.thread.join()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    server = LoopbackServer(parser.parse_args().port)
    print("serving on %s (Ctrl-C stops)" % server.base, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    server.server_close()
