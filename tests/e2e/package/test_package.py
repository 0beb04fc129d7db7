"""The Debian packages of this build, as cpack makes them: lintian's verdict,
what they hold, and a full install, use, removal and purge on this machine,
which is left as it was found (a stale install from an interrupted run is
purged first)."""

import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

for area in ("fmon", "cvfcollect"):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", area))
import browser  # noqa: E402
from fmon_harness import NetNs, Proc, wait_until  # noqa: E402
from unit_harness import BUILD_DIR  # noqa: E402

PACKAGES = ("corvane-utils", "corvane-tools")
# Where the packages put files, and where their services keep state.
WATCHED = ("/usr/bin", "/usr/lib/cvsim", "/usr/share/man/man1", "/usr/share/doc/corvane-utils",
           "/usr/share/doc/corvane-tools", "/lib/systemd/system", "/usr/lib/x86_64-linux-gnu/wireshark",
           "/etc/cvfmon", "/etc/cvfcollect-consumer", "/var/lib/cvfcollect",
           "/var/lib/cvfcollect-consumer", "/var/lib/private")
# The state directories of cvfcollect.service and of the stream readers'
# instances, where systemd keeps them for a dynamic user: (the name under
# /var/lib, a symbolic link, and the directory under /var/lib/private).
STATES = ("cvfcollect", "cvfcollect-consumer")
# lintian warnings that do not apply: the packages are not uploaded to
# Debian, so their first changelog entry closes no bug report.
ACCEPTED_WARNINGS = {"initial-upload-closes-no-bugs"}


def run(*argv, **kw):
    kw.setdefault("timeout", 300)
    return subprocess.run(list(argv), capture_output=True, text=True, **kw)


def status(pkg):
    r = run("dpkg-query", "-W", "-f=${db:Status-Status}", pkg)
    return r.stdout.strip() if r.returncode == 0 else ""


def purge_ours():
    stale = [p for p in PACKAGES if status(p) not in ("", "not-installed")]
    if stale:
        run("dpkg", "--purge", *stale)


def snapshot():
    paths = set()
    for top in WATCHED:
        if os.path.lexists(top):
            paths.add(top)
        for d, dirs, files in os.walk(top):
            paths.update(os.path.join(d, n) for n in dirs + files)
    return paths


def lua_plugin_dir():
    """Wireshark's global Lua plugin folder, as tshark reports it."""
    if not shutil.which("tshark"):
        return None
    for line in run("tshark", "-G", "folders").stdout.splitlines():
        if line.startswith("Global Lua Plugins:"):
            return line.split(":", 1)[1].strip()
    return None


# A short forward on the simulator, installed programs only: the collector
# takes three records, then the monitor is stopped.
FORWARD = r"""
set -u
W=$1
cvfcollect -u -b 127.0.0.1 -p 5000 -c 3 -j "$W/col.json" -r "$W/ready" 2>"$W/col.err" &
C=$!
n=0; while [ ! -e "$W/ready" ] && [ $n -lt 300 ]; do sleep 0.1; n=$((n+1)); done
cvfmonUdp sync0 127.0.0.1 5000 7 2>"$W/mon.err" &
M=$!
printf '1 Rx 100 0102\n2 Tx 110 030405\n3 Rx 120 06\n' >"$W/s.scn"
cvsim play --port sync0 --scenario "$W/s.scn" 2>"$W/play.err"
wait $C; echo "collector=$?"
kill -TERM $M; wait $M; echo "monitor=$?"
echo "which=$(command -v cvfmonUdp) $(command -v cvfcollect) $CVSIM_BIN"
"""


