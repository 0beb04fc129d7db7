"""cvfcollect --http end to end: the simulator plays into simulated ports,
cvfmonUdp monitors them and forwards to the collector, and real readers
take what the collector serves: promtool and a Prometheus server started
here (its HTTP API queried), headless Chromium on the live page, and
hostile clients (raw sockets, curl) while the records keep coming. The
collector's alarm lines are checked on the way.

Each test runs in a network namespace of its own (fmon_harness), so the
collector, Prometheus and Chromium talk over a loopback no one else sees."""

import os
import shutil
import socket
import subprocess
import tempfile
import threading
import unittest

from browser import Browser
from http_harness import (LARGE, PROMETHEUS, TIMEOUT, HttpTestCase, Prometheus, counts,
                          paced, wait_until)

PROMTOOL = shutil.which("promtool")
CURL = shutil.which("curl")
SCREENSHOT = os.environ.get("CV_PAGE_SCREENSHOT") or os.path.join(
    os.environ.get("CV_BIN", tempfile.gettempdir()), "cvfcollect-page.png")


@unittest.skipUnless(PROMETHEUS and PROMTOOL, "prometheus is not installed (scripts/deps.sh)")
class MetricsTest(HttpTestCase):
    """/metrics read by promtool and scraped by a real Prometheus; the alarm
    lines on the collector's standard error."""

    ports = ("sync0", "sync1")

    def test_prometheus_stores_what_the_player_sent_and_sees_a_line_fall_silent(self):
        self.start_chain("--silent", 3, "--loss-alarm", 5, "--loss-window", 60)
        prom = Prometheus(self, self.http)
        # Line 1.0 with 20 numbers missing (frames large enough that the
        # monitor's reorder store fills and it gives them up); line 2.1
        # played longer, one record each 150 ms, so that it carries on
        # while 1.0 falls silent.
        a = paced(list(range(0, 30)) + list(range(50, 100)), 20, size=LARGE)
        b = paced(range(1000, 1100), 150, size=5, first_tx=0)
        self.play(a, port="sync0", name="player-a")
        b_player = self.play(b, port="sync1", name="player-b", wait=False)

        prom.wait_for("cvfcollect_line_silent", {(1, 0, None): 1, (2, 1, None): 0},
                      "line 1.0 silent in prometheus while 2.1 receives")
        self.assertTrue(b_player.running(), "the second player ended too soon to tell")
        # The alarms so far: line 1.0 fell silent once, and lost more than 5
        # frames within the window once.
        self.assertEqual(self.alarms("silent for 3 s"), ["gw 1 line 0: silent for 3 s"])
        self.assertEqual(self.alarms(r"\d+ frames lost in the last 60 s"),
                         ["gw 1 line 0: 20 frames lost in the last 60 s"], self.col.proc.err())
        self.assertEqual(b_player.wait(TIMEOUT * 4), 0, b_player.describe())

        ta, ra, ba_tx, ba_rx = counts(a)
        tb, rb, bb_tx, bb_rx = counts(b)
        prom.wait_for("cvfcollect_records_total",
                      {(1, 0, "tx"): ta, (1, 0, "rx"): ra, (2, 1, "tx"): tb, (2, 1, "rx"): rb},
                      "the records of both players")
        self.assertEqual(prom.query("cvfcollect_frame_bytes_total"),
                         {(1, 0, "tx"): ba_tx, (1, 0, "rx"): ba_rx,
                          (2, 1, "tx"): bb_tx, (2, 1, "rx"): bb_rx})
        self.assertEqual(prom.query("cvfcollect_frames_lost_total"), {(1, 0, None): 20,
                                                                      (2, 1, None): 0})
        for name in ("duplicates", "out_of_order", "sender_restarts"):
            self.assertEqual(set(prom.query("cvfcollect_%s_total" % name).values()), {0}, name)

        # What Prometheus read is valid exposition as promtool sees it.
        status, headers, body = self.get("/metrics")
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "text/plain; version=0.0.4; charset=utf-8")
        r = subprocess.run([PROMTOOL, "check", "metrics"], input=body, capture_output=True,
                           timeout=TIMEOUT)
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, b""))
        self.assertIn(b"\nprocess_start_time_seconds ", body)

        # Line 2.1 falls silent too; records come back to line 1.0.
        wait_until(lambda: self.alarms("silent for 3 s")[1:], what="line 2.1 silent too")
        self.play(paced(range(100, 103), 20), port="sync0", name="player-a2")
        self.col.proc.wait_text("gw 1 line 0: records again after ", stream="err")
        prom.wait_for("cvfcollect_line_silent", {(1, 0, None): 0, (2, 1, None): 1},
                      "line 1.0 receiving again")
        self.assertEqual(len(self.alarms(r"records again after \d+ s")), 1)
        self.assertEqual(len(self.alarms(r"\d+ frames lost in the last 60 s")), 1)
        self.assertEqual(self.alarms("silent for 3 s"),
                         ["gw 1 line 0: silent for 3 s", "gw 2 line 1: silent for 3 s"])
        self.col.stop()


