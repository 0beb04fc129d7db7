"""The simulated sync driver end to end: what cvsim plays is what a raw
socket on the port receives, only while monitor mode is on, and the
monitor-mode request can be refused."""
import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

BIN = os.environ.get("CV_BIN", "")
WORDSIZE = int(os.environ.get("CV_WORDSIZE", "64"))
CVSIM = os.path.join(BIN, "cvsim")
PROBE = os.path.join(BIN, "simprobe")
HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "..", "..", "examples")

# Records on and monitor mode on, then the probe listens until 1.5 s pass
# without a record.
MONITOR_AND_RECV = f"{PROBE} monitor sync0 1 >&2 && exec {PROBE} recv sync0 1500"


def emulated_i386():
    """True when i386 programs run under a user-mode emulator registered
    through binfmt_misc (where the kernel cannot run them itself)."""
    root = "/proc/sys/fs/binfmt_misc"
    try:
        names = os.listdir(root)
    except OSError:
        return False
    for name in names:
        try:
            with open(os.path.join(root, name)) as f:
                entry = f.read().split("\n")
        except OSError:
            continue
        fields = dict(line.split(" ", 1) for line in entry if " " in line)
        magic = fields.get("magic", "")
        if (entry[0] == "enabled" and fields.get("offset", "0") == "0"
                and magic.startswith("7f454c4601") and magic[36:40] == "0300"):
            return True
    return False


# Answers of the kernel to the private request on a port that no simulated
# driver serves: no such device, and a device without the request. An
# emulator passes requests it does not know nowhere and answers ENOSYS.
if WORDSIZE == 32 and emulated_i386():
    UNSERVED_ANSWERS = ["ENOSYS", "ENOSYS"]
else:
    UNSERVED_ANSWERS = ["ENODEV", "EOPNOTSUPP"]


def cvsim(*args, timeout=120):
    return subprocess.run([CVSIM, *args], capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)


def header(layout, direction, seq, ts, length):
    if layout == 32:
        return struct.pack("<BBHIII", 0, direction, 0, seq, ts & 0xFFFFFFFF, length)
    return struct.pack("<BBHIQII", 0, direction, 0, seq, ts, length, 0)


