"""The Wireshark dissector of the forwarded records: the monitor's real
traffic on the simulator, captured with dumpcap inside the test's namespace,
decoded by tshark with wireshark/cvfmon.lua and compared field by field
with what the player played; UDP and TCP, both header versions, link types,
malformed datagrams, and TCP streams whose records straddle segments."""

import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest
from collections import namedtuple

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fmon"))
from fmon_harness import (ForwardChecks, MonitorTestCase, Record, Scenario, TIMEOUT,  # noqa: E402
                          frame_bytes, wait_until)

LUA = os.path.abspath(os.path.join(os.path.dirname(__file__), "../../../wireshark/cvfmon.lua"))
TSHARK = shutil.which("tshark")
DUMPCAP = shutil.which("dumpcap")

FIELDS = ("frame.number", "frame.protocols", "tcp.segment.count", "_ws.lua.error",
          "cvfmon.version", "cvfmon.seq", "cvfmon.secs", "cvfmon.msecs", "cvfmon.time",
          "cvfmon.gw", "cvfmon.line", "cvfmon.dir", "cvfmon.reserved", "cvfmon.len",
          "cvfmon.frame")

# One captured packet as tshark decoded it: its records (Record of the
# harness), the date each record's time stamp showed as, and what else the
# packet carried.
Packet = namedtuple("Packet", "number protocols segments records dates extra")


def shown_date(secs, msecs):
    """A time stamp as the dissector shows it: UTC, in Wireshark's format."""
    return time.strftime("%b %e, %Y %H:%M:%S", time.gmtime(secs)) + ".%03d000000 UTC" % msecs


def record_bytes(version, seq, secs, msecs, gw, line, tx, frame):
    head = struct.pack(">HQHBBBBH", seq, secs, msecs, gw, line, tx, 0, len(frame))
    return (b"\x01\x00" if version else b"") + head + frame


