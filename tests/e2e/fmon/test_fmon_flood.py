"""cvfmonUdp flood mode: synthetic records to the collector, counted and
sized as asked, over UDP and TCP, and a TCP collector that goes away."""

import re
import signal
import time
import unittest

from fmon_harness import MonitorTestCase, TIMEOUT


class FloodTest(MonitorTestCase):

    def flood(self, count, args, tcp=False, version=0, host="127.0.0.1", port=5000):
        col = self.collector(port=port, host=host, tcp=tcp, version=version, count=count,
                             name="collector%d" % port)
        before = time.time()
        rc, out, err = self.run_monitor("sync0", host, port, 0x105, *args)
        recs = col.finished()
        after = time.time()
        self.assertEqual(rc, 0, out + err)
        return recs, out, err, (before, after)

    def assertFlood(self, recs, out, count, size, version, wall):
        record = size + 2 + (20 if version else 18)
        self.assertEqual(len(recs), count)
        self.assertEqual([r.seq for r in recs], list(range(count)))
        for r in recs:
            self.assertEqual((r.version, r.gw, r.line, r.tx, r.reserved, r.frame_len),
                             (version, 5, 0, 1, 0, size + 2))
            self.assertEqual(r.frame, bytes(size + 2))
            self.assertLess(r.msecs, 1000)
            self.assertTrue(wall[0] - 1 <= r.secs + r.msecs / 1000 <= wall[1] + 1)
        started = re.search(r"Flood started: \d+\.\d{6}, (using sched_yield|delay=\d+), size=(\d+)\n",
                            out)
        self.assertTrue(started, out)
        self.assertEqual(int(started.group(2)), record)
        finished = out.index("Flood finished: ")
        duration = out.index("\nDuration=")
        self.assertLess(finished, duration)
        self.assertRegex(out[duration:], r"^\nDuration=\d+\.\d{6}, successful sends=%d\n" % count)

    def test_udp_counts_and_sizes(self):
        cases = [(["-fn5"], 5, 131, 0), (["-fz0", "-fn3", "-v1"], 3, 0, 1),
                 (["-fn20", "-fz1000", "-fw", "-w100"], 20, 1000, 0),
                 (["-fz4000", "-fn2", "-b"], 2, 4000, 0)]
        for n, (args, count, size, version) in enumerate(cases):
            with self.subTest(args=args):
                recs, out, err, wall = self.flood(count, args, version=version, port=5000 + n)
                self.assertFlood(recs, out, count, size, version, wall)
                if "-fw" in args:
                    self.assertIn("delay=100, ", out)

    def test_tcp_ipv6(self):
        recs, out, err, wall = self.flood(50, ["-t", "-fn50", "-fz7"], tcp=True, version=1,
                                          host="::1")
        self.assertFlood(recs, out, 50, 7, 1, wall)

    def test_tcp_collector_goes_away(self):
        # The collector takes a few records and leaves; the endless flood
        # must notice and end with a message, not die of a broken pipe.
        col = self.collector(tcp=True, version=1, count=10)
        mon = self.monitor("sync0", "127.0.0.1", 5000, 1, "-t", "-f")
        self.assertEqual(len(col.finished()), 10)
        rc = mon.wait(TIMEOUT)
        self.assert_no_sanitizer(mon)
        self.assertNotEqual(rc, -signal.SIGPIPE, "killed by SIGPIPE\n" + mon.describe())
        self.assertNotEqual(rc, 0, mon.describe())
        self.assertIn("cvfmonUdp: ", mon.err())
        self.assertIn("successful sends=", mon.out())

    def test_endless_flood_ends_on_signal(self):
        col = self.collector(count=100)
        mon = self.monitor("sync0", "127.0.0.1", 5000, 1, "-f", "-fz10")
        col.finished()
        self.stop_monitor(mon, signal.SIGINT)
        sends = int(re.search(r"successful sends=(\d+)", mon.out()).group(1))
        self.assertGreaterEqual(sends, 100)


if __name__ == "__main__":
    unittest.main()