# The collector's HTTP side as cvfcollect.service serves it, and the files
# of the page that the collector reads from the recommended package.
HTTP = "127.0.0.1:9110"
DYGRAPHS = "/usr/share/javascript/dygraphs"
ALERTS = "/usr/share/doc/corvane-tools/examples/cvfcollect-alerts.yml"
# README commands run here as written, with the installed package.
CHECK_RULES = "promtool check rules " + ALERTS
CHECK_METRICS = "curl -s http://%s/metrics | promtool check metrics" % HTTP
CONSUMER_CONF = "/etc/cvfcollect-consumer/capture.conf"
INSTALL_CONSUMER_CONF = ("install -D -m 644 /usr/share/doc/corvane-tools/examples/"
                         "cvfcollect-consumer.conf " + CONSUMER_CONF)


def record(seq, gw, line, frame):
    """A version 0 record, as the monitor forwards it over UDP."""
    return struct.pack(">HQHBBBBH", seq, int(time.time()), 250, gw, line, seq & 1, 0,
                       len(frame)) + frame


def curl(path):
    """(status, content type, body) of GET path on the collector."""
    r = subprocess.run(["curl", "-s", "-o", "-", "-w", "\n%{http_code} %{content_type}",
                        "http://%s%s" % (HTTP, path)], capture_output=True, timeout=60)
    body, _, tail = r.stdout.rpartition(b"\n")
    status, _, ctype = tail.decode().partition(" ")
    return int(status or 0), ctype, body


