"""cvfcollect end to end: hand-built records sent over loopback UDP (IPv4
and IPv6) and TCP (random splits, several connections), checked against
the summary, the JSON and the dump file."""
import json
import os
import random
import signal
import socket
import struct
import subprocess
import tempfile
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
    """One cvfcollect run; its output goes to files in a temporary directory."""

    def __init__(self, test, *args, ready=True):
        self.dir = tempfile.TemporaryDirectory()
        test.addCleanup(self.close)
        p = lambda name: os.path.join(self.dir.name, name)
        self.ready, self.json, self.dump = p("ready"), p("summary.json"), p("dump")
        self.outpath, self.errpath = p("out"), p("err")
        cmd = [BIN, "-r", self.ready, "-j", self.json, "--dump", self.dump] + list(args)
        with open(self.outpath, "w") as out, open(self.errpath, "w") as err:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                         cwd=self.dir.name)
        self.ports = {}
        if ready:
            wait_for(lambda: os.path.exists(self.ready) or self.proc.poll() is not None,
                     "the collector to listen")
            if self.proc.poll() is not None:
                raise AssertionError("collector did not start: " + self.err())
            with open(self.ready) as f:
                for ln in f:
                    _, proto, addr = ln.split()
                    self.ports[proto] = int(addr.rsplit(":", 1)[1])
            self.port = next(iter(self.ports.values()))

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


if __name__ == "__main__":
    unittest.main()
