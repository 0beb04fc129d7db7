"""cvfcollect --nats and --from-nats against a real three-node nats-server
cluster with JetStream: player -> monitor -> collector publishing to a
stream of three replicas -> a consumer writing rotated pcapng files, read
back with tshark. Every record the player played must be in the capture
exactly once, in order per line, through a node killed and started again,
the consumer stopped or killed and started again, two collectors of one
multicast group (one of them killed), and the whole cluster down for a
while (then what is missing is exactly what the collector counted as not
published)."""

import glob
import json
import os
import signal
import subprocess
import time
import unittest

from nats_harness import NATS_SERVER, NatsCluster, collector_argv
from fmon_harness import MonitorTestCase, Scenario, TIMEOUT, wait_until

GROUP = "239.1.2.3"


def tagged(seq, line):
    """A frame that names its line and number: the capture is checked by it."""
    return bytes([line, seq >> 8 & 0xFF, seq & 0xFF]) + bytes(9)


def stream_of(count, line, pause_every=10, pause_ms=10):
    """count records of line, numbered from 0, about 1000 a second."""
    sc = Scenario()
    for seq in range(count):
        sc.rec(seq, 1000 + seq, tagged(seq, line), seq % 2)
        if seq % pause_every == pause_every - 1:
            sc.pause(pause_ms)
    return sc


def tshark(args):
    r = subprocess.run(["tshark"] + args, capture_output=True, text=True, timeout=TIMEOUT * 2,
                       stdin=subprocess.DEVNULL)
    assert r.returncode == 0, r.stderr
    return r.stdout


def stream_place(comment):
    """(stream sequence, index in the message) of "nats-seq=N[/I]"."""
    seq, _, index = comment.split("=")[1].partition("/")
    return int(seq), int(index or 0)


def captured(pattern):
    """(interface name, place in the stream, (line, seq) of the frame) of every
    packet of the files matching pattern, in file and packet order."""
    out = []
    for path in sorted(glob.glob(pattern)):
        rows = [ln.split("|") for ln in tshark(
            ["-r", path, "-T", "fields", "-E", "separator=|", "-e", "frame.interface_name",
             "-e", "frame.comment"]).splitlines()]
        raw = [json.loads(ln)["layers"]["frame_raw"] for ln in tshark(
            ["-r", path, "-T", "ek", "-x"]).splitlines() if ln.startswith('{"timestamp"')]
        for (name, comment), hexbytes in zip(rows, raw):
            frame = bytes.fromhex(hexbytes)
            out.append((name, stream_place(comment), (frame[0], frame[1] << 8 | frame[2])))
    return out