def fnv1a(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h


def received(stdout):
    """The datagrams the probe printed, as bytes."""
    return [bytes.fromhex(line) for line in stdout.split("\n")
            if line and line != "ready" and not line.startswith("error")]


def summary(stderr):
    m = re.search(r"cvsim: \S+: (records=.*)", stderr)
    if not m:
        raise AssertionError("no summary line in:\n" + stderr)
    return {k: float(v) for k, v in (kv.split("=") for kv in m.group(1).split())}


@unittest.skipUnless(os.geteuid() == 0, "needs root for network namespaces")
class Playback(unittest.TestCase):
    """Records reach the raw socket byte for byte, in the order played."""

    def play_scenario(self, layout):
        text = ("# reorder, duplicate, gap and the 32-bit wrap\n"
                "4294967294 Tx 4294967290 0102030405\n"
                "0 Rx 4294967295 len=40\n"
                "4294967295 2 4294967294 ff\n"
                "0 Rx 4294967295 len=40\n"
                "3 Tx 5 len=4096\n"
                "4 Rx 6 aa claim=5000\n"
                "short 3\n"
                "empty\n"
                "5 Tx 7 -\n")
        with tempfile.TemporaryDirectory() as tmp:
            scn = os.path.join(tmp, "s.scn")
            log = os.path.join(tmp, "log")
            with open(scn, "w") as f:
                f.write(text)
            r = cvsim("run", "--layout", str(layout), "--scenario", scn, "--log", log,
                      "--", "sh", "-c", MONITOR_AND_RECV)
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(log) as f:
                log_lines = f.read().splitlines()
        pattern = lambda seq, n: bytes((seq * 7 + i) & 0xFF for i in range(n))
        want = [
            header(layout, 1, 4294967294, 4294967290, 5) + bytes([1, 2, 3, 4, 5]),
            header(layout, 0, 0, 4294967295, 40) + pattern(0, 40),
            header(layout, 2, 4294967295, 4294967294, 1) + b"\xff",
            header(layout, 0, 0, 4294967295, 40) + pattern(0, 40),
            header(layout, 1, 3, 5, 4096) + pattern(3, 4096),
            header(layout, 0, 4, 6, 5000) + b"\xaa",
            bytes([0xA0, 0xA1, 0xA2]),
            # The kernel's packet sockets never deliver a zero-length
            # datagram: "empty" is written but cannot arrive.
            header(layout, 1, 5, 7, 0),
        ]
        got = received(r.stdout)
        self.assertEqual(len(got), len(want), r.stderr)
        for i, (g, w) in enumerate(zip(got, want)):
            self.assertEqual(g, w, f"datagram {i}")
        s = summary(r.stderr)
        self.assertEqual(s["records"], 9)
        self.assertEqual(s["malformed"], 3)
        self.assertEqual(s["unsent"], 0)
        self.assertEqual(log_lines[0], f"4294967294 Tx 4294967290 5 {fnv1a(bytes([1, 2, 3, 4, 5])):016x}")
        self.assertEqual(log_lines[2].split()[1], "2")
        self.assertTrue(log_lines[5].endswith(" claim=5000"))
        self.assertEqual(log_lines[6], f"- - - 3 {fnv1a(bytes([0xA0, 0xA1, 0xA2])):016x} short")

    def test_scenario_32_bit_layout(self):
        self.play_scenario(32)

    def test_scenario_64_bit_layout(self):
        self.play_scenario(64)

    def test_synthetic_traffic_matches_its_log(self):
        with tempfile.TemporaryDirectory() as tmp:
            log = os.path.join(tmp, "log")
            r = cvsim("run", "--count", "3000", "--reorder", "0.1", "--loss", "0.05",
                      "--dup", "0.02", "--size-min", "1", "--size-max", "300",
                      "--start-seq", "4294966000", "--start-ts", "4294967000",
                      "--rate", "20000", "--log", log, "--", "sh", "-c", MONITOR_AND_RECV)
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(log) as f:
                sent = [line.split() for line in f.read().splitlines()]
        got = received(r.stdout)
        s = summary(r.stderr)
        self.assertEqual(len(got), len(sent))
        self.assertEqual(s["records"], len(sent))
        self.assertEqual(s["lost"] + len({x[0] for x in sent}), 3000)
        hsize = 16 if WORDSIZE == 32 else 24
        fmt = "<BBHIII" if WORDSIZE == 32 else "<BBHIQI"
        seqs = []
        for g, (seq, direction, ts, length, digest) in zip(got, sent):
            fields = struct.unpack_from(fmt, g)
            self.assertEqual(fields[3], int(seq))
            self.assertEqual(fields[1], 1 if direction == "Tx" else 0)
            self.assertEqual(fields[4], int(ts))
            self.assertEqual(fields[5], int(length))
            self.assertEqual(len(g), hsize + int(length))
            self.assertEqual(fnv1a(g[hsize:]), int(digest, 16))
            seqs.append(fields[3])
        self.assertIn(0, seqs, "the sequence wrapped")
        self.assertNotEqual(seqs, sorted(seqs), "some records were reordered")


@unittest.skipUnless(os.geteuid() == 0, "needs root for network namespaces")
class MonitorGating(unittest.TestCase):
    """Records flow only while the port's monitor mode is on."""

    def test_no_records_without_monitor_mode(self):
        r = cvsim("run", "--count", "10", "--wait", "0.5", "--",
                  PROBE, "recv", "sync0", "1500")
        self.assertEqual(received(r.stdout), [])
        self.assertIn("cvsim: sync0: monitor mode is off; gave up after 0.5 s", r.stderr)
        self.assertIn("unsent=10", r.stderr)
        self.assertEqual(r.returncode, 125, "a failed player is not a success")

    def test_request_switches_the_state_file(self):
        script = (f"{PROBE} monitor sync0 1; cat $CVSIM_DIR/sync/sync0.monitor; echo;"
                  f"{PROBE} monitor sync0 0; cat $CVSIM_DIR/sync/sync0.monitor; echo;"
                  f"{PROBE} monitor sync0 2; {PROBE} monitor nosuch 1; {PROBE} monitor lo 1")
        r = cvsim("run", "--", "sh", "-c", script)
        self.assertEqual(r.stdout.split(), ["ok", "1", "ok", "0", "EINVAL", *UNSERVED_ANSWERS])

    def test_player_waits_for_a_port_that_is_down(self):
        # The port is down: writes fail there, and the player waits for it
        # rather than losing the records.
        script = (f"PATH={BIN}:$PATH; out=$CVSIM_DIR/out;"
                  "simprobe recv sync0 2000 > $out &"
                  "until grep -q ready $out; do sleep 0.05; done;"
                  "cvsim play --no-wait --count 5 & sleep 1; cvsim port up sync0; wait; cat $out")
        r = cvsim("run", "--down", "--", "sh", "-c", script)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(len(received(r.stdout)), 5, r.stdout + r.stderr)
        self.assertIn("down_waits=1", r.stderr)


@unittest.skipUnless(os.geteuid() == 0, "needs root for network namespaces")
class Refusal(unittest.TestCase):
    """The driver can be told to refuse the monitor-mode request."""

    def test_refuse_on_off_and_accept(self):
        p = f"PATH={BIN}:$PATH;"
        script = (f"{p} cvsim port refuse sync0; simprobe monitor sync0 1;"
                  "cvsim port refuse sync0 EBUSY; simprobe monitor sync0 1;"
                  "echo 5 > $CVSIM_DIR/sync/sync0.refuse; simprobe monitor sync0 1;"
                  "cvsim port accept sync0; cvsim port refuse sync0 --off;"
                  "simprobe monitor sync0 1; simprobe monitor sync0 0; cvsim port show sync0;"
                  "cvsim port accept sync0; simprobe monitor sync0 0")
        r = cvsim("run", "--", "sh", "-c", script)
        self.assertEqual(r.stdout.split("\n"),
                         ["EPERM", "EBUSY", "EIO", "ok", "EPERM", "sync0 up monitor=on", "ok", ""],
                         r.stderr)


@unittest.skipUnless(os.geteuid() == 0, "needs root for network namespaces")
class RunCommand(unittest.TestCase):
    """cvsim run sets the world up, runs the command and passes its status on."""

    def test_exit_status_and_environment(self):
        self.assertEqual(cvsim("run", "--", "sh", "-c", "exit 7").returncode, 7)
        self.assertEqual(cvsim("run", "--", "sh", "-c", "kill -9 $$").returncode, 137)
        self.assertEqual(cvsim("run", "--", "/nonexistent").returncode, 127)
        r = cvsim("run", "--ports", "sync0,sync3", "--down", "--", "sh", "-c",
                  "echo $CVSIM_DIR; echo $LD_PRELOAD; ls $CVSIM_DIR/sync; "
                  "cat /sys/class/net/sync3/flags; ls /sys/class/net | sort")
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.split("\n")
        self.assertFalse(os.path.exists(lines[0]), "the temporary directory is removed")
        self.assertEqual(lines[1], os.path.join(BIN, "$LIB/libcvsim.so"))
        self.assertEqual(lines[2:4], ["sync0.monitor", "sync3.monitor"])
        self.assertEqual(int(lines[4], 16) & 1, 0, "--down leaves the ports down")
        self.assertEqual(lines[5:8], ["lo", "sync0", "sync3"])

    def test_given_directory_is_kept(self):
        with tempfile.TemporaryDirectory() as tmp:
            d = os.path.join(tmp, "sim")
            r = cvsim("run", "--dir", d, "--", "true")
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(os.path.join(d, "sync", "sync0.monitor")) as f:
                self.assertEqual(f.read(), "0")

    def test_stop_after_and_timeout_end_a_command_that_runs_on(self):
        r = cvsim("run", "--count", "3", "--stop-after", "200", "--", "sh", "-c",
                  f"{PROBE} monitor sync0 1 >&2 && exec {PROBE} recv sync0 60000")
        self.assertEqual(r.returncode, 128 + 15, r.stderr)
        self.assertEqual(len(received(r.stdout)), 3)
        r = cvsim("run", "--timeout", "0.3", "--", "sleep", "60")
        self.assertEqual(r.returncode, 128 + 15)
        self.assertIn("still running after 0.3 s", r.stderr)

    def test_usage_errors(self):
        for args in (["run", "--layout", "16", "--", "true"],
                     ["run", "--ports", "a/b", "--", "true"],
                     ["run", "--count", "5", "--scenario", "x", "--", "true"]):
            r = cvsim(*args)
            self.assertEqual(r.returncode, 125, args)
            self.assertTrue(r.stderr.startswith("cvsim: "), r.stderr)
        r = cvsim("play", "--no-wait", "--scenario", "/nonexistent")
        self.assertEqual(r.returncode, 1)


# Run inside the namespace while the player waits: switches monitor mode on
# after DELAY/2, binds a receiver after DELAY (so the player waits for both
# conditions in turn), then prints the arrival times of up to N records,
# in seconds from the binding.
LATE_RECEIVER = r"""
import json, socket, subprocess, sys, time
probe, n, delay = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
time.sleep(delay / 2)
subprocess.run([probe, "monitor", "sync0", "1"], check=True, stdout=subprocess.DEVNULL)
time.sleep(delay / 2)
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x6005))
s.bind(("sync0", 0))
bound = time.monotonic()
s.settimeout(10)
times = []
try:
    while len(times) < n:
        s.recv(65536)
        times.append(time.monotonic() - bound)
except socket.timeout:
    pass
print(json.dumps(times))
"""

# Run inside the namespace: the real monitor forwarding to a UDP socket of
# this script. One record is played on its own and must come out before
# anything else is written; then N records at RATE from a second player.
# Prints the first record's sequence number and, for the others, the arrival
# times (seconds from the second player's start) and sequence numbers.
MONITOR_FORWARDING = r"""
import json, socket, subprocess, sys, time
cvsim, fmon, n, rate = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.bind(("127.0.0.1", 0))
u.settimeout(10)
mon = subprocess.Popen([fmon, "sync0", "127.0.0.1", str(u.getsockname()[1]), "1"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
def play(seq, count, *extra):
    return subprocess.Popen([cvsim, "play", "--port", "sync0", "--count", str(count),
                             "--start-seq", str(seq), *extra], stderr=subprocess.DEVNULL)
out = {"first": None, "arrivals": []}
try:
    if play(100, 1).wait(60) == 0:
        out["first"] = int.from_bytes(u.recv(9000)[0:2], "big")
        start = time.monotonic()
        player = play(101, n, "--rate", rate)
        while len(out["arrivals"]) < n:
            d = u.recv(9000)
            out["arrivals"].append((time.monotonic() - start, int.from_bytes(d[0:2], "big")))
        player.wait(60)
except socket.timeout:
    pass
finally:
    mon.terminate()
    mon.wait(30)
print(json.dumps(out))
"""


@unittest.skipUnless(os.geteuid() == 0, "needs root for network namespaces")
class Pacing(unittest.TestCase):
    """A rate holds from the moment a receiver listens: time spent waiting
    for it is not made up in a burst, and a record written is there at once.
    The bounds only tell a paced stream from a burst; a slow machine passes."""

    def assert_paced(self, times, n, rate, what):
        nominal = (n - 1) / rate
        spread = times[-1] - times[0]
        self.assertGreater(spread, nominal / 2, "%s: %d records in %.3f s" % (what, n, spread))
        early = sum(1 for t in times if t - times[0] < 0.1)
        self.assertLessEqual(early, n // 2, "%s: %d records in the first 0.1 s" % (what, early))

    def test_rate_starts_when_the_receiver_binds(self):
        # The receiver comes 1.2 s after the player starts, longer than the
        # whole play takes at its rate: a player that counted the wait as
        # playing time would send every record at once.
        n, rate = 60, 60
        r = cvsim("run", "--count", str(n), "--rate", str(rate), "--",
                  sys.executable, "-c", LATE_RECEIVER, PROBE, str(n), "1.2")
        self.assertEqual(r.returncode, 0, r.stderr)
        times = json.loads(r.stdout)
        self.assertEqual(len(times), n, r.stderr)
        self.assertLess(times[0], 5, "the first record waited after the receiver bound")
        self.assert_paced(times, n, rate, "receiver bound late")

    def test_monitor_receives_each_record_as_written(self):
        n, rate = 60, 60
        r = cvsim("run", "--", sys.executable, "-c", MONITOR_FORWARDING, CVSIM,
                  os.path.join(BIN, "cvfmonUdp"), str(n), str(rate))
        self.assertEqual(r.returncode, 0, r.stderr)
        out = json.loads(r.stdout)
        # A single record played into the running monitor comes out on its
        # own, without a later write to push it.
        self.assertEqual(out["first"], 100, r.stderr)
        self.assertEqual([seq for _, seq in out["arrivals"]], list(range(101, 101 + n)), r.stderr)
        self.assert_paced([t for t, _ in out["arrivals"]], n, rate, "through the monitor")


@unittest.skipUnless(os.geteuid() == 0, "needs root for network namespaces")
class Examples(unittest.TestCase):
    """The shipped scenario files parse and play in both layouts."""

    def test_examples_play(self):
        for name in sorted(os.listdir(EXAMPLES)):
            if not name.endswith(".scn"):
                continue
            for layout in ("32", "64"):
                r = cvsim("run", "--layout", layout, "--scenario", os.path.join(EXAMPLES, name),
                          "--", "sh", "-c", MONITOR_AND_RECV)
                self.assertEqual(r.returncode, 0, name + r.stderr)
                self.assertIn("unsent=0", r.stderr)


if __name__ == "__main__":
    unittest.main()


@unittest.skipUnless(os.geteuid() == 0, "needs root for network namespaces")
class StandardDescriptors(unittest.TestCase):
    """Started with a standard descriptor closed, cvsim puts /dev/null there
    before it opens a port, a socket or a file, so the command it runs
    inherits no simulator descriptor in place of a standard stream."""

    def test_closed_descriptor_is_dev_null_for_the_command(self):
        for fd in (0, 1, 2):
            with self.subTest(fd=fd):
                other = 2 if fd != 2 else 1
                script = f'exec "$@" {fd}>&-'
                inner = f"readlink /proc/self/fd/{fd} >&{other}; exit 0"
                r = subprocess.run(["sh", "-c", script, "sh", CVSIM, "run", "--",
                                    "sh", "-c", inner],
                                   capture_output=True, text=True, timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                # /dev/null, or the pipe through which cvsim relays the
                # command's output; never a port, socket or file of cvsim's.
                self.assertRegex(r.stdout + r.stderr, r"^(/dev/null|pipe:\[\d+\])\n$")

