"""The systemd units run what they say: each unit's ExecStart, expanded as
systemd expands it (specifiers, EnvironmentFile variables), runs from the
build tree with the user and capabilities the unit gives, against the
simulated sync driver (and, for the stream reader, a real NATS JetStream
cluster)."""

import glob
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

for area in ("fmon", "cvfcollect"):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", area))
from fmon_harness import MonitorTestCase, NetNs, Proc, Scenario, wait_until  # noqa: E402
from nats_harness import NATS_SERVER, NatsCluster  # noqa: E402
from test_capture import has_packets  # noqa: E402
from unit_harness import (BIN, build_tree_argv, exec_start, read_environment_file,  # noqa: E402
                          read_unit, sandbox_prefix, specifiers, staged_units, unit_values)

UNIT_DIR = "lib/systemd/system"
# Users that stand in for the dynamic users systemd would allocate.
MONITOR_UID = 61901
COLLECTOR_UID = 61902
CONSUMER_UID = 61903


def stage_unit(cls, name):
    """Stages the install for the test class, until it ends, and reads the unit name from it."""
    cls.stage = staged_units()
    cls.addClassCleanup(cls.stage.cleanup)
    cls.unit = read_unit(os.path.join(cls.stage.name, UNIT_DIR, name))


class MonitorUnit(MonitorTestCase):
    """cvfmonUdp@sync0.service with the shipped example as /etc/cvfmon/sync0.conf."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        stage_unit(cls, "cvfmonUdp@.service")

    def test_exec_start_forwards_as_its_own_user_and_stops_cleanly(self):
        name = "cvfmonUdp@sync0.service"
        env_file = specifiers(unit_values(self.unit, "Service", "EnvironmentFile")[0], name)
        self.assertEqual(env_file, "/etc/cvfmon/sync0.conf")
        example = os.path.join(self.stage.name, "usr/share/doc/corvane-utils/examples/sync0.conf")
        argv = build_tree_argv(exec_start(self.unit, name, read_environment_file(example)))
        self.assertEqual(argv[1], "sync0", argv)
        host, port, gw = argv[2], int(argv[3]), int(argv[4])

        # The unit's user owns nothing here: only the simulator's files must
        # be reachable for it, as the real driver needs none.
        os.chmod(self.tmp, 0o755)
        for top, dirs, files in os.walk(self.simdir):
            for n in dirs + files:
                os.chmod(os.path.join(top, n), 0o777 if n in dirs else 0o666)
        os.chmod(self.simdir, 0o777)

        col = self.collector(port=port, host=host, count=10)
        mon = self.start("monitor", sandbox_prefix(self.unit, MONITOR_UID) + argv)
        self.wait_monitoring(mon)
        self.play(Scenario().recs(range(1, 11)))
        recs = col.finished()
        self.assertEqual([(r.seq, r.gw, r.line) for r in recs],
                         [(s, gw, 0) for s in range(1, 11)], mon.describe())

        # systemd stops it with KillSignal=; the status it then ends with
        # must count as success, and the port leaves monitor mode.
        sig = getattr(signal, unit_values(self.unit, "Service", "KillSignal")[0])
        rc = self.stop_monitor(mon, sig)
        success = " ".join(unit_values(self.unit, "Service", "SuccessExitStatus")).split()
        self.assertIn(str(rc), success)
        self.assertEqual(self.monitor_state(), "0")


def tcp_listening(port):
    for table in ("/proc/self/net/tcp", "/proc/self/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    cols = line.split()
                    if cols[1].endswith(":%04X" % port) and cols[3] == "0A":
                        return True
        except FileNotFoundError:
            pass
    return False


def record(seq, frame):
    return struct.pack(">HQHBBBBH", seq, int(time.time()), 250, 3, 1, seq & 1, 0, len(frame)) + frame


class CollectorUnit(unittest.TestCase):
    """cvfcollect.service with its state directory in a temporary one."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root (a network namespace, another user)")
        if not os.access(os.path.join(BIN, "cvfcollect"), os.X_OK):
            raise unittest.SkipTest("cvfcollect not built yet")
        if not shutil.which("capinfos"):
            raise AssertionError("capinfos missing: it comes with tshark (make deps)")
        stage_unit(cls, "cvfcollect.service")

    def test_exec_start_writes_a_capture_in_its_state_directory(self):
        self.assertEqual(unit_values(self.unit, "Service", "StateDirectory"), ["cvfcollect"])
        argv = build_tree_argv(exec_start(self.unit, "cvfcollect.service", {}))

        tmp = self.enterContext(tempfile.TemporaryDirectory(prefix="cv-unit-"))
        os.chmod(tmp, 0o755)
        state = os.path.join(tmp, "cvfcollect")
        os.mkdir(state, 0o750)
        os.chown(state, COLLECTOR_UID, COLLECTOR_UID)
        real = "/var/lib/cvfcollect"
        self.assertTrue(any(a.startswith(real + "/") for a in argv), argv)
        argv = [state + a[len(real):] if a.startswith(real + "/") else a for a in argv]
        port = int(argv[argv.index("-p") + 1])
        # With rotation, capture.pcapng names the series capture-00001.pcapng, ...
        stem, ext = os.path.splitext(next(a for a in argv if a.startswith(state + "/")))
        capture = stem + "-00001" + ext

        ns = NetNs()
        ns.enter()
        self.addCleanup(ns.leave)
        col = Proc("collector", sandbox_prefix(self.unit, COLLECTOR_UID) + argv,
                   dict(os.environ), tmp)
        self.addCleanup(col.stop)
        wait_until(lambda: tcp_listening(port) or not col.running(), 30, "collector listening")
        self.assertTrue(col.running(), col.describe())
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for seq in range(1, 6):
                s.sendto(record(seq, bytes(range(seq * 4))), ("127.0.0.1", port))
        with socket.create_connection(("127.0.0.1", port)) as s:
            s.sendall(b"".join(b"\x01\x00" + record(seq, b"\x7e" * seq) for seq in range(6, 9)))
        # The collector writes its capture out whenever its sockets are drained.
        wait_until(lambda: has_packets(capture, 8) or not col.running(), 60,
                   "the capture's 8 packets")
        # Its metrics on the loopback address only, as ExecStart says.
        http = argv[argv.index("--http") + 1]
        self.assertTrue(http.startswith("127.0.0.1:"), argv)
        direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        with direct.open("http://%s/metrics" % http, timeout=30) as r:
            metrics = r.read().decode()
        for d in ("tx", "rx"):
            self.assertIn('\ncvfcollect_records_total{gw="3",line="1",dir="%s"} 4\n' % d, metrics)
        col.signal(signal.SIGTERM)
        self.assertEqual(col.wait(), 0, col.describe())

        self.assertTrue(os.path.exists(capture), "%s\n%s" % (os.listdir(state), col.describe()))
        self.assertEqual(os.stat(capture).st_uid, COLLECTOR_UID)
        with open(capture, "rb") as f:
            self.assertEqual(f.read(4), b"\x0a\x0d\x0d\x0a", "not a pcapng file")
        r = subprocess.run(["capinfos", "-M", "-c", capture], capture_output=True, text=True)
        self.assertRegex(r.stdout, r"Number of packets:\s+8\b", r.stdout + r.stderr)


