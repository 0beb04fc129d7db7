"""cvfcollect end to end: hand-built records sent over loopback UDP (IPv4
and IPv6) and TCP (random splits, several connections), checked against
the summary, the JSON and the dump file."""
import json
import os
import random
import re
import resource
import signal
import socket
import stat
import struct
import subprocess
import tempfile
import threading
import time
import unittest

BIN = os.path.join(os.environ.get("CV_BIN", "."), "cvfcollect")
WAIT = 60  # seconds any single step may take, however loaded the machine


def record(seq, gw=1, line=0, tx=1, frame=b"", version=0, secs=1700000000, ms=500):
    hdr = struct.pack(">HQHBBBBH", seq & 0xFFFF, secs, ms, gw, line, tx, 0, len(frame))
    return (b"\x01\x00" if version else b"") + hdr + frame


def frame_for(i):
    return bytes((i * 7 + k) & 0xFF for k in range(i % 50))


def split_records(data, version):
    hl = 20 if version else 18
    out, at = [], 0
    while at < len(data):
        n = struct.unpack(">H", data[at + hl - 2:at + hl])[0]
        out.append(data[at:at + hl + n])
        at += hl + n
    return out


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def wait_for(cond, what):
    deadline = time.monotonic() + WAIT
    while not cond():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


class Collector:
    """One cvfcollect run; its output goes to files in a temporary directory,
    a capture (-w) there too unless given a path of its own."""

    def __init__(self, test, *args, ready=True, dump=True, capture=None, closed=(), nofile=None,
                 fsize=None):
        self.dir = tempfile.TemporaryDirectory()
        test.addCleanup(self.close)
        self.capture = capture
        p = lambda name: os.path.join(self.dir.name, name)
        self.ready, self.json, self.dump = p("ready"), p("summary.json"), p("dump")
        self.outpath, self.errpath = p("out"), p("err")
        cmd = [BIN, "-r", self.ready, "-j", self.json] + (["--dump", self.dump] if dump else [])
        cmd += (["-w", capture] if capture else []) + list(args)
        # closed: standard descriptors the collector starts without;
        # nofile: its (soft, hard) descriptor limit; fsize: its file size limit
        def prepare():
            if nofile:
                resource.setrlimit(resource.RLIMIT_NOFILE, nofile)
            if fsize:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
            for fd in closed:
                os.close(fd)
        with open(self.outpath, "w") as out, open(self.errpath, "w") as err:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                         cwd=self.dir.name, preexec_fn=prepare)
        self.ports, self.listening = {}, {}
        if ready:
            wait_for(lambda: os.path.exists(self.ready) or self.proc.poll() is not None,
                     "the collector to listen")
            if self.proc.poll() is not None:
                raise AssertionError("collector did not start: " + self.err())
            with open(self.ready) as f:
                for ln in f:
                    _, proto, addr = ln.split()  # "listening udp [::]:PORT"
                    self.listening[proto] = addr
                    self.ports[proto] = int(addr.rsplit(":", 1)[1])
            self.port = next(iter(self.ports.values()))

    def path(self, name=None):
        return os.path.join(self.dir.name, name or self.capture)

    def files(self):
        return sorted(f for f in os.listdir(self.dir.name) if f.startswith("cap"))

    def err(self):
        with open(self.errpath) as f:
            return f.read()

    def out(self):
        with open(self.outpath) as f:
            return f.read()

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.finish()

    def finish(self):
        return self.proc.wait(timeout=WAIT)

    def summary(self):
        with open(self.json) as f:
            return json.load(f)

    def dumped(self):
        with open(self.dump, "rb") as f:
            return f.read()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.dir.cleanup()


def expect_hangup(test, sock):
    """The collector closed the connection: an end of stream, or a reset when it
    left bytes unread."""
    try:
        test.assertEqual(sock.recv(10), b"")
    except ConnectionResetError:
        pass


