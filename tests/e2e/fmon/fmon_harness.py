"""Harness for the end-to-end tests of cvfmonUdp.

Every test runs in a network namespace of its own: the test process enters a
fresh one in setUp (unshare CLONE_NEWNET), brings lo up, creates the
simulated sync ports with `cvsim port add` and leaves the namespace again in
tearDown. Everything the test starts (collector, monitor, traffic player)
inherits the namespace, so nothing ever leaves the machine and tests running
side by side never meet.

The binaries come from $CV_BIN; $CV_WORDSIZE says which monitor-record layout
the simulated driver must produce for this build's monitor. Waits are on
conditions (a line in a log, a record count, a process exit) with generous
time-outs, never on the clock alone.
"""

import ctypes
import fcntl
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest
from collections import namedtuple

BIN = os.environ.get("CV_BIN", os.path.join(os.path.dirname(__file__), "../../../build/x64/bin"))
BIN = os.path.abspath(BIN)
BUILD = os.environ.get("CV_BUILD", "x64")
WORDSIZE = int(os.environ.get("CV_WORDSIZE", "64"))

# The sanitizer build is several times slower; every time-out scales with it.
SLOW = 4.0 if BUILD == "asan" else 1.0
TIMEOUT = 30.0 * SLOW

MONITOR = os.path.join(BIN, "cvfmonUdp")
CVSIM = os.path.join(BIN, "cvsim")
COLLECT = os.path.join(BIN, "cvfcollect")
PRELOAD = os.path.join(BIN, "$LIB", "libcvsim.so")  # $LIB is expanded by the loader

# Interface flags and requests.
IFF_UP = 0x1
IFF_RUNNING = 0x40
SIOCGIFFLAGS = 0x8913
SIOCSIFFLAGS = 0x8914
CLONE_NEWNET = 0x40000000

HDR_V0 = 18
HDR_V1 = 20

_libc = ctypes.CDLL(None, use_errno=True)


# ---------------------------------------------------------------------------
# Waiting

def wait_until(cond, timeout=None, what="condition", interval=0.02):
    """Polls cond() until it returns a true value, which is returned."""
    deadline = time.monotonic() + (timeout if timeout is not None else TIMEOUT)
    while True:
        got = cond()
        if got:
            return got
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for %s" % what)
        time.sleep(interval)


# ---------------------------------------------------------------------------
# Network namespace and interfaces

class NetNs:
    """A fresh network namespace for the calling thread and its children."""

    def __init__(self):
        self.orig = None

    def enter(self):
        self.orig = os.open("/proc/self/ns/net", os.O_RDONLY | os.O_CLOEXEC)
        if _libc.unshare(CLONE_NEWNET) != 0:
            err = ctypes.get_errno()
            os.close(self.orig)
            self.orig = None
            raise OSError(err, "unshare(CLONE_NEWNET): " + os.strerror(err))
        set_if_flags("lo", if_flags("lo", True) | IFF_UP)

    def leave(self):
        if self.orig is None:
            return
        if _libc.setns(self.orig, CLONE_NEWNET) != 0:
            err = ctypes.get_errno()
            raise OSError(err, "setns: " + os.strerror(err))
        os.close(self.orig)
        self.orig = None


def _ifreq(name, flags=0):
    return struct.pack("16sH14x", name.encode(), flags)


