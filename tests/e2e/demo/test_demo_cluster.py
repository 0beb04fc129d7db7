"""make demo-cluster as a user runs it: the summary it prints agrees with
the capture files it leaves (read back with tshark), and on every way out
(its end, Ctrl-C, SIGTERM, the consumer dying) nothing of it is left: no
process, no temporary directory; a run whose numbers do not agree fails."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fmon"))
from fmon_harness import BIN, TIMEOUT, wait_until  # noqa: E402

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../.."))
SCRIPT = os.path.join(SOURCE, "scripts", "demo-cluster.sh")
NATS_SERVER = shutil.which("nats-server") or "/usr/sbin/nats-server"
RECORDS = 1000  # per port, as the demo plays them


def session_processes(sid):
    """{pid: command line} of the processes of session sid."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[3]) != sid:  # the field after state, ppid and pgrp
                continue
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                found[int(entry)] = f.read().replace(b"\0", b" ").decode(errors="replace")
        except (OSError, IndexError):
            pass
    return found


class DemoRun:
    """What both tests do: start the demo, and see that it left nothing."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root (network namespaces, TUN devices)")
        if not os.access(NATS_SERVER, os.X_OK):
            raise unittest.SkipTest("nats-server is not installed (make deps installs it)")

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="cvdemotest.")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def start(self, argv):
        """The demo in a session of its own, as from a terminal; its output
        in files."""
        self.out = open(os.path.join(self.tmp, "out"), "w+")
        self.err = open(os.path.join(self.tmp, "err"), "w+")
        self.addCleanup(self.out.close)
        self.addCleanup(self.err.close)
        p = subprocess.Popen(argv, cwd=SOURCE, stdin=subprocess.DEVNULL, stdout=self.out,
                             stderr=self.err, start_new_session=True)
        self.addCleanup(self.kill_session, p.pid)
        return p

    def text(self, f):
        f.flush()
        f.seek(0)
        return f.read()

    def kill_session(self, sid):
        for pid in session_processes(sid):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass

    def finished(self, p, timeout=TIMEOUT * 6):
        """The demo's status, once it and everything it started are gone
        and its temporary directory with them."""
        rc = p.wait(timeout)
        out = self.text(self.out)
        wait_until(lambda: not session_processes(p.pid), 10,
                   "the demo's processes to end: %s" % session_processes(p.pid))
        work = re.search(r"stores and logs in (\S+)", out)
        self.assertTrue(work, out + self.text(self.err))
        left = os.listdir(work.group(1)) if os.path.exists(work.group(1)) else None
        self.assertIsNone(left, "temporary directory left\n" + out + self.text(self.err))
        return rc, out, self.text(self.err)


class ClusterDemo(DemoRun, unittest.TestCase):

    def test_make_demo_cluster(self):
        p = self.start(["make", "-s", "demo-cluster"])
        rc, out, err = self.finished(p, timeout=600)
        self.assertEqual(rc, 0, out + err)
        for gw, port in ((1, "sync0"), (2, "sync1")):
            self.assertIn("played:    %s (gateway %d): %d records" % (port, gw, RECORDS), out)
        total = 2 * RECORDS
        self.assertIn("collector: %d records received, published %d, unpublished 0"
                      % (total, total), out)
        self.assertIn("stream:    CVFMON holds %d records, 3 replicas" % total, out)
        files = int(re.search(r"consumer:  %d records, in (\d+) capture files" % total,
                              out).group(1))
        self.assertIn("capinfos:  %d packets" % total, out)
        self.assertRegex(out, r"ISUP\(ITU\) \d+ IAM")
        self.assertIn("== demo finished", out)

        # What the summary claims, from the files: every record once, each
        # line's in its own interface, the stream sequence of each.
        folder = os.path.join(SOURCE, "build", "demo-cluster")
        names = sorted(n for n in os.listdir(folder) if n.startswith("capture-"))
        self.assertGreater(len(names), 1, "the capture was not rotated")
        self.assertEqual(len(names), files)
        rows = []
        for name in names:
            r = subprocess.run(["tshark", "-r", os.path.join(folder, name), "-T", "fields",
                                "-E", "separator=|", "-e", "frame.interface_name",
                                "-e", "frame.comment"],
                               capture_output=True, text=True, timeout=TIMEOUT)
            self.assertEqual(r.returncode, 0, r.stderr)
            rows += [line.split("|") for line in r.stdout.splitlines()]
        self.assertEqual(sorted(int(c.split("=")[1]) for _, c in rows), list(range(1, total + 1)))
        per_line = {}
        for name, _ in rows:
            per_line[name] = per_line.get(name, 0) + 1
        self.assertEqual(per_line, {"gw1-line0": RECORDS, "gw2-line1": RECORDS})


class ClusterDemoWaysOut(DemoRun, unittest.TestCase):
    """The demo interrupted while it plays: by Ctrl-C (SIGINT to its whole
    process group), by SIGTERM to the demo, or by the consumer dying (its
    numbers then cannot agree)."""

    def consumer(self, sid):
        (pid,) = [pid for pid, cmd in session_processes(sid).items() if "--from-nats" in cmd]
        return pid

    def test_every_way_out_leaves_nothing(self):
        cases = (
            ("ctrl-c", lambda p: os.killpg(p.pid, signal.SIGINT), None),
            ("sigterm", lambda p: os.kill(p.pid, signal.SIGTERM), None),
            ("consumer killed", lambda p: os.kill(self.consumer(p.pid), signal.SIGKILL),
             "the consumer ended with status"),
        )
        for name, stop, said in cases:
            with self.subTest(name):
                p = self.start([SCRIPT, BIN])
                wait_until(lambda: "-- playing" in self.text(self.out) or p.poll() is not None,
                           TIMEOUT * 2, "the demo's traffic")
                self.assertIsNone(p.poll(), self.text(self.out) + self.text(self.err))
                time.sleep(1)
                stop(p)
                rc, out, err = self.finished(p)
                self.assertNotEqual(rc, 0, out + err)
                self.assertNotIn("== demo finished", out)
                if said:
                    self.assertIn(said, err)


if __name__ == "__main__":
    unittest.main()
