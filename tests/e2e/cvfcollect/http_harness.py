"""Shared set-up of the end-to-end tests of cvfcollect --http: the player
-> monitor -> collector chain of fmon_harness with the collector serving
HTTP, and a Prometheus server that scrapes it."""

import json
import os
import re
import shutil
import sys
import urllib.error
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fmon"))
from fmon_harness import MonitorTestCase, Scenario, TIMEOUT, wait_until  # noqa: E402

PROMETHEUS = shutil.which("prometheus")

# A frame size with which a few records fill the monitor's reorder store
# (8192 bytes): the numbers missing before them are given up and forwarded
# as a gap.
LARGE = 300

# Never through a proxy that the environment may name.
DIRECT = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def paced(seqs, pause_ms, size=12, first_tx=1):
    """A scenario of records with the given numbers, one each pause_ms."""
    sc = Scenario()
    for i, seq in enumerate(seqs):
        sc.rec(seq, 1000 + i * pause_ms, bytes([seq & 0xFF]) * size, (i + first_tx) % 2)
        sc.pause(pause_ms)
    return sc


def counts(scenario):
    """(tx, rx, frame bytes tx, frame bytes rx) of what a scenario plays."""
    tx = [p for p in scenario.played if p.direction == 1]
    rx = [p for p in scenario.played if p.direction != 1]
    return (len(tx), len(rx), sum(len(p.frame) for p in tx), sum(len(p.frame) for p in rx))


class HttpTestCase(MonitorTestCase):
    """A collector with --http on 127.0.0.1 and one monitor per port, each
    port its own gateway (gw 1 on sync0, 2 on sync1, ...; line = the port's
    number)."""

    ports = ("sync0", "sync1", "sync2")

    def start_chain(self, *extra, ports=None, name="collector"):
        self.col = self.collector(extra=["--http", "127.0.0.1:0"] + [str(a) for a in extra],
                                  name=name)
        with open(self.col.ready_path) as f:
            self.http = re.search(r"^listening http (\S+)$", f.read(), re.M).group(1)
        for i, port in enumerate(ports or self.ports):
            mon = self.monitor(port, "127.0.0.1", 5000, i + 1, name="monitor-" + port)
            self.wait_monitoring(mon, port)
        return self.col

    def get(self, path, method="GET"):
        """(status, headers, body) of one request to the collector."""
        req = urllib.request.Request("http://%s%s" % (self.http, path), method=method)
        try:
            with DIRECT.open(req, timeout=TIMEOUT) as r:
                return r.status, r.headers, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.headers, e.read()

    def lines(self):
        """The collector's lines from /api/lines, by (gw, line)."""
        status, _, body = self.get("/api/lines")
        self.assertEqual(status, 200)
        return {(ln["gw"], ln["line"]): ln for ln in json.loads(body)["lines"]}

    def assert_line_counts(self, line, scenario, lost=0):
        tx, rx, _, _ = counts(scenario)
        self.assertEqual((line["tx"], line["rx"], line["lost_total"]), (tx, rx, lost), line)

    def alarms(self, what):
        """The collector's alarm lines that end in what."""
        return re.findall(r"^cvfcollect: \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d (gw \d+ line \d+: %s)$"
                          % what, self.col.proc.err(), re.M)


class Prometheus:
    """Debian's prometheus scraping the collector every second, with its
    configuration and storage in the test's directory."""

    def __init__(self, test, target, port=9090):
        self.test = test
        self.addr = "127.0.0.1:%d" % port
        d = os.path.join(test.tmp, "prometheus")
        os.makedirs(os.path.join(d, "data"))
        cfg = os.path.join(d, "prometheus.yml")
        with open(cfg, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: cvfcollect\n"
                    "    static_configs:\n      - targets: ['%s']\n" % target)
        self.proc = test.start("prometheus", [
            PROMETHEUS, "--config.file=" + cfg, "--storage.tsdb.path=" + os.path.join(d, "data"),
            "--web.listen-address=" + self.addr, "--log.level=warn"])
        wait_until(lambda: self._ready() or not self.proc.running(), what="prometheus ready")
        test.assertTrue(self.proc.running(), self.proc.describe())

    def _ready(self):
        try:
            with DIRECT.open("http://%s/-/ready" % self.addr, timeout=5) as r:
                return r.status == 200
        except OSError:
            return False

    def query(self, expr):
        """{(gw, line, dir or None): value} of an instant query."""
        url = "http://%s/api/v1/query?%s" % (self.addr, urllib.parse.urlencode({"query": expr}))
        with DIRECT.open(url, timeout=TIMEOUT) as r:
            answer = json.load(r)
        self.test.assertEqual(answer["status"], "success", answer)
        return {(int(s["metric"]["gw"]), int(s["metric"]["line"]), s["metric"].get("dir")):
                float(s["value"][1]) for s in answer["data"]["result"]}

    def wait_for(self, expr, expected, what):
        """Waits until the query gives expected (a dict as query returns);
        returns it."""
        got = {}

        def same():
            got.clear()
            got.update(self.query(expr))
            return got == expected
        try:
            wait_until(same, interval=0.5, what=what)
        except AssertionError:
            raise AssertionError("%s: %s, expected %s" % (what, got, expected))
        return got
