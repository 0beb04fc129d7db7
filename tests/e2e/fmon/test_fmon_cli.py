"""cvfmonUdp: command line, usage text, refusals, exit statuses and signals."""

import signal
import time
import unittest

from fmon_harness import MONITOR, MonitorTestCase, Scenario, TIMEOUT

USAGE = (
    "usage: cvfmonUdp device IPaddress port GwId [-options]\n"
    "e.g. cvfmonUdp sync0 192.168.1.94 8888 1\n"
    "cvfmonUdp options:\n"
    "\t\t-t     Use TCP (instead of UDP)\n"
    "\t\t-c     Monitor char interface\n"
    "\t\t-d     Display data\n"
    "\t\t-l<n>  Truncate data (n>0)\n"
    "\t\t-q     Generate Sequence Number\n"
    "\t\t-j     Ignore ECONNREFUSED\n"
    "\t\t-b     Default RcvBuf\n"
    "\t\t-B<z>  Set SO_RCVBUF in kbytes\n"
    "\t\t-w<u>  Minimum delay between sends in microseconds, default=%u\n"
    "\t\t-r<s>  Delay between TCP connection retry in seconds, default=%u\n"
    "\n"
    "\t\t-f     Flood mode\n"
    "\t\t-fn<n> Flood count\n"
    "\t\t-fz<n> Flood frame size\n"
    "\t\t-fw    Flood delay mode\n")

# A host name the resolver rejects on its own, without asking any server.
BAD_HOST = "no!such!host"


class CommandLineTest(MonitorTestCase):
    """Usage, refusals and the start-up exit statuses; none of these runs
    reaches the interface."""

    def assertUsage(self, args, delay=40, reconnect=5):
        rc, out, err = self.run_monitor(*args)
        self.assertEqual(rc, 1, err)
        self.assertTrue(err.startswith("cvfmonUdp version 1.8.4, "), err)
        self.assertTrue(err.endswith(USAGE % (delay, reconnect)), err)

    def test_usage_requests(self):
        for args in (["-?"], ["-h"], ["/H"], ["?"],
                     ["sync0", "127.0.0.1", "5000", "1", "0", "extra"],
                     ["sync0", "127.0.0.1", "5000", "1", "0", "6th", "-t"]):
            with self.subTest(args=args):
                self.assertUsage(args)

    def test_usage_shows_current_defaults(self):
        self.assertUsage(["-w100", "-r9", "-h"], delay=100, reconnect=9)

    def test_no_arguments(self):
        # The banner and no usage text; the empty settings then fail at the
        # first connection.
        rc, out, err = self.run_monitor()
        self.assertIn("cvfmonUdp version 1.8.4, ", err)
        self.assertNotIn("usage:", err)
        self.assertEqual(rc, 105, out + err)

    def test_refusals(self):
        # Names that do not fit and values outside what the program can
        # honour are refused before anything is touched.
        long_dev = "sync" + "0" * 12          # 16 characters
        long_host = "h" * 254
        cases = {
            "device": [long_dev, "127.0.0.1", "5000", "1"],
            "host": ["sync0", long_host, "5000", "1"],
            "delay": ["sync0", "127.0.0.1", "5000", "1", "-w1000001"],
            "negative delay": ["sync0", "127.0.0.1", "5000", "1", "-w-1"],
            "rcvbuf": ["sync0", "127.0.0.1", "5000", "1", "-B2097152"],
            "flood size": ["sync0", "127.0.0.1", "5000", "1", "-fz5000"],
            "negative flood size": ["sync0", "127.0.0.1", "5000", "1", "-fz-3"],
        }
        for what, args in cases.items():
            with self.subTest(what):
                rc, out, err = self.run_monitor(*args)
                self.assertEqual(rc, 1, out + err)
                self.assertIn("cvfmonUdp: ", err)
                self.assertNotIn("usage:", err)
                self.assertNotIn("Flood started", out)

    def test_longest_names_accepted(self):
        # The longest device name an interface can have is taken whole: the
        # port simply does not exist, which set-up reports.
        rc, out, err = self.run_monitor("sync" + "9" * 11, "127.0.0.1", "5000", "1")
        self.assertEqual(rc, 1, out + err)
        self.assertNotIn("too long", err)

    def test_unresolvable_collector(self):
        rc, out, err = self.run_monitor("sync0", BAD_HOST, "5000", "1", "-d")
        self.assertEqual(rc, 105, out + err)
        self.assertIn("cvfmonUdp: Unable to connect to UDP socket", err)
        self.assertIn("getaddrinfo failure", out)
        self.assertNotIn("Interface already up", out, "no interface steps")

    def test_tcp_flood_without_collector(self):
        # A TCP flood whose connection fails gives up at once, status 0.
        rc, out, err = self.run_monitor("sync0", "127.0.0.1", "5000", "1", "-t", "-fn5")
        self.assertEqual(rc, 0, out + err)
        self.assertIn("Flood aborted: TCP connect failed\n", err)
        self.assertNotIn("Flood started", out)


