#!/usr/bin/env python3
"""The command-line host end to end: its libcurl transport against a loopback HTTP server that
these tests start and stop themselves, and the offline mode on local files. Checks output shape
and exit codes. Nothing here reaches beyond 127.0.0.1.

usage: cli_test.py PATH_TO_VEPOD [unittest arguments]
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unicodedata
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from loopback_server import LoopbackServer, SLOW_SECONDS  # noqa: E402

VEPOD = None
OK, FAILURE, USAGE, NETWORK, NOTHING = 0, 1, 2, 3, 4

# Local copies of two documents for the offline mode (the server has its own feed).
FEED_URL = "https://feeds.example.com/offline.rss"
FEED = """<?xml version="1.0" encoding="UTF-8"?>
<rss version="2.0" xmlns:itunes="http://www.itunes.com/dtds/podcast-1.0.dtd">
  <channel>
    <title>Offline Hour</title>
    <item><title>Older</title><guid>off-1</guid>
      <pubDate>Wed, 01 May 2024 10:00:00 GMT</pubDate><itunes:duration>59</itunes:duration>
      <enclosure url="https://media.example.com/off-1.mp3" type="audio/mpeg" length="1500"/></item>
    <item><title>Newer</title><guid>off-2</guid>
      <pubDate>Wed, 08 May 2024 10:00:00 GMT</pubDate><itunes:duration>3723</itunes:duration>
      <enclosure url="https://media.example.com/off-2.mp3" type="audio/mpeg" length="52000000"/></item>
    <item><title>No date</title>
      <enclosure url="https://media.example.com/off-0.mp3" type="audio/mpeg"/></item>
  </channel>
