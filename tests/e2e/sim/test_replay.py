"""cvsim --capture end to end: a capture played into a port, forwarded by
cvfmonUdp and written by cvfcollect comes out with the same frames, in the
same order, with the same directions (and, played from a collector's own
capture, the same spacing), as tshark reads both files; a file the port
cannot carry is refused before anything is played. The input files are
written by the collector itself or by Wireshark's text2pcap."""
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "fmon"), os.path.join(HERE, "..", "cvfcollect")]
import fmon_harness as h  # noqa: E402
from test_capture import RX, TX, packets  # noqa: E402

# Debian has no 32-bit capture library: that build refuses --capture.
READS_CAPTURES = h.WORDSIZE == 64
LINK_TYPES = {"mtp2": 140, "lapd": 203, "frelay": 107, "chdlc": 104, "ppp-hdlc": 50}


def frames_for(n, sizes):
    """n recognisable frames whose sizes cycle through sizes."""
    return [h.frame_bytes(i, sizes[i % len(sizes)]) for i in range(n)]


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, timeout=h.TIMEOUT,
                          stdin=subprocess.DEVNULL, **kw)


class Chain:
    """The monitor test set-up with captures written by text2pcap and the
    whole chain run on them."""

    def path(self, name):
        return os.path.join(self.tmp, name)

    def text2pcap(self, name, link, frames, marks=None, pcap=False):
        """A capture of frames written by text2pcap: pcapng (with the
        inbound or outbound flag of each packet marked "I" or "O" in marks)
        or pcap."""
        lines = []
        for i, frame in enumerate(frames):
            for off in range(0, len(frame), 16):
                mark = marks[i] + " " if marks and off == 0 else ""
                lines.append("%s%06x %s" % (mark, off, frame[off:off + 16].hex(" ")))
        with open(self.path(name + ".txt"), "w") as f:
            f.write("\n".join(lines) + "\n")
        argv = ["text2pcap", "-q", "-l", str(LINK_TYPES.get(link, link))]
        argv += (["-F", "pcap"] if pcap else []) + (["-D"] if marks else [])
        r = run(argv + [self.path(name + ".txt"), self.path(name)])
        self.assertEqual(r.returncode, 0, r.stderr)
        return self.path(name)

    def chain(self, linktype, count, play_args, collector_name="collector"):
        """Monitor and collector on sync0, the player given play_args;
        returns the collector's capture once it holds count packets, and
        the collector."""
        out = self.path(collector_name + ".pcapng")
        col = self.collector(count=count, name=collector_name, extra=["-w", out, "-y", linktype])
        mon = self.monitor("sync0", "127.0.0.1", 5000, 1)
        self.wait_monitoring(mon)
        self.play(extra=["--layout", h.WORDSIZE] + play_args, name=collector_name + "-player")
        col.finished()
        mon.signal(15)
        mon.wait()
        return out, col

    def assert_round_trip(self, sent, got, fallback):
        """got holds sent's frames in order, each in the direction of its
        packet's flags, else the one the fallback list gives in turn."""
        self.assertEqual([p["bytes"] for p in got], [p["bytes"] for p in sent])
        undirected = iter(fallback)
        want = [p["frame.packet_flags_direction"] or next(undirected) for p in sent]
        self.assertEqual([p["frame.packet_flags_direction"] for p in got], want)


@unittest.skipUnless(READS_CAPTURES, "this build reads no captures")
class RoundTrip(Chain, h.MonitorTestCase):
    def test_collector_capture_comes_back_the_same(self):
        """A capture the collector wrote from synthetic traffic, played at
        its own pace: frames, order, directions and the gaps between
        packets (milliseconds, as the records carry them) come back."""
        synthetic = ["--count", "120", "--rate", "200", "--size-min", "1", "--size-max", "300",
                     "--start-seq", "4294967200"]
        first, _ = self.chain("mtp2", 120, synthetic, collector_name="first")
        again, col = self.chain("mtp2", 120, ["--capture", first, "--start-seq", "7"],
                                collector_name="again")
        sent, got = packets(first), packets(again)
        self.assert_round_trip(sent, got, [])
        self.assertEqual({p["frame.packet_flags_direction"] for p in got}, {RX, TX})
        ms = lambda rows: [round(float(p["frame.time_epoch"]) * 1000) for p in rows]
        gaps = lambda t: [b - a for a, b in zip(t, t[1:])]
        self.assertEqual(gaps(ms(got)), gaps(ms(sent)))
        # numbered on from --start-seq: the collector saw no gap or repeat
        line = col.summary()["lines"][0]
        self.assertEqual((line["first_seq"], line["last_seq"], line["lost"], line["out_of_order"]),
                         (7, 126, 0, 0))

    def test_link_types_formats_and_directions(self):
        """Each link type, from pcap (no directions) and pcapng (with and
        without flags, several interfaces), under each --direction."""
        marked = "IOOIOIIO"
        cases = [
            # link, file, --direction, directions of packets without flags
            ("lapd", dict(marks=marked), [], []),
            ("frelay", dict(pcap=True), ["--direction", "alternate"], [RX, TX] * 4),
            ("chdlc", dict(pcap=True), ["--direction", "tx"], [TX] * 8),
            ("ppp-hdlc", dict(), [], [RX] * 8),
            ("mtp2", "merged", ["--direction", "tx"], [TX] * 8),
        ]
        for link, how, option, fallback in cases:
            with self.subTest(link=link):
                frames = frames_for(8, [3, 40, 1, 4096, 17])
                if how == "merged":
                    # two interfaces, one with flags, one without, their
                    # packets interleaved by time
                    a = self.text2pcap("a", link, frames[:4], marks=marked[:4])
                    b = self.text2pcap("b", link, frames[4:])
                    path = self.path(link)
                    r = run(["mergecap", "-I", "none", "-w", path, a, b])
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertIn("Number of interfaces in file: 2", run(["capinfos", path]).stdout)
                else:
                    path = self.text2pcap(link, link, frames, **how)
                out, _ = self.chain(link, len(frames), ["--capture", path, "--speed", "0"] + option,
                                    collector_name="out-" + link)
                sent, got = packets(path), packets(out)
                self.assertEqual(len(sent), len(frames))
                self.assert_round_trip(sent, got, fallback)