class SignalTest(MonitorTestCase):
    """SIGINT and SIGTERM end a monitoring run with status 2 after about a
    second, through the same clean-up as any exit."""

    def test_signals(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(sig=sig.name):
                col = self.collector(port=5000 + sig)
                mon = self.monitor("sync0", "127.0.0.1", 5000 + sig, "1", "-d")
                self.wait_monitoring(mon)
                sent = time.monotonic()
                mon.signal(sig)
                rc = mon.wait()
                took = time.monotonic() - sent
                self.assert_no_sanitizer(mon)
                self.assertEqual(rc, 2, mon.describe())
                self.assertIn("Signal Terminate, sig=%d\n" % sig, mon.err())
                self.assertGreaterEqual(took, 0.9, "the pause before the exit")
                self.assertLess(took, TIMEOUT)
                self.assertIn("Cleanup, close fd=", mon.out())
                self.assertEqual(self.monitor_state(), "0", "monitor mode reset at exit")
                col.stop()


class StandardDescriptorTest(MonitorTestCase):
    """Started with a standard descriptor closed (as some supervisors do),
    the program must neither take its collector socket for "no connection"
    nor send its own lines to the collector."""

    def started_with_closed(self, fd, *args, name="monitor"):
        argv = ["/bin/sh", "-c", 'exec "$@" %d>&-' % fd, "sh", MONITOR] + [str(a) for a in args]
        return self.start(name, argv)

    def test_flood_with_each_descriptor_closed(self):
        # -d makes the program write on both streams once connected.
        for fd in (0, 1, 2):
            with self.subTest(closed=fd):
                col = self.collector(port=5000 + fd, name="collector%d" % fd)
                mon = self.started_with_closed(fd, "sync0", "127.0.0.1", 5000 + fd, 1, "-d",
                                               "-fn5", name="flood%d" % fd)
                self.assertEqual(mon.wait(), 0, mon.describe())
                self.assert_no_sanitizer(mon)
                recs = col.stop()
                self.assertEqual([r.seq for r in recs], list(range(5)), mon.describe())
                self.assertEqual((col.summary()["records"], col.summary()["invalid"]), (5, 0))
                self.assertNotIn("Flood aborted", mon.err())
                if fd != 1:
                    self.assertIn("successful sends=5\n", mon.out())

    def test_monitor_with_standard_input_closed(self):
        col = self.collector(count=3)
        mon = self.started_with_closed(0, "sync0", "127.0.0.1", 5000, 1)
        self.wait_monitoring(mon)
        self.play(Scenario().recs([40, 41, 42]))
        self.assertEqual([r.seq for r in col.finished()], [40, 41, 42])
        self.stop_monitor(mon)


if __name__ == "__main__":
    unittest.main()
