"""cvfmonUdp: what the driver delivers reaches the collector, byte for byte,
over UDP and TCP, IPv4 and IPv6; TCP collectors that go away and come back;
refused UDP sends."""

import re
import time
import unittest

from fmon_harness import ForwardChecks, MonitorTestCase, Scenario, WORDSIZE, frame_bytes


def mixed_scenario(first_seq):
    """Frames of every size class, both directions and odd direction bytes,
    stamps with jumps across seconds and days."""
    sc = Scenario()
    sizes = [0, 1, 2, 17, 300, 1500, 4096, 64]
    directions = [0, 1, 2, 255, 1, 0, 1, 0]
    stamps = [5000, 5001, 6000, 6999, 7000, 130000, 130001, 86400000 * 30 + 7]
    for i, (size, d, st) in enumerate(zip(sizes, directions, stamps)):
        seq = first_seq + i
        sc.rec(seq, st, frame_bytes(seq, size), d)
    if WORDSIZE == 32:
        # The driver's 32-bit millisecond counter wraps; the elapsed time
        # still counts on.
        sc.rec(first_seq + 8, 4294967000, frame_bytes(1, 20), 1)
        sc.rec(first_seq + 9, 500, frame_bytes(2, 20), 0)
    return sc


class ForwardTestCase(MonitorTestCase, ForwardChecks):

    def forward(self, args, scenario, tcp=False, host="127.0.0.1", version=0, port=5000,
                device="sync0", gw=1, card=None):
        """Runs one monitor with args against a collector, plays the
        scenario and returns (records, collector, monitor) once the collector
        has them all; the monitor is ended."""
        col = self.collector(port=port, host=host, tcp=tcp, version=version,
                             count=len(scenario.played), name="collector%d" % port)
        pos = [device, host, port, gw] + ([card] if card is not None else [])
        mon = self.monitor(*(pos + list(args)), name="monitor%d" % port)
        self.wait_monitoring(mon, device)
        before = time.time()
        self.play(scenario, port=device, name="player%d" % port)
        recs = col.finished()
        after = time.time()
        self.stop_monitor(mon)
        self.wall = (before, after)
        return recs, col, mon


class UdpForwardTest(ForwardTestCase):
    ports = ("sync0", "sync3")

    def test_ipv4_version0(self):
        sc = mixed_scenario(0x12340)  # only the low 16 bits go out
        recs, col, mon = self.forward([], sc, device="sync3", gw=0x1234, card=2)
        self.assertForwarded(recs, sc.played, version=0, gw=0x34, line=1, wall=self.wall)
        self.assertEqual(recs[0].seq, 0x2340)
        summary = col.summary()
        self.assertEqual((summary["invalid"], summary["lost"]), (0, 0))
        for word in ("lost", "UNEXPECTED", "Error"):
            self.assertNotIn(word, mon.err())

    def test_ipv6_version1_truncated(self):
        sc = Scenario()
        for i, size in enumerate([10, 4, 3, 0, 5, 4096]):
            sc.rec(500 + i, 70 + 3 * i, frame_bytes(i, size), i % 2)
        recs, col, mon = self.forward(["-v1", "-l4"], sc, host="::1", version=1, gw=300)
        self.assertIn("Frames truncated to 4 bytes\n", mon.out())
        self.assertForwarded(recs, sc.played, version=1, gw=300, line=0, wall=self.wall,
                             trunc=4)

    def test_local_numbering(self):
        # -q numbers from 0 whatever the driver's numbers are; the display
        # line still shows the driver's number.
        sc = Scenario().recs(range(65534, 65541), size=8)
        recs, col, mon = self.forward(["-q", "-d"], sc)
        self.assertForwarded(recs, sc.played, version=0, gw=1, line=0, wall=self.wall,
                             local_seq=0)
        self.assertIn("seq=65540, ", mon.out())


class TcpForwardTest(ForwardTestCase):

    def test_header_versions(self):
        # -t selects version 1 unless a later -v0 says otherwise.
        cases = [(["-t"], "::1", 1), (["-t", "-v0"], "127.0.0.1", 0),
                 (["-v0", "-t"], "127.0.0.1", 1), (["-v1", "-t", "-v0", "-d"], "::1", 0)]
        for n, (args, host, version) in enumerate(cases):
            with self.subTest(args=args):
                sc = mixed_scenario(1000 * (n + 1))
                recs, col, mon = self.forward(args, sc, tcp=True, host=host, version=version,
                                              port=6000 + n, gw=9)
                self.assertForwarded(recs, sc.played, version=version, gw=9, line=0,
                                     wall=self.wall)
                summary = col.summary()
                self.assertEqual((summary["tcp_connections"], summary["sync_losses"]), (1, 0))


class TcpReconnectTest(ForwardTestCase):

    def test_collector_lost_and_regained(self):
        # Gone, the monitor finds out on its next sends and drops records
        # until it can connect again; back, records flow again once the
        # reconnect time has passed, on a new connection that starts with a
        # whole record.
        mon, second, _, player = self.tcp_collector_gone_and_back(self.monitor, 170)
        recs = second.finished(timeout=120)
        player.stop()
        seqs = [r.seq for r in recs]
        self.assertEqual(seqs, list(range(seqs[0], seqs[0] + 5)), "in order, nothing between")
        self.assertGreaterEqual(seqs[0], 110)
        self.assertEqual(recs[0].frame, frame_bytes(seqs[0], 16))
        summary = second.summary()
        self.assertEqual((summary["tcp_connections"], summary["sync_losses"],
                          summary["invalid"]), (1, 0, 0))
        self.assertIn("TCP connection successful.\n", mon.err())
        self.assertIn("TCP write failed", mon.out())
        self.stop_monitor(mon)


class UdpRefusedTest(ForwardTestCase):
    """Nothing listens on the collector's UDP port: the sends are refused."""

    REFUSED = re.compile(r"cvfmonUdp: Error in UDP write, length=(\d+), seq=(\d+): error=111 ")

    def refused_run(self, args):
        mon = self.monitor("sync0", "127.0.0.1", 5000, 1, "-d", *args)
        self.wait_monitoring(mon)
        self.play(Scenario().recs(range(300, 310), size=12))
        mon.wait_text("seq=309,", stream="out")
        # A collector that starts now gets what follows: the refusals
        # before it are over.
        # (The first send after a refusal can still carry the refusal of the
        # one before, hence more than one record.)
        col = self.collector(count=1)
        self.play(Scenario().recs([310, 311, 312]), name="sentinel")
        self.assertIn(col.finished()[0].seq, (310, 311, 312))
        self.stop_monitor(mon)
        return mon

    def test_refusals_reported(self):
        mon = self.refused_run([])
        found = self.REFUSED.findall(mon.err())
        self.assertTrue(found, mon.err())
        for length, seq in found:
            # A sentinel can still carry the last refusal, and those after the
            # one the collector took are refused once it has gone.
            self.assertEqual(int(length), 18 + (12 if int(seq) < 310 else 16))
            self.assertIn(int(seq), range(300, 313))
        self.assertTrue(any(int(seq) < 310 for _, seq in found), mon.err())
        self.assertIn("Connection refused", mon.err())

    def test_refusals_ignored(self):
        mon = self.refused_run(["-j"])
        self.assertNotIn("Error in UDP write", mon.err())


if __name__ == "__main__":
    unittest.main()