@unittest.skipUnless(os.access(NATS_SERVER, os.X_OK), "nats-server is not installed")
class NatsTest(MonitorTestCase):
    ports = ("sync0", "sync1")
    records = 1500  # per line

    def setUp(self):
        super().setUp()
        self.cluster = NatsCluster(self).start()
        self.cap = os.path.join(self.tmp, "cap.pcapng")

    # -- the chain -----------------------------------------------------------

    def publisher(self, name="collector", extra=()):
        return self.collector(name=name, extra=["--nats", self.cluster.urls(), "--replicas", "3"]
                              + [str(a) for a in extra])

    def monitors(self, host="127.0.0.1"):
        for i, port in enumerate(self.ports):
            mon = self.monitor(port, host, 5000, i + 1, name="monitor-" + port)
            self.wait_monitoring(mon, port)

    def play_all(self):
        """Starts a player on every port at once; returns them."""
        return [self.play(stream_of(self.records, i), port=port, name="player-" + port,
                          wait=False) for i, port in enumerate(self.ports)]

    def played(self, players, stored=True):
        """Waits for the players to end and then (stored) for the stream to
        take no more: on a busy machine the monitors and the collector may
        still be forwarding the last records. What is missing is for the
        checks that follow to say."""
        for p in players:
            self.assertEqual(p.wait(TIMEOUT * 4), 0, p.describe())
        if stored:
            try:
                self.cluster.settled(quiet=1.5)
            except AssertionError:
                pass

    def consumer(self, name="consumer", *extra, durable="cap"):
        return self.start(name, collector_argv(
            "--from-nats", self.cluster.urls(), "--durable", durable, "-w", self.cap, "-C", "0.02",
            "-j", os.path.join(self.tmp, name + ".json"), *[str(a) for a in extra]))

    def consume_all(self, count=0, name="consumer-last"):
        """A consumer, started once the cluster is whole, that ends 5
        seconds after its last record or once it has taken count."""
        self.cluster.wait_ready()
        p = self.consumer(name, "-i", 5, *(["-c", count] if count else []))
        self.assertEqual(p.wait(TIMEOUT * 2), 0, p.describe())
        return p

    def expected(self):
        return {"gw%d-line%d" % (i + 1, i): [(i, s) for s in range(self.records)]
                for i in range(len(self.ports))}

    def assert_captured_once(self, ordered=True):
        """Every record played is in the capture files once, in order per
        line unless told otherwise (records that a killed consumer left
        unacknowledged come again after later ones), and the stream
        sequences are each there once."""
        got = captured(os.path.join(self.tmp, "cap-*.pcapng"))
        seqs = [s for _, s, _ in got]
        self.assertEqual(len(seqs), len(set(seqs)), "a stream sequence captured twice")
        by_line = {}
        for name, _, rec in got:
            by_line.setdefault(name, []).append(rec)
        want = self.expected()
        for name in want:
            have = by_line.get(name, [])
            self.assertEqual(sorted(set(want[name]) - set(have)), [], "%s: not captured" % name)
            self.assertEqual(len(have), len(set(have)), "%s: captured twice" % name)
            if ordered:
                self.assertEqual(have, want[name], "%s: out of order" % name)
        self.assertEqual(sorted(by_line), sorted(want))
        return got

    def stop_collector(self, col):
        col.proc.signal(signal.SIGTERM)
        self.assertEqual(col.proc.wait(TIMEOUT), 0, col.proc.describe())
        return col.summary()

    # -- the cases -----------------------------------------------------------

    def test_every_record_reaches_the_capture_in_order(self):
        col = self.publisher()
        self.assertIn("stream CVFMON created (subjects cvfmon.>, 3 replicas", col.proc.err())
        self.monitors()
        self.played(self.play_all())
        s = self.stop_collector(col)
        self.assertEqual((s["nats_published"], s["nats_unpublished"]), (2 * self.records, 0))
        again = self.collector(name="collector-2", extra=["--nats", self.cluster.urls(),
                                                          "--max-age", "60"])
        self.assertIn("stream CVFMON exists with other settings (replicas 3, max age (s) 0); "
                      "used as it is", again.proc.err())
        self.stop_collector(again)
        self.consume_all()
        self.assert_captured_once()
        self.assertLessEqual(self.cluster.stream_messages(), 2 * self.records)

    def test_a_collector_started_before_the_cluster_publishes_once_it_is_up(self):
        self.cluster.stop_all()
        col = self.publisher()
        self.assertIn("cannot publish to stream CVFMON yet", col.proc.err())
        self.monitors()
        players = self.play_all()
        time.sleep(0.5)
        for i in range(3):
            self.cluster.start_node(i)
        self.played(players)
        self.cluster.wait_ready()
        wait_until(lambda: "publishing to stream CVFMON" in col.proc.err(), TIMEOUT * 2,
                   "the collector publishing")
        self.cluster.settled()
        s = self.stop_collector(col)
        self.assertEqual((s["nats_published"], s["nats_unpublished"]), (2 * self.records, 0))
        self.assertLessEqual(self.cluster.stream_messages(), 2 * self.records)

    def test_a_node_killed_and_started_again_loses_nothing(self):
        col = self.publisher()
        self.monitors()
        players = self.play_all()
        time.sleep(0.7)
        self.cluster.kill(0)
        time.sleep(1.0)
        self.cluster.start_node(0)
        self.played(players)
        self.cluster.wait_ready()
        s = self.stop_collector(col)
        self.assertEqual(s["nats_unpublished"], 0)
        self.consume_all()
        self.assert_captured_once(ordered=False)  # what the dead node lost is published again
        self.assertLessEqual(self.cluster.stream_messages(), 2 * self.records)

    def test_consumer_stopped_and_killed_goes_on_where_it_was(self):
        col = self.publisher()
        self.monitors()
        players = self.play_all()
        first = self.consumer("consumer-1")
        wait_until(lambda: len(glob.glob(os.path.join(self.tmp, "cap-*.pcapng"))) >= 2,
                   what="the first consumer's second file")
        first.signal(signal.SIGTERM)
        self.assertEqual(first.wait(), 0, first.describe())
        second = self.consumer("consumer-2")
        files = len(glob.glob(os.path.join(self.tmp, "cap-*.pcapng")))
        wait_until(lambda: len(glob.glob(os.path.join(self.tmp, "cap-*.pcapng"))) >= files + 2,
                   what="the second consumer's second file")
        second.signal(signal.SIGKILL)
        second.wait()
        self.played(players)
        self.stop_collector(col)
        last = self.consume_all()
        self.assertIn("going on after it", last.err())
        self.assert_captured_once(ordered=False)
        # a new consumer has read nothing: the files do not count as read
        other = self.consumer("consumer-other", "-c", 10, durable="other")
        self.assertEqual(other.wait(TIMEOUT * 2), 0, other.describe())
        self.assertIn("that consumer other never read (it is new)", other.err())

    def test_two_collectors_of_one_group_store_each_record_once(self):
        for argv in (["link", "set", "lo", "multicast", "on"],
                     ["route", "add", "224.0.0.0/4", "dev", "lo"]):
            subprocess.run(["ip"] + argv, check=True, timeout=TIMEOUT)
        cols = [self.publisher("collector-%d" % i, ["--join", GROUP]) for i in (1, 2)]
        self.monitors(GROUP)
        players = self.play_all()
        time.sleep(0.8)
        cols[1].proc.signal(signal.SIGKILL)
        cols[1].proc.wait()
        self.played(players)
        s = self.stop_collector(cols[0])
        self.assertEqual((s["records"], s["nats_unpublished"]), (2 * self.records, 0))
        self.consume_all()
        self.assert_captured_once()
        self.assertLessEqual(self.cluster.stream_messages(), 2 * self.records)

    def test_cluster_down_the_unpublished_count_is_what_is_missing(self):
        col = self.publisher(extra=["--nats-backlog", 300])
        self.monitors()
        players = self.play_all()
        time.sleep(0.5)
        self.cluster.stop_all()
        time.sleep(1.0)
        for i in range(3):
            self.cluster.start_node(i)
        self.played(players, stored=False)
        self.cluster.wait_ready()
        self.cluster.settled()  # the backlog is published once the stream has its leader again
        s = self.stop_collector(col)
        # the reference is what the collector received (the monitor may lose
        # records to a machine busy with restarting the cluster)
        received = s["records"]
        self.assertGreater(s["nats_unpublished"], 0, "the backlog never filled")
        self.assertGreater(s["nats_published"], 0, "nothing published after the cluster came back")
        self.consume_all(s["nats_published"])
        got = captured(os.path.join(self.tmp, "cap-*.pcapng"))
        self.assertEqual(len(got), len({rec for _, _, rec in got}), "a record captured twice")
        self.assertEqual(received - len(got), s["nats_unpublished"])
        self.assertEqual(s["nats_published"], len(got))
        # the backlog went out several records to a message, read one by one
        self.assertLess(self.cluster.stream_messages(), len(got))
        self.assertTrue(any(index for _, (_, index), _ in got), "no record of a batch captured")


if __name__ == "__main__":
    unittest.main()
