"""cvfmonUdp and the port: monitor mode on while monitoring and off after,
the interface raised and lowered with -c and left alone without it, and the
driver refusing the monitor-mode request."""

import os
import signal
import unittest

from fmon_harness import IFF_UP, MonitorTestCase, if_flags


class InterfaceRuns:

    def run_until_monitoring(self, *args, port="sync0"):
        """Starts a monitor, checks the port while it monitors, ends it."""
        self.collector()
        mon = self.monitor(port, "127.0.0.1", 5000, 1, *args)
        self.wait_monitoring(mon, port)
        while_running = if_flags(port)
        self.stop_monitor(mon, signal.SIGINT)
        return mon, while_running


class DownPortTest(InterfaceRuns, MonitorTestCase):
    ports_down = True

    def test_raised_with_c_and_lowered_at_exit(self):
        before = if_flags("sync0")
        self.assertFalse(before & IFF_UP)
        mon, running = self.run_until_monitoring("-c")
        self.assertTrue(running & IFF_UP, "up while monitoring")
        self.assertEqual(if_flags("sync0"), before, "down again, other flags as they were")
        self.assertIn("sync0: Preparing interface for monitoring\n", mon.out())
        self.assertIn("Bringing interface sync0 down\n", mon.out())
        self.assertNotIn("Interface already up", mon.out())
        self.assertEqual(self.monitor_state(), "0")

    def test_left_alone_without_c(self):
        before = if_flags("sync0")
        mon, running = self.run_until_monitoring()
        self.assertEqual(running, before)
        self.assertEqual(if_flags("sync0"), before)
        self.assertIn("sync0: Interface already up\n", mon.out())
        self.assertNotIn("Bringing interface", mon.out())


class UpPortTest(InterfaceRuns, MonitorTestCase):

    def test_monitor_mode_follows_the_run(self):
        before = if_flags("sync0")
        self.assertEqual(self.monitor_state(), "0")
        # -c on a port that is up already: nothing to raise, nothing to lower.
        mon, running = self.run_until_monitoring("-c", "-d")
        self.assertEqual(running, before)
        self.assertEqual(if_flags("sync0"), before)
        self.assertIn("sync0: Interface already up\n", mon.out())
        self.assertNotIn("Bringing interface", mon.out())
        self.assertIn("Cleanup, close fd=", mon.out())
        self.assertEqual(self.monitor_state(), "0", "monitor mode off after the run")


class MonitorModeRefusedTest(MonitorTestCase):
    ports = ("sync0", "sync1")

    def refuse(self, port, suffix, errno_name):
        with open(os.path.join(self.simdir, "sync", port + suffix), "w") as f:
            f.write(errno_name)

    def test_refused_at_setup(self):
        self.refuse("sync0", ".refuse", "EPERM")
        self.refuse("sync1", ".refuse", "")
        for port in ("sync0", "sync1"):
            with self.subTest(port=port):
                rc, out, err = self.run_monitor(port, "127.0.0.1", 5000, 1)
                self.assertEqual(rc, 1, out + err)
                self.assertIn("cvfmonUdp: Problem setting monitor mode %s.\n" % port, err)
                self.assertIn("Operation not permitted", err)
                self.assertEqual(self.monitor_state(port), "0")

    def test_port_that_is_no_sync_port(self):
        rc, out, err = self.run_monitor("lo", "127.0.0.1", 5000, 1)
        self.assertEqual(rc, 1, out + err)
        self.assertIn("Problem setting monitor mode lo.", err)
        rc, out, err = self.run_monitor("sync7", "127.0.0.1", 5000, 1)
        self.assertEqual(rc, 1, out + err)
        self.assertIn("Problem setting monitor mode sync7.", err)

    def test_refused_at_exit(self):
        self.refuse("sync0", ".refuse-off", "EBUSY")
        self.collector()
        mon = self.monitor("sync0", "127.0.0.1", 5000, 1, "-d")
        self.wait_monitoring(mon)
        self.stop_monitor(mon)
        self.assertIn("cvfmonUdp: Problem on exit resetting monitor mode sync0.\n\t", mon.err())
        self.assertIn("Device or resource busy", mon.err())
        # The rest of the clean-up still runs.
        self.assertIn("Cleanup, close fd=", mon.out())
        self.assertEqual(self.monitor_state(), "1")


if __name__ == "__main__":
    unittest.main()