</rss>
"""
EMPTY_URL = "https://feeds.example.com/empty.rss"
EMPTY = '<rss version="2.0"><channel><title>Nothing Yet</title></channel></rss>'
PAGE = """<html><head>
<link rel="alternate" type="application/rss+xml" title="Offline Hour" href="/offline.rss">
</head></html>"""
# Titles whose characters take two terminal columns, or none, beside a plain one.
WIDE_PAGE = """<html><head>
<link rel="alternate" type="application/rss+xml" title="深夜の番組" href="/a.rss">
<link rel="alternate" type="application/rss+xml" title="Cafe\u0301 Talk" href="/b.rss">
<link rel="alternate" type="application/rss+xml" title="Plain" href="/c.rss">
</head></html>"""


def columns(text):
    """Terminal columns that text takes."""
    return sum(0 if unicodedata.combining(c) else
               2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def run(*args, stdin=None, env=None):
    """Runs vepod with a database of its own (unless args name one) and dates in UTC."""
    with tempfile.TemporaryDirectory() as data:
        full = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        full.update({"XDG_DATA_HOME": data, "TZ": "UTC"}, **(env or {}))
        return subprocess.run([VEPOD, *args], input=stdin, capture_output=True, text=True,
                              env=full, timeout=60)


class Case(unittest.TestCase):
    def expect(self, result, code, out="", err=""):
        detail = "\nargs: %s\nstdout:\n%s\nstderr:\n%s" % (result.args, result.stdout,
                                                           result.stderr)
        self.assertEqual(result.returncode, code, detail)
        self.assertIn(out, result.stdout, detail)
        self.assertIn(err, result.stderr, detail)
        if code != OK:
            # One clear line, whatever went wrong.
            self.assertEqual(len(result.stderr.splitlines()), 1, detail)


class Http(Case):
    @classmethod
    def setUpClass(cls):
        cls.server = LoopbackServer().start()
        cls.base = cls.server.base

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_answers_and_failures(self):
        b = self.base
        cases = [
            (["list", b + "/feed.xml"], OK, "Loopback Radio", ""),
            (["list", "--feed", "1", b + "/moved"], OK, "1:02:03", ""),
            (["list", "--feed", "1", b + "/gzip.xml"], OK, "Second Signal", ""),
            (["list", b + "/missing"], NOTHING, "", b + "/missing: HTTP 404"),
            (["validate", b + "/error"], NETWORK, "", b + "/error: HTTP 500"),
            (["list", b + "/loop"], NETWORK, "", "redirects"),
            (["list", b + "/huge"], NETWORK, "", "exceeds the 17 MiB limit"),
            (["list", b + "/huge-chunked"], NETWORK, "", "exceeds the 17 MiB limit"),
            (["list", "--timeout", "0.5", b + "/slow"], NETWORK, "", "timed out"),
            (["discover", b + "/page.html"], OK, b + "/dated.xml", ""),
            (["discover", b + "/missing"], NOTHING, "", "HTTP 404"),
        ]
        for args, code, out, err in cases:
            with self.subTest(args=args):
                self.expect(run(*args), code, out, err)
        # Every request names the program and its release, as --version does.
        release = run("--version").stdout.split()[1]
        agents = {headers.get("User-Agent") for _, headers in self.server.requests}
        self.assertEqual(agents, {"vepod/" + release})

    def test_page_lists_its_feeds_and_their_episodes(self):
        page = self.base + "/page.html"
        self.expect(run("validate", page), OK, "RuntimeType  PODCASTS")
        root = run("list", "--json", page)
        self.expect(root, OK)
        self.assertEqual([f["path"] for f in json.loads(root.stdout)],
                         [self.base + "/feed.xml", self.base + "/dated.xml"])
        self.expect(run("list", "--feed", "2", page), OK, "Second Signal")
        self.expect(run("stream", "--feed", "2", "--episode", "loop-1", page), OK,
                    "http://127.0.0.1/media/1.mp3\n")

    def test_revalidation_304_is_answered_by_the_transport(self):
        # With --max-age 0 the listing of the feed folder fetches again; the transport sends the
        # validator it stored and answers the server's 304 with the stored body, so the library
        # sees a 200 and never needs its own cache for it.
        for route, header in [("/feed.xml", "If-None-Match"), ("/dated.xml", "If-Modified-Since")]:
            with self.subTest(route=route):
                del self.server.requests[:]
                result = run("stats", "--json", "--max-age", "0", self.base + route)
                self.expect(result, OK)
                stats = json.loads(result.stdout)
                self.assertEqual(stats["http"], {"gets": 2, "304": 0, "errors": 0})
                self.assertEqual(stats["items"]["kept"], 2)
                sent = [headers.get(header) for _, headers in self.server.requests]
                self.assertEqual(len(sent), 2)
                self.assertIsNone(sent[0])
                self.assertIsNotNone(sent[1])

    def test_a_failed_url_is_named_from_the_one_listing(self):
        # The root listing names why each URL failed: nothing is fetched or read again for it,
        # even with --max-age 0, and the counters count its one fetch.
        del self.server.requests[:]
        result = run("stats", "--json", "--max-age", "0", self.base + "/feed.xml",
                     self.base + "/missing")
        self.assertEqual(result.returncode, 5, result.stderr)
        self.assertEqual(result.stderr.splitlines(),
                         ["vepod: stats: %s/missing: HTTP 404 from %s/missing" % (self.base,
                                                                                  self.base)])
        stats = json.loads(result.stdout)
        # The feed twice (root listing, then its folder), the missing URL once.
        self.assertEqual(stats["http"], {"gets": 3, "304": 0, "errors": 0})
        self.assertEqual(stats["feeds"], {"parsed": 2, "rejected": 0})
        missing = [path for path, _ in self.server.requests if path == "/missing"]
        self.assertEqual(len(missing), 1)

    def test_revalidation_outlives_the_library_cache(self):
        # Each feed folder of this page is listed by its own operation, fetching the page again;
        # by the 64th feed the library's cache has dropped the page's body, but the transport's
        # stored copy still answers the 304.
        del self.server.requests[:]
        result = run("stats", "--json", "--max-age", "0", self.base + "/many/page.html")
        self.expect(result, OK)
        self.assertEqual(json.loads(result.stdout)["http"]["errors"], 0)
        pages = [headers for path, headers in self.server.requests if path == "/many/page.html"]
        self.assertGreater(len(pages), 60)
        self.assertEqual(sum("If-None-Match" not in headers for headers in pages), 1)

    def test_slow_server_is_cut_at_the_time_out(self):
        self.assertGreater(SLOW_SECONDS, 2)
        result = run("discover", "--timeout", "1", self.base + "/slow")
        self.expect(result, NETWORK, "", "transport failure for " + self.base + "/slow")


class Offline(Case):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.feed = os.path.join(cls.dir.name, "feed.xml")
        cls.page = os.path.join(cls.dir.name, "page.html")
        with open(cls.feed, "w") as f:
            f.write(FEED)
        with open(cls.page, "w") as f:
            f.write(PAGE)
        cls.empty = os.path.join(cls.dir.name, "empty.xml")
        with open(cls.empty, "w") as f:
            f.write(EMPTY)
        cls.wide_page = os.path.join(cls.dir.name, "wide.html")
        with open(cls.wide_page, "w") as f:
            f.write(WIDE_PAGE)
        cls.route = ["--offline", FEED_URL + "=" + cls.feed]

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_root_and_feed_folder(self):
        self.expect(run("list", *self.route, FEED_URL), OK,
                    "#  FEED          URL\n1  Offline Hour  " + FEED_URL + "\n")
        table = run("list", *self.route, "--feed", FEED_URL, FEED_URL)
        self.expect(table, OK)
        lines = table.stdout.splitlines()
        self.assertEqual(lines[0].split(), ["#", "DATE", "LENGTH", "SIZE", "TITLE"])
        self.assertEqual(lines[1].split(), ["1", "2024-05-08", "1:02:03", "52.0", "MB", "Newer"])
        self.assertEqual(lines[2].split(), ["2", "2024-05-01", "0:00:59", "1.5", "kB", "Older"])
        self.assertEqual(lines[3].split(), ["3", "-", "-", "-", "No", "date"])
        entries = json.loads(run("list", *self.route, "--json", "--feed", "1", FEED_URL).stdout)
        self.assertEqual([e["id"] for e in entries[:2]], ["off-2", "off-1"])
        self.assertTrue(entries[2]["guid_fallback"])

    def test_stream_url(self):
        cases = [
            ([FEED_URL], "https://media.example.com/off-2.mp3\n"),
            (["--episode", "2", FEED_URL], "https://media.example.com/off-1.mp3\n"),
            (["--episode", "off-1", FEED_URL], "https://media.example.com/off-1.mp3\n"),
            (["--entry", '{"locator":"https://media.example.com/x.mp3"}'],
             "https://media.example.com/x.mp3\n"),
        ]
        for args, out in cases:
            with self.subTest(args=args):
                result = run("stream", *self.route, *args)
                self.expect(result, OK)
                self.assertEqual(result.stdout, out)
        answer = json.loads(run("resolve", *self.route, "--json", FEED_URL).stdout)
        self.assertEqual(answer, {"url": "https://media.example.com/off-2.mp3", "headers": {}})

    def test_parse_and_discover(self):
        parsed = run("parse", "--pretty", self.feed)
        self.expect(parsed, OK, '\n  "format": "rss2"')
        self.assertEqual(len(json.loads(parsed.stdout)["items"]), 3)
        self.assertEqual(json.loads(run("parse", stdin=FEED).stdout)["title"], "Offline Hour")
        self.expect(run("discover", "--base", "https://feeds.example.com/", self.page), OK,
                    "Offline Hour  " + FEED_URL)
        unresolved = run("discover", "--json", self.page)  # a relative link needs --base
        self.expect(unresolved, NOTHING, "[]\n", "no feed links")

    def test_table_columns_line_up_on_wide_titles(self):
        result = run("discover", "--base", "https://feeds.example.com/", self.wide_page)
        self.expect(result, OK)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 4)
        starts = {columns(line[:line.index(marker)])
                  for line, marker in zip(lines, ["URL", "https:", "https:", "https:"])}
        self.assertEqual(len(starts), 1, result.stdout)

    def test_failures(self):
        missing = os.path.join(self.dir.name, "absent.xml")
        cases = [
            (["parse", self.page], FAILURE, "vepod: parse: "),
            (["parse", missing], FAILURE, "absent.xml"),
            (["list", "--offline", FEED_URL + "=" + missing, FEED_URL], FAILURE, "absent.xml"),
            (["list", *self.route, "https://other.example.com/feed"], NETWORK,
             "https://other.example.com/feed: no route"),
            (["list", *self.route, "--feed", "https://other.example.com/f", FEED_URL], NOTHING,
             "folder not found"),
            (["list", *self.route, "--feed", "2", FEED_URL], NOTHING, "no feed number 2"),
            (["stream", *self.route, "--episode", "9", FEED_URL], NOTHING, "no episode 9"),
            (["discover", self.feed], NOTHING, "no feed links in " + self.feed),
            (["list", "--offline", EMPTY_URL + "=" + self.empty, "--feed", "1", EMPTY_URL],
             NOTHING, "no episodes in " + EMPTY_URL),
        ]
        for args, code, err in cases:
            with self.subTest(args=args):
                self.expect(run(*args), code, "", err)

    def test_stats_and_demo(self):
        stats = run("stats", *self.route, FEED_URL)
        self.expect(stats, OK, "items")
        self.assertIn("kept 3", stats.stdout)
        demo = run("demo")
        self.expect(demo, OK, "== 6. Statistics ==")
        for text in ["PODCASTS", "Harbor Lights", "The Quiet Workshop", "1:05:03",
                     "https://media.example.com/harbor-lights/005-logbook.mp3"]:
            self.assertIn(text, demo.stdout)


class CommandLine(Case):
    def test_usage_errors(self):
        cases = [
            ([], "missing command"),
            (["frobnicate"], "unknown command 'frobnicate' (see"),
            (["lst", FEED_URL], "unknown command 'lst'; did you mean 'list'?"),
            (["help", "dicsover"], "unknown command 'dicsover'; did you mean 'discover'?"),
            (["list"], "no URL given and no subscriptions"),
            (["validate"], "needs at least one URL"),
            (["list", "--bogus", FEED_URL], "unknown option '--bogus' (see"),
            (["list", "--jsno", FEED_URL], "unknown option '--jsno'; did you mean '--json'?"),
            (["--json", "list", FEED_URL], "--json goes after the command"),
            (["parse", "--feed", "1"], "--feed does not apply"),
            (["list", "--timeout", "0", FEED_URL], "--timeout needs"),
            (["list", "--offline", "no-equals-sign", FEED_URL], "--offline needs URL=FILE"),
            (["list", "ftp://example.com/feed"], "not an absolute http(s) URL"),
            (["list", "https://feeds.example.com/a\nhttps://attacker.example/b"],
             "'https://feeds.example.com/a https://attacker.example/b' has a line break inside"),
            (["stream", "--entry", "[]"], "entry_json is not a JSON object"),
        ]
        for args, err in cases:
            with self.subTest(args=args):
                self.expect(run(*args), USAGE, "", err)

    def test_option_values_in_plain_words(self):
        """Every option that takes a number, size or duration: a bad value, whatever was typed,
        is named with what it must be, never in the parser's words nor as a lookup that failed."""
        with tempfile.TemporaryDirectory() as folder:
            feed = os.path.join(folder, "feed.xml")
            with open(feed, "w") as f:
                f.write(FEED)
            route = ["--offline", FEED_URL + "=" + feed]
            cases = [
                (["list", "--timeout", "0x10", FEED_URL], USAGE,
                 "--timeout needs a number of seconds above 0, at most 86400 ("),
                (["list", "--max-age", "9" * 12, FEED_URL], USAGE,
                 "--max-age needs a whole number of seconds, from 0 (fetch every time) to "
                 "2147483647 ("),
                (["episodes", "--limit", "0"], USAGE, "--limit must be a positive number ("),
                (["episodes", "--limit", "9" * 40], USAGE, "--limit must be a positive number ("),
                (["download", "--max-size", "2X"], USAGE, "--max-size must be a size such as 500M"),
                (["download", "--max-size", "99999999999T"], USAGE,
                 "--max-size must be a size such as 500M"),
                (["update", "--jobs", "65"], USAGE, "--jobs must be a whole number from 1 to 64 ("),
                (["list", "--feed", "0", FEED_URL], USAGE,
                 "--feed must be a positive number or a URL ("),
                (["played", "--feed", "-1", "--all"], USAGE,
                 "--feed must be a positive number or a URL ("),
                # An episode's id may be any word: a number that names no episode is not found.
                (["stream", *route, "--episode", "0", FEED_URL], NOTHING,
                 "no episode 0 in " + FEED_URL),
                # A value left out, last on the line or empty, is said to be missing.
                (["episodes", "--limit"], USAGE, "episodes: --limit needs a value ("),
                (["download", "--max-size", ""], USAGE, "download: --max-size needs a value ("),
            ]
            for args, code, err in cases:
                with self.subTest(args=args):
                    self.expect(run(*args), code, "", err)

    def test_help(self):
        main = run("--help")
        self.expect(main, OK, "Exit status:")
        self.assertEqual(run("help").stdout, main.stdout)
        def listed(heading):
            return [line.split()[0].rstrip(",") for line in
                    main.stdout.split(heading + ":\n")[1].split("\n\n")[0].splitlines()]
        # Listeners' commands first, in the order they meet them; the library's tools after.
        commands = listed("Commands")
        self.assertEqual(commands[:9], ["search", "subscribe", "update", "episodes", "show",
                                        "play", "download", "played", "clean"])
        self.assertIn("list", listed("Tools for player developers"))
        for command in commands + listed("Tools for player developers"):
            with self.subTest(command=command):
                result = run(command, "--help")
                self.expect(result, OK, "usage: vepod " + command)
                self.assertEqual(run("help", command).stdout, result.stdout)
                for line in (main.stdout + result.stdout).splitlines():
                    self.assertLessEqual(columns(line), 80, line)
        self.expect(run("help", "resolve"), OK, "usage: vepod stream")
        # The manual page built beside the program: every command's options and the sections
        # help does not hold.
        page = open(os.path.join(os.path.dirname(VEPOD), "vepod.1")).read()
        for needed in [".SH COMMANDS", ".SS download", "--max-size SIZE", ".SS update",
                       ".SS search", ".SS play", ".SS clean", "--older-than DAYS",
                       "--jobs N", ".SH FILES", ".SH ENVIRONMENT", '.SH "EXIT STATUS"',
                       ".SH EXAMPLES"]:
            self.assertIn(needed, page)
        if shutil.which("man"):
            shown = subprocess.run(["man", "-l", os.path.join(os.path.dirname(VEPOD), "vepod.1")],
                                   capture_output=True, text=True, timeout=60,
                                   env=dict(os.environ, MANWIDTH="80", MANPAGER="cat")).stdout
            self.assertIn("COMMANDS", shown)
            for line in shown.splitlines():
                self.assertLessEqual(columns(line), 80, line)
        # The program and the library it runs on are one release.
        version = run("--version")
        self.expect(version, OK, "vepod ")
        self.assertRegex(version.stdout, r"^vepod (\d+\.\d+\.\d+) \(library \1\)\n$")

    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_lost_output_is_a_failure(self):
        with open("/dev/full", "w") as full:
            result = subprocess.run([VEPOD, "--help"], stdout=full, stderr=subprocess.PIPE,
                                    text=True, timeout=60)
        self.assertEqual(result.returncode, FAILURE, result.stderr)
        self.assertIn("cannot write standard output", result.stderr)


if __name__ == "__main__":
    VEPOD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
