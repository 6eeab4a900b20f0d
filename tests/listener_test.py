#!/usr/bin/env python3
"""vepod through a listener's day against the loopback server: finding a podcast in a directory,
playing an episode with a stand-in player, new episodes after subscribing and updating, downloads
several at once, and cleaning up what was heard. Each test has a database of its own; nothing here
reaches beyond 127.0.0.1, and no test measures time.

usage: listener_test.py PATH_TO_VEPOD [unittest arguments]
"""

import fcntl
import glob
import hashlib
import json
import os
import pathlib
import pty
import signal
import sqlite3
import stat
import struct
import subprocess
import sys
import tempfile
import termios
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from loopback_server import LoopbackServer, MEDIA_SIZE, media_bytes  # noqa: E402

VEPOD = None
OK, FAILURE, USAGE, NETWORK, NOTHING, PARTIAL, INTERRUPTED = 0, 1, 2, 3, 4, 5, 130

# A stand-in player: records its arguments, one a line, in $PLAYED and exits with $PLAYER_EXIT.
PLAYER = """#!/bin/sh
: > "$PLAYED"
for word in "$@"; do printf '%s\\n' "$word" >> "$PLAYED"; done
exit "${PLAYER_EXIT:-0}"
"""


def environment(**extra):
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update({"TZ": "UTC"}, **extra)
    return env