def rx_packets(port):
    """Packets the player has written into port, as the kernel counts them
    (in the namespace of the calling test)."""
    with open("/proc/self/net/dev") as f:
        for line in f:
            name, _, counters = line.partition(":")
            if name.strip() == port:
                return int(counters.split()[1])
    raise AssertionError("no port " + port)


@unittest.skipUnless(READS_CAPTURES, "this build reads no captures")
class Refusals(Chain, h.MonitorTestCase):
    def files(self):
        """(file, the reason cvsim gives) for files it must refuse."""
        mtp2 = frames_for(3, [20])
        good = self.text2pcap("good.pcap", "mtp2", mtp2, pcap=True)
        with open(good, "rb") as f:
            whole = f.read()
        lapd = self.text2pcap("lapd.pcapng", "lapd", mtp2)
        mixed = self.path("mixed.pcapng")
        r = run(["mergecap", "-a", "-w", mixed, self.text2pcap("m.pcapng", "mtp2", mtp2), lapd])
        self.assertEqual(r.returncode, 0, r.stderr)
        snapped = self.path("snapped.pcap")
        r = run(["editcap", "-s", "8", good, snapped])
        self.assertEqual(r.returncode, 0, r.stderr)

        def write(name, data):
            with open(self.path(name), "wb") as f:
                f.write(data)
            return self.path(name)

        return [
            (self.text2pcap("eth.pcap", 1, mtp2, pcap=True),
             "packet 1 is of link type Ethernet; cvsim plays MTP2 (140), LAPD (203), Frame Relay "
             "(107), Cisco HDLC (104), PPP in HDLC framing (50)"),
            (mixed, "packet 4 is LAPD but the first packet is MTP2; a port carries one protocol"),
            (write("cut.pcap", whole[:-5]),
             "the file is damaged after packet 2 (it is cut short): "),
            (write("text.pcap", b"no capture here\n"), "not a pcap or pcapng file"),
            (write("empty.pcap", b""), "the file is empty"),
            (write("header.pcap", whole[:24]), "the file holds no packets"),
            (snapped, "packet 1 holds 8 of its 20 bytes (the capture cut it); only whole frames"),
            (self.text2pcap("long.pcapng", "mtp2", frames_for(3, [4096, 4097])),
             "packet 2 is 4097 bytes, longer than the largest frame the driver delivers (4096 bytes)"),
            (self.path("missing.pcap"), "No such file or directory"),
            (self.tmp, "not a regular file"),
        ]

    def test_refused_before_anything_is_played(self):
        """play: status 1; run: status 125 and COMMAND never starts; the
        port carries nothing (then a good file plays, to show it would)."""
        mon = self.monitor("sync0", "127.0.0.1", 5000, 1)
        self.wait_monitoring(mon)
        marker = self.path("ran")
        for path, reason in self.files():
            with self.subTest(os.path.basename(path)):
                want = "cvsim: --capture %s: %s" % (path, reason)
                r = run([h.CVSIM, "play", "--capture", path], env=self.env)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(want, r.stderr)
                self.assertNotIn("records=", r.stderr)
                r = run([h.CVSIM, "run", "--capture", path, "--", "touch", marker])
                self.assertEqual(r.returncode, 125, r.stderr)
                self.assertIn(want, r.stderr)
                self.assertFalse(os.path.exists(marker))
                self.assertEqual(rx_packets("sync0"), 0)
        r = run([h.CVSIM, "play", "--capture", self.path("good.pcap")], env=self.env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(rx_packets("sync0"), 3)


@unittest.skipIf(READS_CAPTURES, "this build reads captures")
@unittest.skipUnless(os.geteuid() == 0, "cvsim run needs root")
class WithoutReader(unittest.TestCase):
    def test_capture_refused(self):
        for argv, status in ((["play", "--capture", HERE], 1),
                             (["run", "--capture", HERE, "--", "true"], 125)):
            r = run([h.CVSIM] + argv)
            self.assertEqual(r.returncode, status, r.stderr)
            self.assertIn("cvsim: --capture: this build cannot read captures\n", r.stderr)