class LivePageTest(HttpTestCase):
    """The live page in headless Chromium while the simulator plays."""

    def rows(self, browser):
        return {(r["gw"], r["line"]): r for r in browser.rows()}

    def row_counts(self, row):
        f = row["fields"]
        return tuple(int(f[k]) for k in ("tx", "rx", "lost_total", "records_total"))

    def played_counts(self, scenario, lost):
        return counts(scenario)[:2] + (lost, len(scenario.played))

    def test_every_line_shown_with_its_counts_and_state(self):
        self.start_chain("--silent", 3)
        # gw 1 line 0 loses 7 frames early and plays on for about 15 s;
        # gw 2 line 1 stops after about a second; gw 3 line 2 plays for 30 s.
        lossy = paced(list(range(0, 40)) + list(range(47, 250)), 60, size=LARGE)
        short = paced(range(500, 540), 30, size=40)
        steady = paced(range(2000, 2300), 100, size=20)
        with Browser(width=1000, height=600) as b:
            b.open("http://%s/" % self.http)
            b.wait_for("document.body.dataset.updated >= 1")
            lossy_player = self.play(lossy, port="sync0", name="player-lossy", wait=False)
            self.play(short, port="sync1", name="player-short", wait=False)
            steady_player = self.play(steady, port="sync2", name="player-steady", wait=False)

            def states_shown():
                rows = self.rows(b)
                return (sorted(rows) == [(1, 0), (2, 1), (3, 2)]
                        and rows[(1, 0)]["state"] == "losing"
                        and rows[(1, 0)]["fields"]["lost_last_minute"] == "7"
                        and rows[(2, 1)]["state"] == "silent"
                        and self.row_counts(rows[(2, 1)]) == self.played_counts(short, 0)
                        and rows[(3, 2)]["state"] == "receiving")
            try:
                wait_until(states_shown, interval=0.3, what="the page to show the three states")
            except AssertionError:
                raise AssertionError("page rows: %s" % self.rows(b))
            self.assertTrue(lossy_player.running() and steady_player.running(),
                            "a player ended too soon to tell")
            rows = b.rows()
            self.assertEqual([(r["gw"], r["line"]) for r in rows], [(1, 0), (2, 1), (3, 2)])
            self.assertEqual([r["fields"]["state"] for r in rows],
                             ["losing frames", "silent", "receiving"])
            # The collector at the top, and the charts drawn by the
            # packaged library (nothing from elsewhere).
            top = b.evaluate("Object.fromEntries(Array.from(document.querySelectorAll("
                             "'#collector [data-field]')).map(e => [e.dataset.field, "
                             "e.textContent]))")
            self.assertEqual((top["capture_file"], top["write_errors"]), ("none", "0"))
            self.assertTrue(b.evaluate("document.getElementById('charts-note').hidden"))
            b.wait_for("document.querySelectorAll('.chart canvas').length >= 3")
            b.screenshot(SCREENSHOT)

            # Once the lossy player is done, its line shows what it sent.
            self.assertEqual(lossy_player.wait(TIMEOUT * 4), 0, lossy_player.describe())
            want = self.played_counts(lossy, 7)
            try:
                wait_until(lambda: self.row_counts(self.rows(b)[(1, 0)]) == want,
                           interval=0.3, what="the lossy line's counts")
            except AssertionError:
                raise AssertionError("%s, expected %s" % (self.rows(b)[(1, 0)], want))
            # The page goes on: the steady line's count grows with its player.
            before = self.row_counts(self.rows(b)[(3, 2)])[3]
            wait_until(lambda: self.row_counts(self.rows(b)[(3, 2)])[3] > before,
                       what="the steady line's count to grow")
        steady_player.stop()
        with open(SCREENSHOT, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")


class HostileClientsTest(HttpTestCase):
    """Clients that misbehave, while a player plays: every record still
    reaches the collector and its dump."""

    ports = ("sync0",)

    def raw(self, data, source="127.0.0.1", wait_close=True):
        """Sends data from source on a new connection; returns what came
        back until the server closed it (or what came within a second)."""
        host, port = self.http.rsplit(":", 1)
        s = socket.create_connection((host, int(port)), timeout=TIMEOUT,
                                     source_address=(source, 0))
        with s:
            s.sendall(data)
            got = b""
            s.settimeout(TIMEOUT if wait_close else 1)
            try:
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    got += chunk
            except (socket.timeout, ConnectionResetError):
                pass
            return got

    def test_records_keep_coming_whatever_the_clients_do(self):
        col = self.start_chain()
        played = paced(range(3000, 3600), 40)
        player = self.play(played, port="sync0", name="player", wait=False)
        host, port = self.http.rsplit(":", 1)

        # Slow clients: a request head that never completes, a byte at a
        # time, on all 8 connections one address may hold; a ninth from the
        # same address is closed unanswered.
        slow = []
        for _ in range(8):
            s = socket.create_connection((host, int(port)), timeout=TIMEOUT,
                                         source_address=("127.0.0.2", 0))
            s.sendall(b"GET /metrics HTTP/1.1\r\n")
            slow.append(s)
        self.assertEqual(self.raw(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", "127.0.0.2"), b"")
        stop_trickle = threading.Event()

        def trickle():
            while not stop_trickle.wait(0.5):
                for s in slow:
                    try:
                        s.send(b"X")
                    except OSError:
                        pass
        trickler = threading.Thread(target=trickle)
        trickler.start()
        try:
            self.misbehave()
            self.parallel_requests()
            # The slow clients are closed by the server once their time is up.
            for s in slow:
                s.settimeout(TIMEOUT)
                try:
                    while s.recv(4096):
                        pass
                except ConnectionResetError:
                    pass
        finally:
            stop_trickle.set()
            trickler.join()
            for s in slow:
                s.close()

        self.assertTrue(player.running(), "the player ended before the clients were done")
        self.assertEqual(player.wait(TIMEOUT * 4), 0, player.describe())
        wait_until(lambda: self.lines().get((1, 0), {}).get("records_total") == 600,
                   what="all 600 records at the collector")
        recs = col.stop()
        self.assertEqual([r.seq for r in recs], [p.seq for p in played.played])
        self.assertEqual([r.frame for r in recs], [p.frame for p in played.played])
        self.assertEqual(col.summary()["invalid"], 0)

    def misbehave(self):
        # Other methods, other paths, paths that climb: 405 and 404, nothing
        # read from the file system.
        for method in ("POST", "PUT", "DELETE", "OPTIONS", "TRACE", "PATCH", "BREW"):
            status, headers, _ = self.get("/metrics", method)
            self.assertEqual((status, headers["Allow"]), (405, "GET, HEAD"), method)
        for path in ("/etc/passwd", "/metrics/", "/api/lines/1", "/index.html", "//metrics",
                     "/page.js/../metrics", "/../../../../etc/passwd",
                     "/%2e%2e/%2e%2e/etc/passwd", "/%2Fetc%2Fpasswd", "/dygraph.min.js%00"):
            got = self.raw(("GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
                            % path).encode())
            self.assertRegex(got, rb"^HTTP/1\.1 (404|400) ", path)
            self.assertNotIn(b"root:", got, path)
        status, headers, body = self.get("/metrics", "HEAD")
        self.assertEqual((status, body), (200, b""))
        self.assertEqual(self.get("/api/lines?since=abc")[0], 400)
        # An oversized head (64 KiB of header) is refused.
        got = self.raw(b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 65536 +
                       b"\r\n\r\n", "127.0.0.3")
        self.assertNotRegex(got, rb"^HTTP/1\.1 200 ")
        # Not HTTP at all.
        self.assertNotRegex(self.raw(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" * 10,
                                     "127.0.0.3"), rb"HTTP/1\.1 200 ")

    def parallel_requests(self):
        # curl from four addresses, five transfers at a time each, while
        # the slow clients hold their connections: every request answered.
        procs = []
        for n in range(4):
            urls = ["http://%s%s" % (self.http, p) for p in ("/metrics", "/api/lines", "/",
                                                           "/page.js", "/dygraph.min.js")] * 8
            argv = [CURL, "-sS", "--noproxy", "*", "-Z", "--parallel-max", "5",
                    "--interface", "127.0.0.%d" % (10 + n), "-w", "%{http_code}\\n"]
            argv += sum((["-o", "/dev/null", u] for u in urls), [])
            procs.append(subprocess.Popen(argv, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE, stdin=subprocess.DEVNULL))
        for p in procs:
            out, err = p.communicate(timeout=TIMEOUT * 2)
            self.assertEqual(p.returncode, 0, err)
            self.assertEqual(out.split(), [b"200"] * 40, err)


if __name__ == "__main__":
    unittest.main()
