"""cvfmonUdp under a time of day that is set back or forward every time it is
read: the initial window and the TCP reconnection delay keep their own
lengths, and the records' time stamps still come from the time of day."""

import os
import time
import unittest

from fmon_harness import BIN, MONITOR, PRELOAD, MonitorTestCase, Scenario, SLOW, stamp_ms

CLOCK_STEP = os.path.join(BIN, "$LIB", "libcvclockstep.so")  # $LIB: expanded by the loader
HOUR = 3600
# 2020-01-01: a stamp before it is no time of day.
TIME_OF_DAY_MS = 1577836800 * 1000


class SteppingClockTest(MonitorTestCase):

    def stepping_monitor(self, step, *args, name="monitor"):
        env = dict(self.env, LD_PRELOAD=PRELOAD + " " + CLOCK_STEP, CV_CLOCK_STEP=str(step))
        return self.start(name, [MONITOR] + [str(a) for a in args], env=env)

    def test_initial_window_keeps_its_length(self):
        # Set back, the window would stay open until the clock caught up;
        # set forward, it would close before the records in flight are in.
        for n, step in enumerate((-HOUR, HOUR)):
            with self.subTest(step=step):
                col = self.collector(port=5000 + n, count=3, name="collector%d" % n)
                mon = self.stepping_monitor(step, "sync0", "127.0.0.1", 5000 + n, 1,
                                            name="monitor%d" % n)
                self.wait_monitoring(mon)
                sc = Scenario().recs([107, 105, 106])
                self.deliver(mon, sc, name="player%d" % n)
                delivered = time.monotonic()
                recs = col.finished()
                self.assertLess(time.monotonic() - delivered, 3 * SLOW, "window ended late")
                self.stop_monitor(mon)
                self.assertEqual([r.seq for r in recs], [105, 106, 107])
                self.assertNotIn("UNEXPECTED", mon.err())
                self.assertNotIn("lost", mon.err())
                self.assertGreater(stamp_ms(recs[0]), TIME_OF_DAY_MS, "stamps are times of day")

    def test_tcp_reconnection_after_its_delay(self):
        # Gone, the monitor finds out, closes the connection and fails its
        # next attempt; back, the next attempt is due one retry time after
        # the last one.
        mon, second, back, player = self.tcp_collector_gone_and_back(
            lambda *args: self.stepping_monitor(-HOUR, *args), 250)
        recs = second.finished()
        took = time.monotonic() - back
        player.stop()
        self.assertLess(took, 5 * SLOW, "reconnected late")
        seqs = [r.seq for r in recs]
        self.assertEqual(seqs, list(range(seqs[0], seqs[0] + 5)))
        self.assertIn("TCP write failed", mon.out())
        self.assertIn("TCP connection successful.\n", mon.err())
        self.stop_monitor(mon)


if __name__ == "__main__":
    unittest.main()
