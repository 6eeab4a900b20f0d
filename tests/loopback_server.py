#!/usr/bin/env python3
"""A small HTTP server on the loopback interface for the command-line host's tests.

Its fixed routes exercise what a real transport meets: a feed with an ETag, a feed with a
Last-Modified date, a gzip-compressed feed, a page announcing two feeds, a page announcing more
feeds than the library's response cache holds, a redirect, a redirect
loop, 404 and 500 answers, a response slower than any test's time-out and bodies above the
transport's 17 MiB cap (with and without a Content-Length). Every request is recorded.

Run it alone to try the command-line host by hand:
    python3 tests/loopback_server.py [--port N]
"""

import argparse
import email.utils
import gzip
import http.server
import sys
import threading
import time

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


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.server.requests.append((self.path, dict(self.headers)))
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
        }.get(self.path, self.numbered_feed)
        try:
            route()
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up first, as the time-out and size cases expect

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

    def with_etag(self, body, content_type):
        if self.headers.get("If-None-Match") == ETAG:
            self.send(304, b"", content_type, [("ETag", ETAG)])
        else:
            self.send(200, body, content_type, [("ETag", ETAG)])

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

    def numbered_feed(self):
        name = self.path.removeprefix("/many/").removesuffix(".xml")
        if self.path.startswith("/many/") and name.isdigit() and 1 <= int(name) <= MANY:
            self.with_etag(FEED, "application/rss+xml")
        else:
            self.send(404, b"no such route", "text/plain")

    def slow(self):
        deadline = time.monotonic() + SLOW_SECONDS
        while time.monotonic() < deadline and not self.server.stopping.is_set():
            time.sleep(0.05)
        self.send(200, FEED, "application/rss+xml")

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
        self.stopping = threading.Event()
        self.thread = None

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