def if_flags(name, all_flags=False):
    """The interface flags, as SIOCGIFFLAGS reads them; without all_flags
    less IFF_RUNNING, which follows the carrier of the TUN device and is
    updated by the kernel in its own time."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        res = fcntl.ioctl(s.fileno(), SIOCGIFFLAGS, _ifreq(name))
    flags = struct.unpack("16sH14x", res)[1]
    return flags if all_flags else flags & ~IFF_RUNNING


def set_if_flags(name, flags):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        fcntl.ioctl(s.fileno(), SIOCSIFFLAGS, _ifreq(name, flags))


ETH_P_DIAG = 0x6005


def packet_socket_bound(port):
    """True when a packet socket for the monitor records is bound to port
    (in the namespace of the calling thread)."""
    try:
        index = socket.if_nametoindex(port)
    except OSError:
        return False
    with open("/proc/self/net/packet") as f:
        next(f)
        for line in f:
            cols = line.split()
            if int(cols[3], 16) == ETH_P_DIAG and int(cols[4]) == index:
                return True
    return False


# ---------------------------------------------------------------------------
# Processes

class Proc:
    """A started program whose output goes to files that can be read while it
    runs (no pipe can fill up and stall it)."""

    def __init__(self, name, argv, env, workdir, stdin=subprocess.DEVNULL):
        self.name = name
        self.argv = argv
        self.out_path = os.path.join(workdir, name + ".out")
        self.err_path = os.path.join(workdir, name + ".err")
        self._out = open(self.out_path, "wb")
        self._err = open(self.err_path, "wb")
        self.p = subprocess.Popen(argv, env=env, stdin=stdin, stdout=self._out,
                                  stderr=self._err, cwd=workdir)
        self.pid = self.p.pid
        self.started = time.monotonic()
        self.ended = None

    def out(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def err(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def text(self):
        return self.out() + self.err()

    def running(self):
        return self.p.poll() is None

    def wait_text(self, text, stream="any", timeout=None, count=1):
        """Waits until text has been printed count times on stream ('out',
        'err' or 'any'); fails early if the process ends without it."""
        read = {"out": self.out, "err": self.err, "any": self.text}[stream]

        def seen():
            if read().count(text) >= count:
                return True
            if not self.running() and read().count(text) < count:
                raise AssertionError("%s ended (status %s) without printing %r\n%s"
                                     % (self.name, self.p.returncode, text, self.describe()))
            return False
        wait_until(seen, timeout, "%s to print %r" % (self.name, text))

    def wait(self, timeout=None):
        try:
            rc = self.p.wait(timeout if timeout is not None else TIMEOUT)
        except subprocess.TimeoutExpired:
            raise AssertionError("%s did not end in time\n%s" % (self.name, self.describe()))
        if self.ended is None:
            self.ended = time.monotonic()
        return rc

    def signal(self, sig):
        if self.running():
            self.p.send_signal(sig)

    def stop(self):
        """Ends the process if it still runs (teardown)."""
        if self.running():
            self.p.kill()
        try:
            self.p.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            pass
        self._out.close()
        self._err.close()

    def describe(self):
        return "--- %s %s\n--- stdout:\n%s\n--- stderr:\n%s" % (
            self.name, " ".join(self.argv), self.out()[-3000:], self.err()[-3000:])


def sanitizer_report(text):
    for mark in ("ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"):
        if mark in text:
            return True
    return False


# ---------------------------------------------------------------------------
# Forwarded records

Record = namedtuple("Record", "version seq secs msecs gw line tx reserved frame_len frame")


def decode_record(data, pos, version):
    """Decodes the record at data[pos:]; returns (record, next position)."""
    hdr = HDR_V1 if version else HDR_V0
    if len(data) - pos < hdr:
        raise ValueError("short header at %d" % pos)
    p = pos
    ver = 0
    if version:
        if data[p] != 1 or data[p + 1] != 0:
            raise ValueError("version 1 record without 1,0 at %d: %r" % (p, data[p:p + 2]))
        ver = 1
        p += 2
    seq, secs, msecs, gw, line, tx, res, flen = struct.unpack_from(">HQHBBBBH", data, p)
    p += HDR_V0
    if len(data) - p < flen:
        raise ValueError("record at %d cut short: frameLen %d, %d bytes left"
                         % (pos, flen, len(data) - p))
    return Record(ver, seq, secs, msecs, gw, line, tx, res, flen, bytes(data[p:p + flen])), p + flen


def decode_stream(data, version):
    """All records of a byte string that holds them back to back."""
    recs, pos = [], 0
    while pos < len(data):
        rec, pos = decode_record(data, pos, version)
        recs.append(rec)
    return recs


def stamp_ms(rec):
    return rec.secs * 1000 + rec.msecs


# ---------------------------------------------------------------------------
# Scenarios for the traffic player

Played = namedtuple("Played", "seq direction stamp frame")


class Scenario:
    """A scenario file for the player: one record per line, plus malformed
    datagrams and pauses. Keeps the records it plays, for comparison."""

    def __init__(self):
        self.lines = []
        self.played = []  # Played records, in play order

    def rec(self, seq, stamp, frame, direction=0):
        """A record; direction 1 is a transmitted frame, anything else a
        received one."""
        frame = bytes(frame)
        word = {1: "Tx", 0: "Rx"}.get(direction, str(direction))
        self.lines.append("%d %s %d %s" % (seq, word, stamp, frame.hex() if frame else "-"))
        self.played.append(Played(seq, direction, stamp, frame))
        return self

    def recs(self, seqs, stamp=1000, size=16, step=10):
        """Records with the given numbers, recognisable frames, rising stamps."""
        for i, seq in enumerate(seqs):
            self.rec(seq, stamp + i * step, frame_bytes(seq, size), i % 2)
        return self

    def raw(self, line):
        """A directive or a hand-written line, played but not expected."""
        self.lines.append(line)
        return self

    def pause(self, ms):
        return self.raw("pause %d" % ms)

    def write(self, path):
        with open(path, "w") as f:
            f.write("# generated by the monitor's end-to-end tests\n")
            f.write("\n".join(self.lines) + "\n")
        return path


def frame_bytes(seq, n):
    """A recognisable frame: its bytes come from its sequence number."""
    return bytes(((seq * 7 + i * 13 + 5) & 0xFF) for i in range(n))


# ---------------------------------------------------------------------------
# The base of every monitor test

def _missing_tools():
    return [p for p in (MONITOR, CVSIM, COLLECT) if not os.access(p, os.X_OK)]


class MonitorTestCase(unittest.TestCase):
    """Gives each test its own namespace, simulator directory and sync ports,
    and ends whatever the test started."""

    ports = ("sync0",)
    ports_down = False

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root (network namespaces, TUN devices)")
        missing = _missing_tools()
        if missing:
            raise unittest.SkipTest("not built yet: " + ", ".join(missing))

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="fmon-e2e-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.simdir = os.path.join(self.tmp, "sim")
        os.makedirs(os.path.join(self.simdir, "sync"))
        self.env = dict(os.environ, CVSIM_DIR=self.simdir, LD_PRELOAD=PRELOAD, CVSIM_BIN=BIN)
        self.procs = []
        ns = NetNs()
        ns.enter()
        self.addCleanup(ns.leave)
        for port in self.ports:
            self.add_port(port, self.ports_down)
        self.addCleanup(self._stop_all)

    def _stop_all(self):
        for p in reversed(self.procs):
            p.stop()

    def add_port(self, name, down=False):
        argv = [CVSIM, "port", "add", name] + (["--down"] if down else [])
        r = subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(r.returncode, 0, "cvsim port add: %s%s" % (r.stdout, r.stderr))

    def start(self, name, argv, env=None):
        p = Proc(name, argv, env or self.env, self.tmp)
        self.procs.append(p)
        return p

    # -- the monitor --------------------------------------------------------

    def monitor(self, *args, name="monitor"):
        return self.start(name, [MONITOR] + [str(a) for a in args])

    def run_monitor(self, *args, timeout=None):
        """Runs the monitor to its end; returns (status, stdout, stderr)."""
        p = self.monitor(*args)
        rc = p.wait(timeout)
        self.assert_no_sanitizer(p)
        return rc, p.out(), p.err()

    def assert_no_sanitizer(self, p):
        self.assertFalse(sanitizer_report(p.err()), p.describe())

    def stop_monitor(self, p, sig=signal.SIGTERM):
        """Ends a monitor by signal, checks the orderly exit, returns the
        status."""
        p.signal(sig)
        rc = p.wait()
        self.assert_no_sanitizer(p)
        self.assertIn("Signal Terminate, sig=%d" % sig, p.err(), p.describe())
        self.assertEqual(rc, 2, p.describe())
        return rc

    def monitor_state(self, port="sync0"):
        """The port's monitor mode as the simulated driver keeps it: '1',
        '0' or None when never switched."""
        try:
            with open(os.path.join(self.simdir, "sync", port + ".monitor")) as f:
                return f.read().strip()
        except FileNotFoundError:
            return None

    def wait_monitoring(self, p, port="sync0"):
        """Waits until the monitor has switched the port's monitor mode on
        and bound its receive socket to the port: from then on every record
        the driver delivers reaches it."""
        wait_until(lambda: (self.monitor_state(port) == "1" and packet_socket_bound(port))
                   or not p.running(), what="%s monitoring %s" % (p.name, port))
        self.assertTrue(p.running(), p.describe())

    def deliver(self, mon, scenario, then=None, **kw):
        """Plays a scenario while the monitor is stopped, so that all its
        records wait in the socket together and are taken in one go. A
        signal given in then reaches the monitor before it reads them."""
        mon.signal(signal.SIGSTOP)
        try:
            self.play(scenario, **kw)
            if then is not None:
                mon.signal(then)
        finally:
            mon.signal(signal.SIGCONT)

    def tcp_collector_gone_and_back(self, start_monitor, last_seq):
        """A monitor started by start_monitor forwards over TCP (-r1) to a
        collector that takes records 100 to 102 and goes; records 103 to 109
        follow until the monitor has sent the last. Then a second collector
        waits for five while records 110 to last_seq play, one each 100 ms.
        Returns the monitor, the second collector, when it started and the
        player still running."""
        first = self.collector(tcp=True, version=1, count=3, name="first")
        mon = start_monitor("sync0", "127.0.0.1", 5000, 4, "-t", "-r1", "-d")
        self.wait_monitoring(mon)
        self.play(Scenario().recs(range(100, 103)), name="before")
        self.assertEqual([r.seq for r in first.finished()], [100, 101, 102])
        self.play(Scenario().recs(range(103, 110)), name="meanwhile")
        mon.wait_text("seq=109,", stream="out")
        second = self.collector(tcp=True, version=1, count=5, name="second")
        back = time.monotonic()
        sc = Scenario()
        for seq in range(110, last_seq):
            sc.recs([seq], stamp=2000 + seq).pause(100)
        return mon, second, back, self.play(sc, name="after", wait=False)

    # -- the traffic player -------------------------------------------------

    def play(self, scenario=None, port="sync0", extra=(), name="player", wait=True):
        """Plays a Scenario (or synthetic traffic given in extra) into port.
        The player waits for monitor mode itself."""
        argv = [CVSIM, "play", "--port", port, "--layout", str(WORDSIZE)]
        if scenario is not None:
            path = os.path.join(self.tmp, name + ".scn")
            scenario.write(path)
            argv += ["--scenario", path]
        argv += [str(a) for a in extra]
        p = self.start(name, argv)
        if wait:
            rc = p.wait(TIMEOUT * 4)
            self.assertEqual(rc, 0, p.describe())
        return p

    # -- the collector ------------------------------------------------------

    def collector(self, port=5000, host="127.0.0.1", tcp=False, version=0, count=0,
                  name="collector", extra=()):
        return Collector(self, name, host, port, tcp, version, count, extra).start()


class Collector:
    """cvfcollect listening on one address. It dumps every record it takes,
    as received, into a file and writes a JSON summary at its end; with a
    count it ends by itself once it has taken that many records."""

    def __init__(self, test, name, host, port, tcp, version, count=0, extra=()):
        self.test = test
        self.name = name
        self.host = host
        self.port = port
        self.tcp = tcp
        self.version = version
        self.count = count
        self.extra = list(extra)
        self.dump_path = os.path.join(test.tmp, name + ".dump")
        self.json_path = os.path.join(test.tmp, name + ".json")
        self.ready_path = os.path.join(test.tmp, name + ".ready")
        self.proc = None

    def argv(self):
        argv = [COLLECT, "-t" if self.tcp else "-u", "-b", self.host, "-p", str(self.port),
                "--dump", self.dump_path, "-j", self.json_path, "-r", self.ready_path,
                "--v%d" % self.version]
        if self.count:
            argv += ["-c", str(self.count)]
        return argv + self.extra

    def start(self):
        for path in (self.dump_path, self.json_path, self.ready_path):
            if os.path.exists(path):
                os.unlink(path)
        self.proc = self.test.start(self.name, self.argv())
        wait_until(lambda: os.path.exists(self.ready_path) or not self.proc.running(),
                   what="%s listening" % self.name)
        if not self.proc.running():
            raise AssertionError("collector did not start\n" + self.proc.describe())
        return self

    def dump(self):
        with open(self.dump_path, "rb") as f:
            return f.read()

    def records(self):
        return decode_stream(self.dump(), self.version)

    def summary(self):
        with open(self.json_path) as f:
            return json.load(f)

    def finished(self, timeout=None):
        """Waits until a collector started with a count has taken that many
        records and ended; returns the records it dumped."""
        rc = self.proc.wait(timeout)
        if rc != 0:
            raise AssertionError("collector failed\n" + self.proc.describe())
        return self.records()

    def wait_printed(self, count):
        """Waits until a collector started with -P has printed count records
        (it prints them whenever it has taken all that have arrived)."""
        wait_until(lambda: self.proc.out().count(" seq=") >= count,
                   what="%s to print %d records" % (self.name, count))

    def stop(self):
        """Ends the collector (SIGTERM, its orderly end); returns the records
        it dumped."""
        self.proc.signal(signal.SIGTERM)
        return self.finished()


# ---------------------------------------------------------------------------
# Checks

def expected_frame(frame, trunc):
    if trunc and len(frame) > trunc:
        return frame[:trunc] + bytes(len(frame) - trunc)
    return frame


class ForwardChecks:
    """Comparison of what the collector took with what the player played."""

    def assertForwarded(self, recs, played, version, gw, line, wall, trunc=0, local_seq=None,
                        base_stamp=None):
        """recs must be played, in order, field by field. wall is the
        (before, after) wall-clock interval in which the monitor took in its
        first record; base_stamp is that record's driver stamp when it is not
        the first one forwarded."""
        self.assertEqual([r.seq for r in recs],
                         [(p.seq if local_seq is None else local_seq + i) & 0xFFFF
                          for i, p in enumerate(played)], "sequence numbers")
        mask = (1 << WORDSIZE) - 1
        base = played[0].stamp if base_stamp is None else base_stamp
        origin = stamp_ms(recs[0]) - ((played[0].stamp - base) & mask)
        self.assertGreaterEqual(origin, int(wall[0] * 1000), "first stamp before the run")
        self.assertLessEqual(origin, int(wall[1] * 1000) + 1, "first stamp after the run")
        for i, (r, p) in enumerate(zip(recs, played)):
            with self.subTest(record=i, seq=p.seq):
                self.assertEqual(r.version, version)
                self.assertEqual((r.gw, r.line), (gw & 0xFF, line & 0xFF))
                self.assertEqual(r.tx, 1 if p.direction == 1 else 0)
                self.assertEqual(r.reserved, 0)
                self.assertEqual(r.frame_len, len(p.frame))
                self.assertLess(r.msecs, 1000)
                self.assertEqual(stamp_ms(r), origin + ((p.stamp - base) & mask), "time stamp")
                self.assertEqual(r.frame, expected_frame(p.frame, trunc), "frame bytes")