def send_paced(sock, addr, datagrams):
    for i, d in enumerate(datagrams):
        sock.sendto(d, addr)
        if i % 50 == 49:
            time.sleep(0.002)  # gentle on a small receive buffer


class UdpTest(unittest.TestCase):
    def test_ipv4_and_ipv6_records_counted_and_dumped(self):
        n = 300
        v6 = ipv6_loopback()
        c = Collector(self, "-p", "0", "-u", "-c", str(2 * n if v6 else n))
        sent = []
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            recs = [record(i, gw=5, line=1, tx=i & 1, frame=frame_for(i)) for i in range(n)]
            send_paced(s, ("127.0.0.1", c.port), recs)
            sent += recs
        if v6:
            with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
                recs = [record(i, gw=6, line=2, frame=frame_for(i)) for i in range(n)]
                send_paced(s, ("::1", c.port), recs)
                sent += recs
        self.assertEqual(c.finish(), 0, c.err())
        self.assertEqual(c.dumped(), b"".join(sent))
        j = c.summary()
        self.assertEqual(j["records"], len(sent))
        self.assertEqual(j["bytes"], len(c.dumped()))
        self.assertEqual(j["lost"] + j["duplicates"] + j["out_of_order"] + j["invalid"], 0)
        line = [l for l in j["lines"] if l["gw"] == 5][0]
        self.assertEqual((line["line"], line["records"], line["tx"], line["rx"]),
                         (1, n, n // 2, n // 2))
        self.assertEqual((line["first_seq"], line["last_seq"]), (0, n - 1))
        self.assertIn("gw=5 line=1 records=%d " % n, c.out())

    def test_gaps_duplicates_wrap_and_invalid(self):
        seqs = [65533, 65534, 65535, 0, 3, 3, 2, 10]  # 1 stays lost, 4..9 lost
        bad = [b"\x00" * 5,                            # shorter than a header
               record(11, frame=b"abc")[:-1],          # size below header + frameLen
               record(12, frame=b"abc") + b"x",        # size above it
               record(13, version=1)]                  # a version 1 record on a version 0 port
        c = Collector(self, "-p", "0", "-u", "-v", "--dump-invalid", "inv",
                      "-c", str(len(seqs) + 1))
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for q in seqs[:4]:
                s.sendto(record(q, gw=2, line=3, frame=b"\x11\x22"), ("127.0.0.1", c.port))
            for b in bad:
                s.sendto(b, ("127.0.0.1", c.port))
            for q in seqs[4:] + [11]:
                s.sendto(record(q, gw=2, line=3, frame=b"\x11\x22"), ("127.0.0.1", c.port))
        self.assertEqual(c.finish(), 0, c.err())
        j = c.summary()
        self.assertEqual((j["records"], j["lost"], j["duplicates"], j["out_of_order"]),
                         (len(seqs) + 1, 7, 1, 1))
        self.assertEqual(j["invalid"], 4)
        # the version 1 record read as version 0 finds the low bytes of its seconds
        # where the milliseconds belong
        self.assertEqual((j["invalid_by"]["short"], j["invalid_by"]["size_mismatch"],
                          j["invalid_by"]["msecs"]), (1, 2, 1))
        self.assertIn("invalid udp 127.0.0.1:", c.err())
        with open(os.path.join(c.dir.name, "inv"), "rb") as f:
            self.assertEqual(f.read(), b"".join(bad))

    def test_print_lines(self):
        c = Collector(self, "-p", "0", "-u", "-P", "-U", "-c", "2", "--v1")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.sendto(record(74565, gw=9, line=4, tx=0, frame=bytes(range(20)), version=1,
                            ms=42), ("127.0.0.1", c.port))
            s.sendto(record(1, version=1), ("127.0.0.1", c.port))
        self.assertEqual(c.finish(), 0, c.err())
        self.assertIn("gw=9 line=4 seq=9029 Rx 22:13:20.042 len=20 00 01 02 03 04 05 06 07 "
                      "08 09 0a 0b 0c 0d 0e 0f ...\n", c.out())
        self.assertIn("gw=1 line=0 seq=1 Tx 22:13:20.500 len=0\n", c.out())


class TcpTest(unittest.TestCase):
    def test_random_splits_on_one_connection_byte_for_byte(self):
        rnd = random.Random(1234)
        recs = [record(i, gw=3, line=7, version=1, frame=frame_for(i)) for i in range(2000)]
        data = b"".join(recs)
        c = Collector(self, "-p", "0", "-t", "-c", str(len(recs)))
        with socket.create_connection(("127.0.0.1", c.port), timeout=WAIT) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            at = 0
            while at < len(data):
                n = rnd.choice([1, 2, 3, 19, 20, 21, 100, 4000])
                s.sendall(data[at:at + n])
                at += n
            self.assertEqual(c.finish(), 0, c.err())
        self.assertEqual(c.dumped(), data)
        j = c.summary()
        self.assertEqual((j["records"], j["lost"], j["invalid"], j["tcp_connections"]),
                         (2000, 0, 0, 1))

    def test_ipv6_connection(self):
        if not ipv6_loopback():
            self.skipTest("no IPv6 loopback")
        c = Collector(self, "-p", "0", "-c", "1")
        with socket.create_connection(("::1", c.ports["tcp"]), timeout=WAIT) as s:
            s.sendall(record(8, version=1))
            self.assertEqual(c.finish(), 0, c.err())
        self.assertEqual(c.summary()["tcp_connections"], 1)

    def test_concurrent_and_successive_connections(self):
        c = Collector(self, "-p", "0", "-t", "-c", "302")
        conns = [socket.create_connection(("127.0.0.1", c.port), timeout=WAIT) for _ in range(3)]
        per = {}
        for i in range(300):
            k = i % 3
            per.setdefault(k, []).append(record(i // 3, gw=1, line=k, version=1, frame=b"z" * k))
            conns[k].sendall(per[k][-1])
        for s in conns:
            s.close()
        # a monitor that lost its collector connects again and numbers on
        with socket.create_connection(("127.0.0.1", c.port), timeout=WAIT) as s:
            more = [record(q, gw=1, line=0, version=1) for q in (105, 106)]
            s.sendall(b"".join(more))
            per[0] += more
            self.assertEqual(c.finish(), 0, c.err())
        got = split_records(c.dumped(), 1)
        for k, recs in per.items():
            self.assertEqual([r for r in got if r[15] == k], recs)
        j = c.summary()
        self.assertEqual((j["records"], j["tcp_connections"], j["lost"]), (302, 4, 5))

    def test_lost_sync_drops_the_connection_only(self):
        c = Collector(self, "-p", "0", "-t", "-c", "2")
        with socket.create_connection(("127.0.0.1", c.port), timeout=WAIT) as s:
            s.sendall(record(1, version=1) + record(2, version=0) + record(3, version=1))
            expect_hangup(self, s)
        with socket.create_connection(("127.0.0.1", c.port), timeout=WAIT) as s:
            s.sendall(record(4, version=1))
            self.assertEqual(c.finish(), 0, c.err())
        j = c.summary()
        self.assertEqual((j["records"], j["sync_losses"], j["invalid_by"]["version"]), (2, 1, 1))
        self.assertIn("lost sync at stream offset 20 (version); connection dropped", c.err())

    def test_close_after_n_records(self):
        c = Collector(self, "-p", "0", "-t", "--tcp-close-after", "5", "--v0", "-c", "13")
        for first in (0, 5):
            with socket.create_connection(("127.0.0.1", c.port), timeout=WAIT) as s:
                s.sendall(b"".join(record(i) for i in range(first, first + 6)))
                expect_hangup(self, s)  # closed after the fifth
        with socket.create_connection(("127.0.0.1", c.port), timeout=WAIT) as s:
            s.sendall(b"".join(record(i) for i in range(11, 14)))
            self.assertEqual(c.finish(), 0, c.err())
        j = c.summary()
        self.assertEqual((j["records"], j["tcp_connections"], j["lost"]), (13, 3, 1))

    def test_truncated_record_at_close(self):
        c = Collector(self, "-p", "0", "-t")
        with socket.create_connection(("127.0.0.1", c.port), timeout=WAIT) as s:
            s.sendall(record(1, version=1, frame=b"abc") + record(2, version=1, frame=b"abc")[:9])
        wait_for(lambda: "inside a record" in c.err(), "the truncation notice")
        self.assertEqual(c.stop(), 0)
        j = c.summary()
        self.assertEqual((j["records"], j["invalid_by"]["truncated"]), (1, 1))


class RunTest(unittest.TestCase):
    def test_usage_errors_exit_1(self):
        for args in ([], ["-p", "70000"], ["-p", "1", "--bogus"]):
            r = subprocess.run([BIN] + args, capture_output=True, stdin=subprocess.DEVNULL,
                               timeout=WAIT)
            self.assertEqual(r.returncode, 1, args)
            self.assertIn(b"usage: cvfcollect", r.stderr)

    def test_port_in_use_names_the_address(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
            c = Collector(self, "-p", str(port), "-u", "-b", "127.0.0.1", ready=False)
            self.assertEqual(c.finish(), 1)
            self.assertIn("cannot listen on udp 127.0.0.1:%d: Address already in use" % port,
                          c.err())
            self.assertFalse(os.path.exists(c.ready))

    def test_signal_without_records(self):
        c = Collector(self, "-p", "0")
        self.assertIn("listening udp [::]:%d" % c.port, c.err() + "[::]:%d" % c.port)
        self.assertEqual(c.ports["udp"], c.ports["tcp"])
        self.assertEqual(c.stop(signal.SIGINT), 0)
        self.assertIn("total: records=0 ", c.out())
        self.assertEqual(c.summary()["lines"], [])

    def test_idle_and_duration_limits(self):
        c = Collector(self, "-p", "0", "-u", "-i", "0.3")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.sendto(record(1), ("127.0.0.1", c.port))
            self.assertEqual(c.finish(), 0)  # ends 0.3 s after the record
        self.assertEqual(c.summary()["records"], 1)
        c = Collector(self, "-p", "0", "-d", "0.2")
        self.assertEqual(c.finish(), 0)


def hung_up(sock):
    """Whether the collector has closed this connection, without waiting."""
    sock.setblocking(False)
    try:
        return sock.recv(10) == b""
    except BlockingIOError:
        return False
    except ConnectionResetError:
        return True


class Attack:
    """Peers that take connection slots and come back once hung up: silent
    ones, ones dripping a record a byte a second, and ones sending one empty
    (but valid) record and then nothing. step() moves them on."""

    def __init__(self, port, per_kind, back_after=0.1):
        self.port, self.back_after = port, back_after
        self.peers = [{"kind": k, "sock": None, "due": 0.0, "line": i}
                      for i, k in enumerate(("silent", "drip", "empty") * per_kind)]
        self.connects = self.hangups = 0

    def _connect(self, p, now):
        p["sock"] = socket.create_connection(("127.0.0.1", self.port), timeout=WAIT)
        p["left"] = record(0, gw=200, line=p["line"], version=1, frame=b"drip")
        p["due"] = now + 1
        self.connects += 1
        if p["kind"] == "empty":
            p["sock"].sendall(record(self.connects, gw=201, line=p["line"] & 255, version=1))

    def step(self):
        now = time.monotonic()
        for p in self.peers:
            if p["sock"] is None:
                if now >= p["due"]:
                    self._connect(p, now)
            elif hung_up(p["sock"]):
                p["sock"].close()
                p["sock"], p["due"] = None, now + self.back_after
                self.hangups += 1
            elif p["kind"] == "drip" and now >= p["due"]:
                try:
                    p["sock"].send(p["left"][:1])
                    p["left"], p["due"] = p["left"][1:], now + 1
                except OSError:
                    pass  # hung up: seen at the next step

    def close(self):
        for p in self.peers:
            if p["sock"] is not None:
                p["sock"].close()


class ConnectionLimitTest(unittest.TestCase):
    def test_record_senders_outlast_reconnecting_attackers(self):
        c = Collector(self, "-p", "0", "-t", "-v", "--max-conns", "8")
        mon = socket.create_connection(("127.0.0.1", c.port), timeout=WAIT)
        self.addCleanup(mon.close)
        name = "tcp 127.0.0.1:%d:" % mon.getsockname()[1]
        attack = Attack(c.port, 12)
        self.addCleanup(attack.close)
        sent, start = 0, time.monotonic()
        while time.monotonic() < start + 4:
            try:
                mon.sendall(record(sent, gw=1, version=1, frame=frame_for(sent)))
            except OSError:
                self.fail("the sender was hung up:\n" + "\n".join(
                    ln for ln in c.err().splitlines() if name in ln))
            sent += 1
            for _ in range(10):
                if time.monotonic() > start + 1:  # the attack meets a sender at work
                    attack.step()
                time.sleep(0.01)
        self.assertFalse(hung_up(mon))
        self.assertGreater(attack.hangups, 3 * 8)
        attack.close()
        mon.close()
        wait_for(lambda: name + " closed after" in c.err(), "the sender's end")
        self.assertIn("%s closed after %d records" % (name, sent), c.err())
        self.assertEqual(c.stop(), 0)
        j = c.summary()
        line = [l for l in j["lines"] if l["gw"] == 1][0]
        self.assertEqual((line["records"], line["lost"]), (sent, 0))
        self.assertGreater(j["tcp_evicted"], 3 * 8)

    def test_evictions_reported_as_a_count(self):
        c = Collector(self, "-p", "0", "-t", "--max-conns", "4")
        attack = Attack(c.port, 4)
        self.addCleanup(attack.close)
        end = time.monotonic() + 1.5
        while time.monotonic() < end:
            attack.step()
            time.sleep(0.01)
        self.assertEqual(c.stop(), 0)
        evicted = c.summary()["tcp_evicted"]
        self.assertGreater(evicted, 4)
        self.assertNotIn("to make room", c.err())
        # a run shorter than the interval: its one line comes at the end
        self.assertRegex(c.err(), r"\ncvfcollect: tcp: %d connections evicted in the last "
                         r"[\d.]+ s \(slots full\)\n" % evicted)

    def test_stalled_record_closed_idle_between_records_kept(self):
        c = Collector(self, "-p", "0", "-t", "--tcp-stall-timeout", "0.5", "-c", "2")
        idle = socket.create_connection(("127.0.0.1", c.port), timeout=WAIT)
        self.addCleanup(idle.close)
        idle.sendall(record(1, gw=1, version=1))
        with socket.create_connection(("127.0.0.1", c.port), timeout=WAIT) as s:
            start = time.monotonic()
            s.sendall(record(1, gw=2, version=1, frame=b"abc")[:9])
            expect_hangup(self, s)
            self.assertGreater(time.monotonic() - start, 0.4)
        idle.sendall(record(2, gw=1, version=1))  # idle as long, between records: kept
        self.assertEqual(c.finish(), 0, c.err())
        j = c.summary()
        self.assertEqual((j["records"], j["lost"], j["tcp_stalled"], j["tcp_evicted"],
                          j["invalid_by"]["truncated"]), (2, 0, 1, 0, 1))
        self.assertIn("stalled inside a record for 0.", c.err())
        self.assertIn("tcp_stalled=1 tcp_evicted=0\n", c.out())

    def test_stalled_peers_give_way_to_new_senders(self):
        c = Collector(self, "-p", "0", "-t", "-v", "--tcp-stall-timeout", "600")
        stalled = []
        for i in range(64):  # every slot of the default limit
            s = socket.create_connection(("127.0.0.1", c.port), timeout=WAIT)
            self.addCleanup(s.close)
            s.sendall(record(0, gw=9, line=i, version=1, frame=b"abcd")[:10])
            stalled.append(s)
        wait_for(lambda: c.err().count(": connected") == 64, "64 connections")
        senders = []
        for k in range(3):  # each new sender stays and takes a stalled peer's slot
            s = socket.create_connection(("127.0.0.1", c.port), timeout=WAIT)
            self.addCleanup(s.close)
            s.sendall(record(k, gw=1, version=1))
            senders.append(s)
        wait_for(lambda: c.err().count("closed to make room for 127.0.0.1:") == 3,
                 "three peers to give way")
        self.assertEqual(sum(hung_up(s) for s in stalled), 3)
        self.assertFalse(any(hung_up(s) for s in senders))
        self.assertEqual(c.stop(), 0)
        j = c.summary()
        self.assertEqual((j["records"], j["lost"], j["tcp_connections"], j["tcp_evicted"],
                          j["tcp_stalled"], j["invalid_by"]["truncated"]), (3, 0, 67, 3, 0, 3))

    def test_burst_of_connects_none_waits_for_a_resent_syn(self):
        n = 1000
        c = Collector(self, "-p", "0", "-t", "-c", str(n))
        slow = 0
        for i in range(n):
            start = time.monotonic()
            s = socket.create_connection(("127.0.0.1", c.port), timeout=WAIT)
            slow += time.monotonic() - start > 0.9  # a SYN sent again waits 1 s
            s.sendall(record(i, gw=i >> 8, line=i & 255, version=1))
            s.close()
        self.assertEqual(c.finish(), 0, c.err())
        self.assertEqual(slow, 0)
        j = c.summary()
        self.assertEqual((j["records"], len(j["lines"]), j["tcp_connections"]), (n, n, n))

    def test_descriptor_limit_raised_or_reported(self):
        c = Collector(self, "-p", "0", "-t", "--max-conns", "100", nofile=(40, 60), ready=False)
        self.assertEqual(c.finish(), 1)
        self.assertIn("cvfcollect: 100 connections need 116 descriptors; the limit is 60",
                      c.err())
        c = Collector(self, "-p", "0", "-t", "--max-conns", "40", nofile=(40, 60))
        with open("/proc/%d/limits" % c.proc.pid) as f:
            self.assertRegex(f.read(), r"Max open files +56 +60 ")
        self.assertEqual(c.stop(), 0)


def run_briefly(cwd, *args, stdout=subprocess.PIPE):
    """A collector that listens for a tenth of a second and ends."""
    return subprocess.run([BIN, "-p", "0", "-u", "-d", "0.1"] + list(args), cwd=cwd,
                          stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE,
                          timeout=WAIT)


class OutputFileTest(unittest.TestCase):
    """The JSON (-j) and ready (-r) files: regular files are replaced whole,
    links are followed and kept, anything else is written in place."""

    def setUp(self):
        d = tempfile.TemporaryDirectory()
        self.addCleanup(d.cleanup)
        self.dir = d.name
        os.mkdir(os.path.join(self.dir, "sub"))

    def test_regular_files_and_links_replaced_safely(self):
        at = lambda name: os.path.join(self.dir, name)
        for name, text in (("victim", "precious"), ("old.json", "old"), ("sub/to.json", "old")):
            with open(at(name), "w") as f:
                f.write(text)
        links = {"planted.json.tmp": "victim", "link.json": "sub/to.json",
                 "dangling.json": "sub/new.json", "ready-link": "sub/ready"}
        for name, to in links.items():
            os.symlink(to, at(name))
        for name in ("planted.json", "old.json", "link.json", "dangling.json"):
            r = run_briefly(self.dir, "-j", name, "-r", "ready-link")
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(at(name)) as f:
                self.assertEqual(json.load(f)["records"], 0, name)
        with open(at("victim")) as f:
            self.assertEqual(f.read(), "precious")
        self.assertEqual({name: os.readlink(at(name)) for name in links}, links)
        with open(at("sub/ready")) as f:
            self.assertIn("listening udp ", f.read())
        umask = os.umask(0)
        os.umask(umask)
        self.assertEqual(stat.S_IMODE(os.stat(at("old.json")).st_mode), 0o644 & ~umask)
        self.assertEqual(len(os.listdir(self.dir)) + len(os.listdir(at("sub"))), 8 + 3)

    def test_fifo_and_descriptor_written_in_place(self):
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        got = []
        reader = threading.Thread(target=lambda: got.append(open(fifo).read()), daemon=True)
        reader.start()
        self.assertEqual(run_briefly(self.dir, "-j", fifo).returncode, 0)
        reader.join(WAIT)
        self.assertEqual(json.loads(got[0])["records"], 0)
        self.assertTrue(stat.S_ISFIFO(os.lstat(fifo).st_mode))
        # standard output (where /dev/stdout leads) as a file: the JSON follows the summary
        with tempfile.TemporaryFile("w+") as out:
            self.assertEqual(run_briefly(self.dir, "-j", "/proc/self/fd/1", stdout=out)
                             .returncode, 0)
            out.seek(0)
            summary, rest = out.read().split("\n", 1)
        self.assertTrue(summary.startswith("total: records=0 "))
        self.assertEqual(json.loads(rest)["records"], 0)

    def test_links_of_other_users_refused_replaced_files_keep_mode_and_owner(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to make files of another user")
        at = lambda name: os.path.join(self.dir, name)
        nobody = 65534
        secret = at("sub/secret")
        with open(secret, "w") as f:
            f.write("secret")
        os.chmod(secret, 0o600)
        os.chown(secret, nobody, nobody)
        os.symlink(secret, at("theirs"))
        os.lchown(at("theirs"), nobody, nobody)
        os.symlink(secret, at("mine.json"))
        for opt in ("-j", "-r"):
            r = run_briefly(self.dir, opt, "theirs")
            self.assertEqual(r.returncode, 1, opt)
            self.assertIn(b"cannot %s theirs: a symbolic link of another user" %
                          (b"write" if opt == "-j" else b"create"), r.stderr)
        with open(secret) as f:
            self.assertEqual(f.read(), "secret")
        r = run_briefly(self.dir, "-j", "mine.json")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(secret) as f:
            self.assertEqual(json.load(f)["records"], 0)
        st = os.stat(secret)
        self.assertEqual((stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid), (0o600, nobody, nobody))

    def test_dump_files_never_through_links_nor_emptied_before_a_run(self):
        at = lambda name: os.path.join(self.dir, name)
        with open(at("victim"), "w") as f:
            f.write("precious")
        os.symlink("victim", at("sym"))
        os.link(at("victim"), at("hard"))
        for opt in ("--dump", "--dump-invalid"):
            for name, why in (("sym", "it is a symbolic link"), ("hard", "it has other links")):
                r = run_briefly(self.dir, opt, name)
                self.assertEqual(r.returncode, 1, (opt, name))
                self.assertIn(b"cannot create %s: %s" % (name.encode(), why.encode()), r.stderr)
        os.unlink(at("hard"))
        # a collector that cannot listen leaves an earlier dump as it was
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            r = run_briefly(self.dir, "--dump", "victim", "--dump-invalid", "victim",
                            "-b", "127.0.0.1", "-p", str(s.getsockname()[1]))
        self.assertEqual(r.returncode, 1)
        with open(at("victim")) as f:
            self.assertEqual(f.read(), "precious")
        r = run_briefly(self.dir, "--dump-invalid", "victim")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.path.getsize(at("victim")), 0)  # this run's: none

    def test_fifos_never_hold_up_the_run(self):
        """A FIFO without a reader is reported and skipped (-j, -r) or retried
        (-w); one whose reader takes nothing holds the capture, and a signal
        still ends the run with its summary."""
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        for opt, status, note in (("-j", 0, "cannot write %s: no reader, skipped"),
                                  ("-r", 0, "cannot create %s: no reader, skipped"),
                                  ("-w", 1, "cannot create capture file %s: no reader")):
            c = Collector(self, "-p", "0", "-u", opt, fifo, ready=False, dump=False)
            wait_for(lambda: "listening udp" in c.err() or c.proc.poll() is not None,
                     "the collector to listen")
            port = int(re.search(r"listening udp \S+:(\d+)", c.err()).group(1))
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.sendto(record(1), ("127.0.0.1", port))
            self.assertEqual(c.stop(), status, (opt, c.err()))
            self.assertIn(note % fifo, c.err())
            self.assertIn("total: records=", c.out())
        # a reader that takes nothing: the capture fills the pipe and waits
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        c = Collector(self, "-p", "0", "-u", capture=fifo, dump=False)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            send_paced(s, ("127.0.0.1", c.port), [record(i, frame=b"f" * 1000) for i in range(200)])
        time.sleep(0.5)
        self.assertIsNone(c.proc.poll())
        c.proc.send_signal(signal.SIGTERM)
        self.assertEqual(c.finish(), 1, c.err())
        self.assertRegex(c.out(), r"total: records=\d+ ")

    def test_write_failures_reported(self):
        r = run_briefly(self.dir, "-j", "missing/summary.json")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"cannot write missing/summary.json: No such file or directory", r.stderr)
        full = os.path.join(self.dir, "full")  # a device node of our own, as /dev/full
        try:
            os.mknod(full, stat.S_IFCHR | 0o666, os.makedev(1, 7))
            os.close(os.open(full, os.O_WRONLY))
        except OSError as e:
            self.skipTest("no device node of our own here: %s" % e)
        r = run_briefly(self.dir, "-j", "full")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"cannot write full: No space left on device", r.stderr)
        self.assertTrue(stat.S_ISCHR(os.lstat(full).st_mode))


class StandardDescriptorTest(unittest.TestCase):
    def test_started_with_a_standard_descriptor_closed(self):
        # A dump file or socket opened on a closed standard descriptor would
        # receive the listening lines, the record lines or the summary: with
        # the dump file it takes the closed descriptor; without it, with all
        # three closed, the sockets take 0 and 1 and the TCP connection 2.
        for closed, dump in (((0,), True), ((1,), True), ((2,), True), ((0, 1, 2), False)):
            with self.subTest(closed=closed):
                c = Collector(self, "-p", "0", "-v", "-P", "--v1", "-c", "4", dump=dump,
                              closed=closed)
                for fd in closed:
                    self.assertEqual(os.readlink("/proc/%d/fd/%d" % (c.proc.pid, fd)),
                                     "/dev/null")
                recs = [record(i, gw=4, version=1, frame=frame_for(i)) for i in range(4)]
                with socket.create_connection(("127.0.0.1", c.ports["tcp"]),
                                              timeout=WAIT) as t, \
                        socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                    t.sendall(recs[0] + recs[1])
                    for r in recs[2:]:
                        u.sendto(r, ("127.0.0.1", c.ports["udp"]))
                    self.assertEqual(c.finish(), 0, c.err())
                    self.assertEqual(t.recv(4096), b"")  # nothing of the collector's own
                j = c.summary()
                self.assertEqual((j["records"], j["invalid"], j["tcp_connections"]), (4, 0, 1))
                if dump:
                    self.assertEqual(sorted(split_records(c.dumped(), 1)), recs)
                if 1 not in closed:
                    self.assertIn("gw=4 line=0 seq=3 ", c.out())
                    self.assertIn("total: records=4 ", c.out())
                if 2 not in closed:
                    self.assertIn("tcp 127.0.0.1:", c.err())


if __name__ == "__main__":
    unittest.main()