@unittest.skipUnless(os.access(NATS_SERVER, os.X_OK), "nats-server is not installed (make deps)")
class ConsumerUnit(MonitorTestCase):
    """cvfcollect-consumer@capture.service with the shipped example as
    /etc/cvfcollect-consumer/capture.conf, reading what a collector of the
    simulated port published to a real cluster, its state directory in a
    temporary one; started again, as systemd restarts it, it goes on where
    it stopped."""
    STATE = "/var/lib/cvfcollect-consumer/capture"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not shutil.which("capinfos"):
            raise AssertionError("capinfos missing: it comes with tshark (make deps)")
        stage_unit(cls, "cvfcollect-consumer@.service")

    def unit_argv(self, state):
        """ExecStart of the instance, the example's servers replaced by
        the test cluster's and its state directory by state."""
        name = "cvfcollect-consumer@capture.service"
        env_file = specifiers(unit_values(self.unit, "Service", "EnvironmentFile")[0], name)
        self.assertEqual(env_file, "/etc/cvfcollect-consumer/capture.conf")
        self.assertEqual(specifiers(unit_values(self.unit, "Service", "StateDirectory")[0], name),
                         self.STATE[len("/var/lib/"):])
        example = os.path.join(self.stage.name,
                               "usr/share/doc/corvane-tools/examples/cvfcollect-consumer.conf")
        env = read_environment_file(example)
        self.assertRegex(env["CVFCOLLECT_NATS"], r"^nats://")
        env["CVFCOLLECT_NATS"] = self.cluster.urls()
        argv = build_tree_argv(exec_start(self.unit, name, env))
        self.assertEqual(argv[argv.index("--durable") + 1], "capture", argv)
        self.assertTrue(any(a.startswith(self.STATE + "/") for a in argv), argv)
        return [state + a[len(self.STATE):] if a.startswith(self.STATE + "/") else a
                for a in argv]

    def publish(self, seqs):
        self.play(Scenario().recs(seqs), name="player-%d" % seqs[0])

    def test_exec_start_captures_what_was_published_and_goes_on_after_a_restart(self):
        self.cluster = NatsCluster(self).start()
        os.chmod(self.tmp, 0o755)
        state = os.path.join(self.tmp, "capture")
        os.mkdir(state, 0o750)
        os.chown(state, CONSUMER_UID, CONSUMER_UID)
        argv = self.unit_argv(state)

        col = self.collector(extra=["--nats", self.cluster.urls()])
        mon = self.monitor("sync0", "127.0.0.1", 5000, 4)
        self.wait_monitoring(mon)
        self.publish(range(1, 21))
        files = os.path.join(state, "capture-*.pcapng")

        def run_until(name, first, count):
            """The unit's program until file number first holds count
            packets, stopped as systemd stops it (SIGTERM, a clean end)."""
            cons = self.start(name, sandbox_prefix(self.unit, CONSUMER_UID) + argv)
            path = os.path.join(state, "capture-%05d.pcapng" % first)
            wait_until(lambda: has_packets(path, count) or not cons.running(), 60,
                       "%d packets in %s" % (count, path))
            cons.signal(signal.SIGTERM)
            self.assertEqual(cons.wait(), 0, cons.describe())
            return path

        first = run_until("consumer-1", 1, 20)
        self.publish(range(21, 31))
        second = run_until("consumer-2", 2, 10)
        col.stop()
        self.assertEqual(col.summary()["nats_unpublished"], 0)

        self.assertEqual(sorted(glob.glob(files)), [first, second])
        comments = []
        for path in (first, second):
            self.assertEqual(os.stat(path).st_uid, CONSUMER_UID)
            r = subprocess.run(["tshark", "-r", path, "-T", "fields", "-e", "frame.interface_name",
                                "-e", "frame.comment"], capture_output=True, text=True, timeout=60)
            rows = [line.split("\t") for line in r.stdout.splitlines()]
            self.assertEqual({name for name, _ in rows}, {"gw4-line0"}, r.stdout + r.stderr)
            comments += [c for _, c in rows]
        self.assertEqual(comments, ["nats-seq=%d" % n for n in range(1, 31)])


if __name__ == "__main__":
    unittest.main()