class DebianPackages(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root (dpkg -i)")
        for tool in ("cpack", "dpkg-deb", "lintian", "systemd-analyze"):
            if not shutil.which(tool):
                raise unittest.SkipTest(tool + " missing (make deps)")
        cls.tmp = tempfile.mkdtemp(prefix="cv-pkg-")
        r = run("cpack", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
                "-B", os.path.join(cls.tmp, "out"), timeout=600)
        if r.returncode != 0:
            shutil.rmtree(cls.tmp, True)
            raise AssertionError("cpack failed:\n" + r.stdout + r.stderr)
        out = os.path.join(cls.tmp, "out")
        cls.debs = {}
        for name in os.listdir(out):
            if name.endswith(".deb"):
                path = os.path.join(out, name)
                cls.debs[run("dpkg-deb", "-f", path, "Package").stdout.strip()] = path
        assert sorted(cls.debs) == sorted(PACKAGES), cls.debs

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, True)

    def test_lintian_finds_no_errors_and_no_unknown_warnings(self):
        for pkg, deb in sorted(self.debs.items()):
            r = run("lintian", "--fail-on", "error", "--no-tag-display-limit", deb)
            sys.stderr.write("lintian %s:\n%s" % (pkg, r.stdout))
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertNotRegex(r.stdout, r"(?m)^E: ")
            warned = set(re.findall(r"(?m)^W: [^:]+: (\S+)", r.stdout))
            self.assertEqual(warned - ACCEPTED_WARNINGS, set(), r.stdout)

    def test_contents(self):
        """What lintian does not judge: computed dependencies (the HTTP
        library of the collector's --http and the NATS client of --nats
        among them; the NATS server only recommended), one version for both,
        no setuid or setgid file, the dissector where Wireshark looks for
        global Lua plugins, the stream reader's unit and its settings."""
        versions = set()
        depends = run("dpkg-deb", "-f", self.debs["corvane-tools"], "Depends").stdout
        recommends = run("dpkg-deb", "-f", self.debs["corvane-tools"], "Recommends").stdout
        self.assertIn("libmicrohttpd", depends)
        self.assertRegex(depends, r"\blibnats[\d.]+ \(>= ")
        self.assertNotIn("nats-server", depends)
        self.assertIn("nats-server", [p.strip() for p in recommends.split(",")])
        tools = run("dpkg-deb", "-c", self.debs["corvane-tools"]).stdout
        self.assertIn("./lib/systemd/system/cvfcollect-consumer@.service", tools)
        self.assertIn("./usr/share/doc/corvane-tools/examples/cvfcollect-consumer.conf", tools)
        for pkg, deb in self.debs.items():
            with self.subTest(pkg=pkg):
                self.assertIn("libc6 (>=", run("dpkg-deb", "-f", deb, "Depends").stdout)
                versions.add(run("dpkg-deb", "-f", deb, "Version").stdout)
                for line in run("dpkg-deb", "-c", deb).stdout.splitlines():
                    self.assertNotRegex(line.split()[0], "[sS]", line)
        self.assertEqual(len(versions), 1, versions)
        folder = lua_plugin_dir()
        if folder:
            listing = run("dpkg-deb", "-c", self.debs["corvane-utils"]).stdout
            self.assertIn("." + folder + "/cvfmon.lua", listing)

    def clean_machine(self):
        """Purges a stale install and arranges for the machine to be left as
        it is now; returns what the watched folders hold."""
        purge_ours()
        before = snapshot()
        self.addCleanup(self.leave_as_found, before)
        return before

    def test_tools_alone_demo_names_the_missing_package(self):
        before = self.clean_machine()
        r = run("dpkg", "-i", self.debs["corvane-tools"])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertTrue(os.path.islink("/usr/lib/cvsim/CTFlash"))
        self.assertFalse(os.path.exists("/usr/lib/cvsim/CTFlash"))

        r = run("cvsim", "tolvi", "demo", stdin=subprocess.DEVNULL,
                env={"PATH": "/usr/bin:/bin", "TMPDIR": self.tmp})
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertIn("CTFlash is not installed: install the corvane-utils package", r.stderr)
        self.assertNotIn("build CTFlash", r.stderr)

        r = run("dpkg", "--purge", "corvane-tools")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual((sorted(snapshot() - before), sorted(before - snapshot())), ([], []),
                         "(left behind, removed)")

    def test_live_page_from_the_installed_collector(self):
        """The installed collector serves its page, the page's charting
        library (read from the package corvane-tools recommends) and its
        metrics on loopback as its unit does, and the page, in headless
        Chromium, shows a row and a chart for each line records came from;
        the shipped alerting rules pass promtool."""
        for tool in ("curl", "promtool"):
            if not shutil.which(tool):
                self.fail(tool + " missing (make deps)")
        if not browser.CHROMIUM:
            self.fail("chromium missing (make deps)")
        recommends = run("dpkg-deb", "-f", self.debs["corvane-tools"], "Recommends").stdout
        self.assertIn("libjs-dygraphs", recommends)
        before = self.clean_machine()
        r = run("dpkg", "-i", self.debs["corvane-tools"])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        r = run("sh", "-c", CHECK_RULES)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("SUCCESS", r.stdout)

        ns = NetNs()
        ns.enter()
        self.addCleanup(ns.leave)
        work = tempfile.mkdtemp(dir=self.tmp)
        ready = os.path.join(work, "ready")
        col = Proc("collector", ["/usr/bin/cvfcollect", "-u", "-b", "127.0.0.1", "-p", "5000",
                                 "--http", HTTP, "-r", ready],
                   {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}, work)
        self.addCleanup(col.stop)
        wait_until(lambda: os.path.exists(ready) or not col.running(), 30, "the collector")
        self.assertIn("listening http " + HTTP, col.err(), col.describe())
        self.assertNotIn("no charts", col.err())
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for i in range(6):  # lines 1 and 2, numbers 1, 2, 3 on each
                s.sendto(record(1 + i // 2, 3, 1 + i % 2, b"\x7e" * i), ("127.0.0.1", 5000))

        with open(os.path.join(DYGRAPHS, "dygraph.min.js"), "rb") as f:
            dygraphs = f.read()
        for path, ctype, check in (
                ("/", "text/html", lambda b: b'src="page.js"' in b and b'src="dygraph.min.js"' in b),
                ("/page.js", "text/javascript", lambda b: b"api/lines" in b),
                ("/dygraph.min.js", "text/javascript", lambda b: b == dygraphs),
                ("/metrics", "text/plain; version=0.0.4",
                 lambda b: b'cvfcollect_records_total{gw="3",line="2",dir="tx"} 2\n' in b)):
            with self.subTest(path=path):
                deadline = time.monotonic() + 10  # the records may still be on their way
                status, got_type, body = curl(path)
                while not (status == 200 and check(body)) and time.monotonic() < deadline:
                    time.sleep(0.1)
                    status, got_type, body = curl(path)
                self.assertEqual(status, 200, body[:200])
                self.assertTrue(got_type.startswith(ctype), got_type)
                self.assertTrue(check(body), body[:300])
        r = run("sh", "-c", CHECK_METRICS)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

        with browser.Browser() as b:
            b.open("http://%s/" % HTTP)
            b.wait_for("document.body.dataset.updated >= 1 && "
                       "document.querySelectorAll('[data-gw]').length == 2")
            rows = b.rows()
            self.assertEqual([(row["gw"], row["line"], row["state"]) for row in rows],
                             [(3, 1, "receiving"), (3, 2, "receiving")], rows)
            b.wait_for("document.querySelectorAll('[data-gw] canvas').length >= 2")
            self.assertFalse(b.evaluate("document.body.classList.contains('no-charts')"))
        col.signal(signal.SIGTERM)
        self.assertEqual(col.wait(), 0, col.describe())

        r = run("dpkg", "--purge", "corvane-tools")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual((sorted(snapshot() - before), sorted(before - snapshot())), ([], []),
                         "(left behind, removed)")

    def test_install_use_remove_purge(self):
        before = self.clean_machine()

        # as the README installs them: apt takes what they depend on from the
        # machine (installed with the build's dependencies)
        r = run("apt-get", "install", "-y",
                *[os.path.abspath(p) for p in self.debs.values()],
                env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        for pkg in PACKAGES:
            self.assertEqual(status(pkg), "installed")

        made = not os.path.lexists("/etc/cvfmon")
        conf = "/etc/cvfmon/sync0.conf"
        with self.subTest("a port's configuration from the shipped example"):
            self.addCleanup(lambda: shutil.rmtree("/etc/cvfmon", True) if made else
                            (os.path.lexists(conf) and os.unlink(conf)))
            self.assertFalse(os.path.lexists(conf), "a configuration of sync0 exists already")
            r = run("install", "-D", "-m", "644",
                    "/usr/share/doc/corvane-utils/examples/sync0.conf", conf)
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(conf) as f:
                self.assertRegex(f.read(), r'(?m)^CVFMON_ARGS="[^"]+"$')

        consumer_made = not os.path.lexists(os.path.dirname(CONSUMER_CONF))
        with self.subTest("a stream reader's settings from the shipped example"):
            self.addCleanup(lambda: shutil.rmtree(os.path.dirname(CONSUMER_CONF), True)
                            if consumer_made else
                            (os.path.lexists(CONSUMER_CONF) and os.unlink(CONSUMER_CONF)))
            self.assertFalse(os.path.lexists(CONSUMER_CONF), "a reader 'capture' exists already")
            r = run("sh", "-c", INSTALL_CONSUMER_CONF)
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(CONSUMER_CONF) as f:
                self.assertRegex(f.read(), r"(?m)^CVFCOLLECT_NATS=nats://")

        with self.subTest("systemd-analyze verify"):
            for unit in ("cvfmonUdp@sync0.service", "cvfcollect.service",
                         "cvfcollect-consumer@capture.service"):
                r = run("systemd-analyze", "verify", unit)
                self.assertEqual((r.returncode, r.stderr), (0, ""), unit + "\n" + r.stdout)

        with self.subTest("usage"):
            r = run("cvfmonUdp", "-h")
            self.assertEqual(r.returncode, 1)
            self.assertIn("usage: cvfmonUdp device IPaddress port GwId", r.stderr)
            r = run("CTFlash", "-h")
            self.assertEqual(r.returncode, 1)
            self.assertIn("Command Line Options for CTFlash", r.stdout)
            r = run("cvfcollect", "-h")
            self.assertEqual(r.returncode, 0)
            self.assertIn("usage: cvfcollect", r.stderr)
            self.assertEqual(run("man", "-w", "cvsim-tolvi").returncode, 0)

        with self.subTest("setcap for interactive use"):
            r = run("setcap", "cap_net_raw,cap_net_admin=ep", "/usr/bin/cvfmonUdp")
            self.assertEqual(r.returncode, 0, r.stderr)
            caps = run("getcap", "/usr/bin/cvfmonUdp").stdout
            self.assertIn("cap_net_admin,cap_net_raw=ep", caps)

        with self.subTest("forward on the simulator"):
            work = tempfile.mkdtemp(dir=self.tmp)
            env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8"}
            r = run("cvsim", "run", "--ports", "sync0", "--timeout", "60", "--",
                    "sh", "-c", FORWARD, "forward", work, env=env, cwd=work)
            out = r.stdout + r.stderr
            self.assertIn("collector=0", out)
            self.assertIn("monitor=2", out)
            self.assertIn("which=/usr/bin/cvfmonUdp /usr/bin/cvfcollect /usr/lib/cvsim", out)
            with open(os.path.join(work, "col.json")) as f:
                self.assertEqual(json.load(f)["records"], 3, out)

        # What cvfcollect.service and a reader's instance would have left:
        # their dynamic users' state.
        self.made_private = not os.path.exists("/var/lib/private")
        for name in STATES:
            link, private = "/var/lib/" + name, "/var/lib/private/" + name
            if os.path.lexists(link) or os.path.lexists(private):
                continue
            self.made_states.append(name)
            os.makedirs(private)
            with open(os.path.join(private, "capture-00001.pcapng"), "wb") as f:
                f.write(b"\x0a\x0d\x0d\x0a")
            os.symlink("private/" + name, link)

        shipped = [line.split()[5][1:] for deb in self.debs.values()
                   for line in run("dpkg-deb", "-c", deb).stdout.splitlines()
                   if not line.startswith("d")]
        self.assertIn("/usr/bin/cvfmonUdp", shipped)
        # The port's and the reader's configuration are the administrator's,
        # not the package's: removed by hand before the package, as a user
        # would.
        if made:
            shutil.rmtree("/etc/cvfmon", True)
        elif os.path.lexists(conf):
            os.unlink(conf)
        if consumer_made:
            shutil.rmtree(os.path.dirname(CONSUMER_CONF), True)
        elif os.path.lexists(CONSUMER_CONF):
            os.unlink(CONSUMER_CONF)
        r = run("dpkg", "-r", *PACKAGES)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual([p for p in shipped if os.path.lexists(p)], [], "left by dpkg -r")

        r = run("dpkg", "--purge", *PACKAGES)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        for pkg in PACKAGES:
            self.assertIn(status(pkg), ("", "not-installed"))
        for name in self.made_states:
            self.assertFalse(os.path.lexists("/var/lib/" + name), name)
            self.assertFalse(os.path.lexists("/var/lib/private/" + name), name)
        self.remove_private()
        after = snapshot()
        self.assertEqual((sorted(after - before), sorted(before - after)), ([], []),
                         "(left behind, removed)")

    made_private = False

    def setUp(self):
        self.made_states = []

    def remove_private(self):
        """systemd's folder of dynamic users' state, when this test made it."""
        if self.made_private:
            try:
                os.rmdir("/var/lib/private")
            except OSError:
                pass

    def leave_as_found(self, before):
        purge_ours()
        for name in self.made_states:
            shutil.rmtree("/var/lib/private/" + name, True)
            if os.path.islink("/var/lib/" + name):
                os.unlink("/var/lib/" + name)
        self.remove_private()


if __name__ == "__main__":
    unittest.main()