class DissectorTestCase(MonitorTestCase, ForwardChecks):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not (TSHARK and DUMPCAP):
            raise unittest.SkipTest("tshark and dumpcap are not installed (scripts/deps.sh)")

    def capture(self, bpf):
        """Starts dumpcap on lo with a capture filter; returns (process,
        file) once it captures."""
        path = os.path.join(self.tmp, "cap.pcapng")
        p = self.start("dumpcap", [DUMPCAP, "-i", "lo", "-f", bpf, "-w", path])
        # dumpcap announces the capture before it has opened the interface;
        # it writes the file's header once the interface and filter are set.
        wait_until(lambda: (os.path.exists(path) and os.path.getsize(path) > 0)
                   or not p.running(), what="dumpcap capturing")
        self.assertTrue(p.running(), p.describe())
        return p, path

    def end_capture(self, p):
        # The kernel hands dumpcap the packets in blocks, the last one when
        # its time-out (a fraction of a second) expires; what it still holds
        # at the signal is lost.
        time.sleep(1.0)
        p.signal(signal.SIGINT)
        self.assertEqual(p.wait(), 0, p.describe())

    def decode(self, path, *opts, extra=(), where="cvfmon"):
        """The packets of a capture that match the display filter where,
        decoded with the dissector and the given tshark options."""
        fields = FIELDS + tuple(extra)
        argv = [TSHARK, "-n", "-X", "lua_script:" + LUA, "-r", path, "-Y", where,
                "-T", "fields", "-E", "separator=/t", "-E", "aggregator=|"] + list(opts)
        for name in fields:
            argv += ["-e", name]
        r = subprocess.run(argv, capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotIn("Lua", r.stderr)
        packets = []
        for line in r.stdout.splitlines():
            cols = dict(zip(fields, line.split("\t")))
            self.assertEqual(cols["_ws.lua.error"], "", line[:300])
            v = {name: (cols[name].split("|") if cols[name] else []) for name in fields}
            records, dates = [], []
            for i, seq in enumerate(v["cvfmon.seq"]):
                frame = v["cvfmon.frame"][i]
                records.append(Record(
                    int(v["cvfmon.version"][i]) if v["cvfmon.version"] else 0,
                    int(seq), int(v["cvfmon.secs"][i]), int(v["cvfmon.msecs"][i]),
                    int(v["cvfmon.gw"][i]), int(v["cvfmon.line"][i]), int(v["cvfmon.dir"][i]),
                    int(v["cvfmon.reserved"][i]), int(v["cvfmon.len"][i]),
                    b"" if frame == "<MISSING>" else bytes.fromhex(frame)))
                dates.append(v["cvfmon.time"][i])
            packets.append(Packet(int(cols["frame.number"]), cols["frame.protocols"],
                                  [int(n) for n in v["tcp.segment.count"]], records, dates,
                                  {name: v[name] for name in extra}))
        return packets

    def assertDates(self, packets):
        for p in packets:
            for r, date in zip(p.records, p.dates):
                self.assertEqual(date, shown_date(r.secs, r.msecs), "packet %d" % p.number)

    def run_monitors(self, runs, tcp):
        """Starts one monitor and one collector per run (port, device,
        version, monitor options, scenario), plays every scenario and waits
        until the collectors have it all. Returns the wall-clock interval."""
        mons, cols = [], []
        for port, device, version, args, sc in runs:
            cols.append(self.collector(port=port, tcp=tcp, version=version,
                                       count=len(sc.played), name="collector%d" % port))
            mons.append(self.monitor(device, "127.0.0.1", port, 9, *args,
                                     name="monitor%d" % port))
        for mon, (port, device, *_) in zip(mons, runs):
            self.wait_monitoring(mon, device)
        before = time.time()
        for mon, (port, device, version, args, sc) in zip(mons, runs):
            # Played while the monitor waits, its records leave back to back.
            self.deliver(mon, sc, port=device, name="player%d" % port)
        for col in cols:
            col.finished()
        after = time.time()
        for mon in mons:
            self.stop_monitor(mon)
        return before, after


def sized_scenario(first_seq, sizes):
    sc = Scenario()
    for i, size in enumerate(sizes):
        seq = first_seq + i
        sc.rec(seq, 5000 + 997 * i, frame_bytes(seq, size), [0, 1, 7][i % 3])
    return sc


class UdpDissectorTest(DissectorTestCase):
    ports = ("sync0", "sync1")

    def test_versions_link_types_and_malformed(self):
        sc0 = sized_scenario(0x12340, [0, 1, 3, 17, 300, 1500, 4096, 64])
        sc1 = sized_scenario(700, [10, 4, 3, 0, 5, 4096])
        cap, path = self.capture("udp port 5000 or udp port 5001 or udp port 5002")
        wall = self.run_monitors([(5000, "sync0", 0, [], sc0),
                                  (5001, "sync1", 1, ["-v1", "-l4"], sc1)], tcp=False)
        # Datagrams no monitor sends: a frame length beyond the datagram, a
        # bad direction, bytes after the record, a cut header.
        bad = [record_bytes(0, 1, 1350000000, 5, 1, 1, 0, bytes(10))[:-4],
               record_bytes(0, 2, 1350000000, 5, 1, 1, 5, b"\x01\x02\x3f"),
               record_bytes(0, 3, 1350000000, 5, 1, 1, 1, b"\x01\x02\x3f") + b"xyz",
               record_bytes(0, 4, 1350000000, 5, 1, 1, 1, b"")[:10]]
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for d in bad:
                s.sendto(d, ("127.0.0.1", 5002))
        self.end_capture(cap)

        # Version 0 on the default port preference's place, handed to MTP2.
        got = self.decode(path, "-o", "cvfmon.port:5000")
        self.assertTrue(all(len(p.records) == 1 for p in got))
        self.assertForwarded([p.records[0] for p in got], sc0.played, version=0, gw=9,
                             line=0, wall=wall)
        self.assertDates(got)
        for p in got:
            self.assertIn("udp:cvfmon" + (":mtp2" if p.records[0].frame_len else ""),
                          p.protocols)
        self.assertTrue(got[0].protocols.endswith(":cvfmon"), "an empty frame goes nowhere")

        # Version 1, truncated frames as they come, handed to LAPD.
        got = self.decode(path, "-o", "cvfmon.port:5001", "-o", "cvfmon.udp_version:1",
                          "-o", "cvfmon.linktype:lapd")
        self.assertForwarded([r for p in got for r in p.records], sc1.played, version=1,
                             gw=9, line=1, wall=wall, trunc=4)
        self.assertDates(got)
        for p in got:
            if p.records[0].frame_len:
                self.assertIn("udp:cvfmon:lapd", p.protocols)
            self.assertNotIn("mtp2", p.protocols)

        # The wrong version shows: a version 0 record read as version 1.
        got = self.decode(path, "-o", "cvfmon.port:5000", "-o", "cvfmon.udp_version:1",
                          extra=["cvfmon.version.bad"])
        # (Records of less than 20 bytes are too short for a version 1 header.)
        self.assertEqual([bool(p.extra["cvfmon.version.bad"]) for p in got],
                         [len(r.frame) >= 2 for r in sc0.played])

        experts = ["cvfmon.len.short", "cvfmon.dir.bad", "cvfmon.trailing",
                   "cvfmon.header.short"]
        got = self.decode(path, "-o", "cvfmon.port:5002", "-o", "cvfmon.linktype:data",
                          extra=experts)
        self.assertEqual([[e for e in experts if p.extra[e]] for p in got],
                         [[e] for e in experts])
        self.assertEqual([r.frame for p in got for r in p.records],
                         [bytes(6), b"\x01\x02\x3f", b"\x01\x02\x3f"])
        self.assertEqual([p.protocols.split(":")[-1] for p in got[:3]], ["data"] * 3)


class TcpDissectorTest(DissectorTestCase):
    ports = ("sync0", "sync1")

    def setUp(self):
        super().setUp()
        # Segments of at most 948 bytes, as they go: the larger records
        # straddle them, and no offload hands dumpcap one large packet.
        r = subprocess.run(["ip", "link", "set", "lo", "mtu", "1000", "gso_max_size", "1000",
                            "gso_max_segs", "1"], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)

    def assertStraddled(self, packets, shared=False):
        """Some records were reassembled from several segments; with shared,
        some segments also carried the end of one record and more."""
        self.assertTrue(any(n > 1 for p in packets for n in p.segments), "no record straddles")
        if shared:
            self.assertTrue(any(len(p.records) > 1 for p in packets),
                            "no segment with two records")

    def test_monitor_streams(self):
        sizes = [0, 1, 17, 300, 1500, 4096, 64, 999, 2000, 3, 40, 40, 40]
        sc0, sc1 = sized_scenario(100, sizes), sized_scenario(60000, sizes)
        cap, path = self.capture("tcp port 5000 or tcp port 5001")
        wall = self.run_monitors([(5000, "sync0", 1, ["-t"], sc0),
                                  (5001, "sync1", 0, ["-t", "-v0"], sc1)], tcp=True)
        self.end_capture(cap)

        # The defaults: port 5000, version 1 on TCP.
        got = self.decode(path, where="cvfmon && tcp.port == 5000")
        self.assertForwarded([r for p in got for r in p.records], sc0.played, version=1,
                             gw=9, line=0, wall=wall)
        self.assertDates(got)
        self.assertStraddled(got)
        self.assertTrue(all("tcp:cvfmon" in p.protocols for p in got))

        # (The heuristic still finds the version 1 stream on 5000.)
        got = self.decode(path, "-o", "cvfmon.port:5001", "-o", "cvfmon.tcp_version:0",
                          "-o", "cvfmon.linktype:chdlc", where="cvfmon && tcp.port == 5001")
        self.assertForwarded([r for p in got for r in p.records], sc1.played, version=0,
                             gw=9, line=1, wall=wall)
        self.assertStraddled(got)
        self.assertTrue(any("cvfmon:chdlc" in p.protocols for p in got))

    def test_split_writes_found_by_heuristic(self):
        # Version 1 records on a port the preference does not name, written
        # in pieces cut inside the marker, the time stamp and the length.
        recs = [Record(1, 65535, 1350000000, 999, 255, 3, 1, 0, 0, b""),
                Record(1, 0, 1350000001, 0, 1, 2, 0, 0, 5, b"\x01\x02\x03\x04\x05"),
                Record(1, 1, 4102444800, 500, 7, 0, 1, 0, 300, frame_bytes(1, 300)),
                Record(1, 2, 1, 1, 0, 255, 0, 0, 1, b"\xaa"),
                Record(1, 3, 15012300000, 123, 2, 2, 1, 0, 2000, frame_bytes(3, 2000)),
                Record(1, 4, 15012300000, 124, 2, 2, 0, 0, 7, frame_bytes(4, 7))]
        data = b"".join(record_bytes(1, r.seq, r.secs, r.msecs, r.gw, r.line, r.tx, r.frame)
                        for r in recs)
        # 1: inside the 1, 0; 21: the whole first record and one byte of the
        # next; 45: into the second's frame; 60: inside the third's time
        # stamp; 78: inside its length; then two records and part of a third.
        cuts = [1, 21, 45, 60, 78, 400, 2700, len(data)]
        col = self.collector(port=50123, tcp=True, version=1, count=len(recs))
        cap, path = self.capture("tcp port 50123")
        with socket.create_connection(("127.0.0.1", 50123)) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            pos = 0
            for cut in cuts:
                s.sendall(data[pos:cut])
                pos = cut
                time.sleep(0.05)  # each write its own segment
        self.assertEqual([r.seq for r in col.finished()], [r.seq for r in recs])
        self.end_capture(cap)

        got = self.decode(path)
        self.assertEqual([r for p in got for r in p.records], recs)
        self.assertDates(got)
        self.assertStraddled(got, shared=True)
        self.assertEqual(got[0].dates[0], "Oct 12, 2012 00:00:00.999000000 UTC")

        # Without the heuristic nothing on this port is taken.
        self.assertEqual(self.decode(path, "-o", "cvfmon.heuristic:FALSE"), [])


if __name__ == "__main__":
    unittest.main()