class Listener(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = LoopbackServer().start()
        cls.base = cls.server.base

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.db = self.path("vepod.db")
        del self.server.requests[:]
        self.server.version = 1
        self.server.documents.clear()
        self.server.answers.clear()
        self.server.most_at_once = 0

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def vepod(self, *args, code=OK, env=None):
        result = subprocess.run([VEPOD, "--db", self.db, *args], capture_output=True, text=True,
                                env=environment(**(env or {})), timeout=120)
        self.assertEqual(result.returncode, code,
                         "\nargs: %s\nstdout:\n%s\nstderr:\n%s" % (args, result.stdout,
                                                                    result.stderr))
        return result

    def episodes(self):
        return json.loads(self.vepod("episodes", "--json").stdout)

    def requests_to(self, path):
        return [(p, h) for p, h in self.server.requests if urllib.parse.urlsplit(p).path == path]

    # MARK: search

    def itunes(self, results):
        return json.dumps({"resultCount": len(results), "results": results}).encode()

    def test_search_prints_numbered_results_and_subscribe_takes_one(self):
        self.vepod("config", "search-url", self.base + "/itunes/search")
        good = {"collectionName": "Harbor Lights", "artistName": "Port Radio", "trackCount": 42,
                "feedUrl": self.base + "/feed.xml"}
        answer = [
            {"collectionName": "Sneaky", "feedUrl": "javascript:alert(1)"},  # never kept
            {"collectionName": "Local", "feedUrl": "file:///etc/passwd"},
            good,
            {"collectionName": "Bell\x07 \u202eevil\x1b[31m", "artistName": "\x9b6n",
             "feedUrl": self.base + "/podcast.xml"},  # no episode count: shown as "-"
            *({"collectionName": "More %d" % n, "feedUrl": self.base + "/more/%d.xml" % n}
              for n in range(30)),
        ]
        self.server.answers["/itunes/search"] = (200, "application/json", self.itunes(answer))
        out = self.vepod("search", "harbor", "lights&more").stdout
        (query,) = [urllib.parse.parse_qs(urllib.parse.urlsplit(p).query)
                    for p, _ in self.requests_to("/itunes/search")]
        self.assertEqual(query, {"media": ["podcast"], "term": ["harbor lights&more"],
                                 "limit": ["20"]})
        lines = out.splitlines()
        self.assertEqual(lines[0].split(), ["#", "TITLE", "AUTHOR", "EPISODES", "URL"])
        self.assertEqual(lines[1].split(), ["1", "Harbor", "Lights", "Port", "Radio", "42",
                                            self.base + "/feed.xml"])
        self.assertIn("Bell\ufffd \ufffdevil\ufffd[31m", lines[2])
        for raw in ["\x07", "\x1b", "\x9b", "\u202e", "javascript", "file:"]:
            self.assertNotIn(raw, out)
        self.assertEqual(len(lines), 2 + 20)  # header, results, the hint
        listed = json.loads(self.vepod("search", "--json", "--limit", "2", "harbor").stdout)
        self.assertEqual(listed, [
            {"number": 1, "title": "Harbor Lights", "author": "Port Radio", "episodes": 42,
             "url": self.base + "/feed.xml"},
            {"number": 2, "title": "Bell\x07 \u202eevil\x1b[31m", "author": "\x9b6n",
             "url": self.base + "/podcast.xml"}])
        # The last search's results stay in the database for subscribe.
        self.vepod("subscribe", "--result", "3", code=NOTHING)
        self.assertIn("subscribed: Loopback Weekly",
                      self.vepod("subscribe", "--result", "2").stdout)
        self.vepod("subscribe", "--result", "1", "http://x.example/", code=USAGE)

    def test_podcast_index_requests_are_signed(self):
        for key, value in [("podcastindex-url", self.base + "/pi/"), ("podcastindex-key", "KEY9"),
                           ("podcastindex-secret", "s3cr$t")]:
            self.vepod("config", key, value)
        self.assertIn("podcastindex-secret = (set)", self.vepod("config").stdout)
        feeds = {"status": "true", "feeds": [
            {"title": "Harbor Lights", "author": "Port Radio", "episodeCount": 7,
             "url": self.base + "/feed.xml"},
            {"title": "No count", "url": self.base + "/podcast.xml"}]}
        self.server.answers["/pi/api/1.0/search/byterm"] = (200, "application/json",
                                                            json.dumps(feeds).encode())
        out = self.vepod("search", "harbor lights").stdout
        self.assertIn("Harbor Lights", out)
        ((path, headers),) = self.requests_to("/pi/api/1.0/search/byterm")
        self.assertEqual(urllib.parse.parse_qs(urllib.parse.urlsplit(path).query),
                         {"q": ["harbor lights"], "max": ["20"]})
        date = headers["X-Auth-Date"]
        self.assertEqual(headers["X-Auth-Key"], "KEY9")
        self.assertEqual(headers["Authorization"],
                         hashlib.sha1(("KEY9s3cr$t" + date).encode()).hexdigest())
        self.assertTrue(headers["User-Agent"].startswith("vepod/"))
        # --directory chooses the other one.
        self.vepod("config", "search-url", self.base + "/itunes/search")
        self.server.answers["/itunes/search"] = (200, "application/json", self.itunes([]))
        self.assertIn("iTunes Search API found no podcasts",
                      self.vepod("search", "--directory", "itunes", "x", code=NOTHING).stderr)

    def test_directory_failures_name_the_directory(self):
        self.vepod("config", "search-url", self.base + "/itunes/search")
        cases = [
            ((503, "text/plain", b"busy"), NETWORK, "vepod: search: iTunes Search API: HTTP 503"),
            ((404, "text/plain", b"gone"), NOTHING, "iTunes Search API: HTTP 404"),
            ((200, "text/html", b"<html>not json</html>"), FAILURE,
             "iTunes Search API: the answer is not its JSON"),
            ((200, "application/json", b'{"results": 5}'), FAILURE, "not its JSON"),
        ]
        for answer, code, message in cases:
            with self.subTest(answer=answer):
                self.server.answers["/itunes/search"] = answer
                self.assertIn(message, self.vepod("search", "x", code=code).stderr)
        self.server.answers["/itunes/search"] = (200, "application/json", b" " * (5 << 20))
        self.assertIn("iTunes Search API: its answer exceeds 4 MiB",
                      self.vepod("search", "x", code=NETWORK).stderr)
        self.assertIn("Podcast Index needs a key",
                      self.vepod("search", "--directory", "podcastindex", "x", code=USAGE).stderr)
        self.vepod("search", "--directory", "elsewhere", "x", code=USAGE)
        self.vepod("search", code=USAGE)
        self.vepod("config", "search-url", "ftp://example.org/", code=USAGE)

    # MARK: play

    def player(self, name="player"):
        script = self.path(name)
        pathlib.Path(script).write_text(PLAYER)
        os.chmod(script, 0o755)
        return script

    def played(self):
        return pathlib.Path(self.path("played.txt")).read_text().splitlines()

    def test_play_hands_the_stream_or_the_file_to_the_player(self):
        self.vepod("subscribe", self.base + "/podcast.xml")
        self.vepod("config", "player", "'%s' --no-video 'two words'" % self.player("my player"))
        env = {"PLAYED": self.path("played.txt")}
        stream = self.base + "/media/ep2.mp3"
        self.assertIn("playing 1.2 Episode 2", self.vepod("play", "1.2", env=env).stdout)
        self.assertEqual(self.played(), ["--no-video", "two words", stream])
        self.assertFalse(self.episodes()[0]["played"])
        # The player's status is vepod's; only a player that ended well marks the episode.
        self.vepod("play", "--mark", "1.2", code=3, env=dict(env, PLAYER_EXIT="3"))
        self.assertFalse(self.episodes()[0]["played"])
        self.vepod("play", "--mark", "1.2", env=env)
        self.assertTrue(self.episodes()[0]["played"])
        self.vepod("config", "mark-played-after-play", "on")
        self.vepod("play", "1.1", env=env)
        self.assertTrue(self.episodes()[1]["played"])
        # A downloaded episode plays from its file, recorded with its whole path even when the
        # folder was given relative to the current one.
        (dest,) = self.vepod("download", "1.1", "-o", os.path.relpath(self.path("d"))
                             ).stdout.splitlines()
        self.assertEqual(os.path.dirname(os.path.dirname(dest)), self.path("d"))
        self.vepod("play", "1.1", env=env)
        self.assertEqual(self.played()[-1], dest)
        self.vepod("play", "9.9", code=NOTHING, env=env)
        self.vepod("play", code=USAGE, env=env)

    def test_the_player_is_split_as_a_shell_would_and_never_run_by_one(self):
        self.vepod("subscribe", self.base + "/feed.xml")
        marker = self.path("ran")
        for line in ["mpv $(touch %s)" % marker, "mpv `touch %s`" % marker,
                     "mpv; touch %s" % marker, "mpv 'open", ""]:
            with self.subTest(line=line):
                if line:
                    self.vepod("config", "player", line, code=USAGE)
        self.assertFalse(os.path.exists(marker))
        # Without a setting, the first player found on PATH, told to play audio only.
        folder = self.path("bin")
        os.makedirs(folder)
        os.symlink(self.player(), os.path.join(folder, "mpv"))
        env = {"PLAYED": self.path("played.txt"), "PATH": folder + os.pathsep + "/usr/bin:/bin"}
        self.vepod("play", "1.2", env=env)
        self.assertEqual(self.played(), ["--no-video", "http://127.0.0.1/media/2.mp3"])
        self.assertIn("no player found", self.vepod("play", "1.2", code=FAILURE,
                                                    env=dict(env, PATH=self.path("none"))).stderr)

    # MARK: new episodes

    def test_subscribe_and_import_leave_the_newest_episodes_new(self):
        feed = self.base + "/podcast.xml"  # version 3: episodes 1 to 4
        self.server.version = 3
        for args, new in [([], ["Episode 4"]), (["--new", "0"], []),
                          (["--new", "2"], ["Episode 4", "Episode 3"])]:
            with self.subTest(args=args):
                self.db = self.path("subscribe%d.db" % len(new))
                self.vepod("subscribe", *args, feed)
                self.assertEqual([e["title"] for e in self.episodes() if e["new"]], new)
        opml = self.path("feeds.opml")
        pathlib.Path(opml).write_text('<opml version="2.0"><body><outline xmlUrl="%s"/>'
                                      '</body></opml>' % feed)
        for args, new in [([], ["Episode 4"]), (["--new", "2"], ["Episode 4", "Episode 3"])]:
            with self.subTest(args=args):
                self.db = self.path("import%d.db" % len(new))
                self.vepod("import", *args, opml)
                self.assertIn(new[0], self.vepod("update").stdout)
                self.assertEqual([e["title"] for e in self.episodes() if e["new"]], new)
        # Right after subscribing there is something to download.
        got = self.vepod("download", "-o", self.path("d")).stdout.splitlines()
        self.assertEqual(sorted(g.rsplit(" ", 1)[1] for g in got), ["3.mp3", "4.mp3"])

    def test_update_downloads_only_when_asked(self):
        self.vepod("subscribe", "--new", "0", self.base + "/podcast.xml")
        self.vepod("config", "download-dir", self.path("d"))
        self.server.bump()
        self.assertNotIn(self.path("d"), self.vepod("update", "--max-age", "0").stdout)
        self.assertFalse(os.path.exists(self.path("d")))
        out = self.vepod("update", "--max-age", "0", "--download").stdout
        self.assertIn(os.path.join(self.path("d"), "Loopback Weekly", "2024-06-04 Episode 3.mp3"),
                      out)
        self.vepod("config", "auto-download", "on")
        self.server.bump()
        out = self.vepod("update", "--max-age", "0").stdout
        self.assertIn("2024-06-05 Episode 4.mp3", out)
        self.assertEqual(len(glob.glob(os.path.join(self.path("d"), "*", "*"))), 2)
        self.vepod("config", "auto-download", "maybe", code=USAGE)

    # MARK: downloads at once

    def six_slow_episodes(self, count=6):
        self.server.version = count - 1  # episodes 1 to count
        self.vepod("subscribe", "--new", str(count), self.base + "/podcast.xml?media=slow")
        del self.server.requests[:]
        self.server.most_at_once = 0

    def test_downloads_run_jobs_at_once_with_a_line_each(self):
        self.six_slow_episodes()
        result = self.vepod("download", "--jobs", "3", "-o", self.path("d"))
        self.assertEqual(self.server.most_at_once, 3)
        saved = result.stdout.splitlines()
        self.assertEqual(len(saved), 6)
        for path in saved:
            name = path.rsplit(" ", 1)[1].removesuffix(".mp3").lower()
            self.assertEqual(pathlib.Path(path).read_bytes(), media_bytes("ep%s.mp3" % name))
        # Off a terminal: one finished line for each episode, nothing redrawn.
        finished = result.stderr.splitlines()
        self.assertEqual(sorted(l.split("  ")[0] for l in finished),
                         ["Episode %d" % n for n in range(1, 7)])
        self.assertNotIn("\r", result.stderr)
        self.vepod("download", "--jobs", "0", code=USAGE)

    def test_downloads_take_at_most_six_at_once_from_one_host(self):
        self.six_slow_episodes(8)
        self.assertEqual(len(self.vepod("download", "--jobs", "8", "-o", self.path("d"))
                             .stdout.splitlines()), 8)
        self.assertEqual(self.server.most_at_once, 6)

    def test_on_a_terminal_each_running_download_has_a_line(self):
        self.six_slow_episodes()
        leader, follower = pty.openpty()
        fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 70, 0, 0))
        run = subprocess.run([VEPOD, "--db", self.db, "download", "--jobs", "2", "--all",
                              "-o", self.path("d")], stdout=subprocess.DEVNULL, stderr=follower,
                             env=environment(), timeout=120)
        os.close(follower)
        chunks = []
        try:
            while chunk := os.read(leader, 65536):
                chunks.append(chunk)
        except OSError:
            pass
        os.close(leader)
        self.assertEqual(run.returncode, OK)
        text = b"".join(chunks).decode()
        # Two lines drawn at once (back up one line to redraw them); six final lines.
        self.assertIn("\x1b[1A", text)
        self.assertNotIn("\x1b[2A", text)
        final = [l for l in text.replace("\r\n", "\n").split("\n") if " in 0:" in l]
        self.assertEqual(len(final), 6, text)
        for line in text.replace("\x1b[K", "").replace("\x1b[J", "").split("\r"):
            self.assertLessEqual(len(line.split("\x1b")[0].rstrip("\n")), 70, line)

    def test_ctrl_c_during_parallel_downloads_leaves_each_part_resumable(self):
        self.six_slow_episodes()
        folder = self.path("d")
        download = subprocess.Popen([VEPOD, "--db", self.db, "download", "--jobs", "3",
                                     "-o", folder], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True, env=environment())
        parts = []
        while download.poll() is None and sum(os.path.getsize(p) > 0 for p in parts) < 3:
            self.server.stopping.wait(0.02)
            parts = glob.glob(os.path.join(folder, "*", "*.part"))
        download.send_signal(signal.SIGINT)
        out, err = download.communicate(timeout=120)
        self.assertEqual(download.returncode, INTERRUPTED, err)
        self.assertEqual(len(parts), 3, parts)
        for part in parts:
            number = part.rsplit(" ", 1)[1].split(".")[0]
            self.assertIn("interrupted: 1.%s Episode %s; 'vepod download' resumes it from %s"
                          % (number, number, part), err)
        # The next run resumes the three and takes the other three.
        del self.server.requests[:]
        saved = self.vepod("download", "-o", folder).stdout.splitlines()
        self.assertEqual(sorted(saved), sorted(glob.glob(os.path.join(folder, "*", "*.mp3"))))
        self.assertEqual(len(saved), 6)
        self.assertEqual(glob.glob(os.path.join(folder, "*", "*.part")), [])
        ranges = [h.get("Range") for p, h in self.server.requests if "/media/" in p]
        self.assertEqual(sum(r is not None for r in ranges), 3, ranges)

    def test_a_failed_download_names_the_episode(self):
        feed = ("<rss version='2.0'><channel><title>Gaps</title><item><title>Lost One</title>"
                "<guid>g1</guid><enclosure url='%s/missing' type='audio/mpeg'/></item>"
                "</channel></rss>" % self.base)
        self.server.documents["/gaps.xml"] = ("application/rss+xml", feed.encode())
        self.vepod("subscribe", self.base + "/gaps.xml")
        err = self.vepod("download", "-o", self.path("d"), code=NOTHING).stderr
        self.assertEqual(err, "vepod: download: 1.1 Lost One: %s/missing: HTTP 404\n" % self.base)

    # MARK: clean

    def test_clean_deletes_only_the_files_of_played_episodes(self):
        self.server.version = 3
        self.vepod("subscribe", "--new", "4", self.base + "/podcast.xml")
        folder = self.path("d")
        self.vepod("download", "-o", folder)
        files = {e["ref"]: e["file"] for e in self.episodes()}
        self.assertEqual(sorted(files), ["1.1", "1.2", "1.3", "1.4"])
        mine = os.path.join(folder, "Loopback Weekly", "notes.txt")
        pathlib.Path(mine).write_text("mine")
        # 1.3's file gives way to a link to a file of the listener's: neither is touched.
        target = self.path("precious.mp3")
        pathlib.Path(target).write_text("precious")
        os.remove(files["1.3"])
        os.symlink(target, files["1.3"])
        os.remove(files["1.4"])  # deleted by hand: forgotten quietly
        self.vepod("played", "1.1", "1.3", "1.4")

        dry = self.vepod("clean", "--dry-run").stdout
        self.assertIn("would delete 1.1 Episode 1: " + files["1.1"], dry)
        self.assertTrue(os.path.exists(files["1.1"]))
        self.assertIn("nothing to clean", self.vepod("clean", "--older-than", "1").stdout)
        result = self.vepod("clean")
        self.assertIn("deleted 1.1 Episode 1: " + files["1.1"], result.stdout)
        self.assertIn("gone already: 1.4", result.stdout)
        self.assertIn("left 1.3 Episode 3: %s: a link is there now" % files["1.3"], result.stderr)
        self.assertFalse(os.path.exists(files["1.1"]))
        self.assertEqual(pathlib.Path(target).read_text(), "precious")
        self.assertTrue(os.path.islink(files["1.3"]))
        self.assertEqual(pathlib.Path(mine).read_text(), "mine")
        self.assertTrue(os.path.exists(files["1.2"]))  # not played
        listed = {e["ref"]: e for e in self.episodes()}
        self.assertEqual({r: (e["played"], e["downloaded"], e.get("file"))
                          for r, e in listed.items()},
                         {"1.1": (True, False, None), "1.2": (False, True, files["1.2"]),
                          "1.3": (True, True, files["1.3"]), "1.4": (True, False, None)})
        self.vepod("clean", "--feed", "2", code=NOTHING)
        # A file recorded without its folder (by an older vepod) could be any file of that name.
        relative = os.path.join("Loopback Weekly", "old.mp3")
        os.makedirs(self.path("Loopback Weekly"))
        pathlib.Path(self.path(relative)).write_text("kept")
        with sqlite3.connect(self.db) as db:
            db.execute("UPDATE episodes SET file = ?, played = 1 WHERE number = 2", (relative,))
        run = subprocess.run([VEPOD, "--db", self.db, "clean"], capture_output=True, text=True,
                             env=environment(), cwd=self.dir.name, timeout=60)
        self.assertEqual(run.returncode, OK, run.stderr)
        self.assertIn("left 1.2 Episode 2: %s: recorded without its folder" % relative, run.stderr)
        self.assertEqual(pathlib.Path(self.path(relative)).read_text(), "kept")


if __name__ == "__main__":
    # Started in the background by a shell without job control, this process and every vepod it
    # starts would ignore SIGINT; the Ctrl-C test needs the default.
    if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    VEPOD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
