"""The README's commands, as a user types them: every command in a ```sh
block is either run here, as written (the build's bin directory standing for
build/x64/bin, a scratch directory as the working directory), and its outcome
checked, or named below with the test that runs it because it changes the
machine or needs the installed packages. A command added to the README
without a test fails here. The other blocks that can be checked (the
Prometheus configuration, the service override) are checked here too."""

import glob
import importlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BIN = os.environ.get("CV_BIN", "")
SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../.."))
README = os.path.join(SOURCE, "README.md")
TIMEOUT = 180

for area in ("fmon", "cvfcollect"):
    sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e", area))
import nats_harness  # noqa: E402
from fmon_harness import MonitorTestCase, wait_until  # noqa: E402
from test_capture import has_packets  # noqa: E402

# Commands that install, remove or change the machine, read what the
# packages installed, or have an end-to-end test of their own: the test
# that runs each, by its ctest name (e2e.MODULE.CLASS[.METHOD], None for the
# test command itself), and how.
ELSEWHERE = {
    "make test": (None, "the test command itself (.ci/run)"),
    "make package": ("e2e.test_package.DebianPackages", "cpack in this build"),
    "apt-get install ./build/x64/packages/corvane-utils_*.deb ./build/x64/packages/corvane-tools_*.deb":
        ("e2e.test_package.DebianPackages.test_install_use_remove_purge",
         "both packages, with what they depend on already there"),
    "install -D -m 644 /usr/share/doc/corvane-utils/examples/sync0.conf /etc/cvfmon/sync0.conf":
        ("e2e.test_package.DebianPackages.test_install_use_remove_purge", "as written"),
    "systemctl enable --now cvfmonUdp@sync0":
        ("e2e.test_package_units.MonitorUnit",
         "the unit's ExecStart as systemd expands it, on the simulator"),
    "systemctl enable --now cvfcollect":
        ("e2e.test_package_units.CollectorUnit", "the unit's ExecStart as systemd expands it"),
    "setcap cap_net_raw,cap_net_admin=ep /usr/bin/cvfmonUdp":
        ("e2e.test_package.DebianPackages.test_install_use_remove_purge", "as written"),
    "promtool check rules /usr/share/doc/corvane-tools/examples/cvfcollect-alerts.yml":
        ("e2e.test_package.DebianPackages.test_live_page_from_the_installed_collector",
         "as written, with corvane-tools installed"),
    "make demo-cluster":
        ("e2e.test_demo_cluster.ClusterDemo.test_make_demo_cluster",
         "as written; its summary against the capture files it leaves"),
    "install -D -m 644 /usr/share/doc/corvane-tools/examples/cvfcollect-consumer.conf "
    "/etc/cvfcollect-consumer/capture.conf":
        ("e2e.test_package.DebianPackages.test_install_use_remove_purge", "as written"),
    "systemctl enable --now cvfcollect-consumer@capture":
        ("e2e.test_package_units.ConsumerUnit",
         "the unit's ExecStart as systemd expands it, against a real cluster"),
}


def resolve_test(name):
    """The test class, and the test method or None, that a ctest name of an
    end-to-end test stands for, imported from its file under tests/e2e."""
    prefix, module, cls, *method = name.split(".")
    assert prefix == "e2e" and len(method) <= 1, name
    found = glob.glob(os.path.join(SOURCE, "tests", "e2e", "*", module + ".py"))
    assert len(found) == 1, (name, found)
    folder = os.path.dirname(found[0])
    if folder not in sys.path:
        sys.path.insert(0, folder)
    cls = getattr(importlib.import_module(module), cls)
    return cls, getattr(cls, method[0]) if method else None


def readme_blocks(lang):
    """The README's fenced blocks of a language, as written (indented ones
    in lists too)."""
    with open(README) as f:
        text = f.read()
    blocks = []
    for indent, body in re.findall(r"^( *)```%s\n(.*?)^\1```" % lang, text, re.S | re.M):
        blocks.append("".join(line[len(indent):] + "\n" for line in body.splitlines()))
    return blocks


def readme_commands():
    """The commands of the README's sh blocks, continuation lines joined and
    trailing comments dropped, in order."""
    with open(README) as f:
        text = f.read()
    commands = []
    for block in re.findall(r"^```sh\n(.*?)^```", text, re.S | re.M):
        block = block.replace("\\\n", " ")
        for line in block.splitlines():
            line = re.sub(r"\s{2,}#.*$", "", line).strip()
            line = re.sub(r"\s+", " ", line)
            if line and not line.startswith("#"):
                commands.append(line)
    return commands


COMMANDS = readme_commands()


def command(prefix):
    """The one README command that starts with prefix."""
    found = [c for c in COMMANDS if c.startswith(prefix)]
    assert len(found) == 1, (prefix, found)
    return found[0]


class ReadmeTestCase(unittest.TestCase):
    ran = set()

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root for network namespaces")
        self.tmp = tempfile.mkdtemp(prefix="cvreadme.")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.env = dict(os.environ, PATH=BIN + ":" + os.environ["PATH"])

    def sh(self, cmd, timeout=TIMEOUT, **kw):
        """Runs a README command as written, in the scratch directory."""
        cmd = cmd.replace("build/x64/bin/", BIN + "/")
        cmd = cmd.replace("lua_script:wireshark/", "lua_script:" + os.path.join(SOURCE, "wireshark") + "/")
        return subprocess.run(["sh", "-c", cmd], cwd=self.tmp, env=self.env, text=True,
                              capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL, **kw)

    def ok(self, cmd, status=0, **kw):
        r = self.sh(cmd, **kw)
        self.assertEqual(r.returncode, status, f"{cmd}\n{r.stdout}\n{r.stderr}")
        return r

    def in_namespace(self, cmd, feeder):
        """Runs cmd in a private network namespace, then the Python feeder
        there too (through a helper shell); returns the collector's result."""
        script = (f"ip link set lo up; ({cmd}) >col.out 2>col.err & c=$!;"
                  f"echo $c > col.pid; python3 feeder.py; wait $c; echo status=$? >>col.err")
        with open(os.path.join(self.tmp, "feeder.py"), "w") as f:
            f.write(feeder)
        r = subprocess.run(["unshare", "-n", "sh", "-c", script], cwd=self.tmp, env=self.env,
                           text=True, capture_output=True, timeout=TIMEOUT)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(self.tmp, "col.out")) as f1, open(os.path.join(self.tmp, "col.err")) as f2:
            return f1.read(), f2.read()

    FEED = '''
import os, signal, socket, struct, time
def rec(seq, v1):
    head = struct.pack(">HQHBBBBH", seq, int(time.time()), 5, 1, 2, seq % 2, 0, 4) + b"abcd"
    return (b"\\x01\\x00" if v1 else b"") + head
'''


class Coverage(unittest.TestCase):

    def test_every_command_is_run_by_a_test(self):
        here = set()
        for cls in (FirstSteps, TolviSection, CollectorSection, WatchSection, ManyGateways):
            here.update(cls.RUNS)
        unexercised = [c for c in COMMANDS if c not in here and c not in ELSEWHERE]
        self.assertEqual(unexercised, [], "README commands that no test runs")
        stale = sorted((here | set(ELSEWHERE)) - set(COMMANDS))
        self.assertEqual(stale, [], "tests of commands the README no longer has")

    def test_tests_named_for_other_commands_exist(self):
        for cmd, (name, _) in ELSEWHERE.items():
            if name is None:
                continue
            with self.subTest(name):
                try:
                    cls, method = resolve_test(name)
                except (AttributeError, ImportError) as e:
                    self.fail("%s, named for %r: %s" % (name, cmd, e))
                self.assertTrue(issubclass(cls, unittest.TestCase), name)
                if method is not None:
                    self.assertTrue(name.rsplit(".", 1)[1].startswith("test") and callable(method),
                                    name)


class FirstSteps(ReadmeTestCase):
    RUNS = {
        "make demo",
        command("build/x64/bin/cvsim run --traffic mtp2 --count 300 --start-seq 100 --rate 200 --reorder"),
        command("build/x64/bin/cvsim run --traffic mtp2 --count 300 --start-seq 100 --rate 200 --stop-after"),
        "capinfos line.pcapng",
        "tshark -r line.pcapng -c 5",
        "tshark -r line.pcapng -Y isup -o mtp3.itu_pc_structure:3-8-3",
        command("tshark -X lua_script:wireshark/cvfmon.lua"),
        command("build/x64/bin/cvsim run --capture line.pcapng"),
        "tshark -r again.pcapng -c 5",
    }

    def test_demo(self):
        r = subprocess.run(["make", "-s", "demo"], cwd=SOURCE, text=True, capture_output=True,
                           timeout=600, stdin=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("== demo finished ==", r.stdout)
        self.assertRegex(r.stdout, r"total: records=\d+")
        self.assertIn("build/demo.pcapng", r.stdout)
        self.assertCalls(r.stdout)

    def assertCalls(self, decoded):
        """tshark's lines show ISUP calls through to their release between
        the two signalling points."""
        for msg in ("IAM", "ACM", "ANM", "REL", "RLC"):
            self.assertRegex(decoded, r"(?m)^\s*\d+\s+[\d.]+\s+2-4([56])-\d → 2-4(?!\1)[56]-\d\s+"
                             r"ISUP\(ITU\) \d+ %s \(CIC \d+\)" % msg)

    # cvsim run ends the monitor a second after the last record: status 2.
    def test_try_it_on_the_simulator(self):
        r = self.ok(command("build/x64/bin/cvsim run --traffic mtp2 --count 300 --start-seq 100 --rate 200 --reorder"), 2)
        self.assertRegex(r.stdout, r"gw=1 line=0 seq=100 ")
        self.assertRegex(r.stdout, r"total: records=300 .* lost=0 ")

    def test_capture_to_a_file(self):
        self.ok(command("build/x64/bin/cvsim run --traffic mtp2 --count 300 --start-seq 100 --rate 200 --stop-after"), 2)
        r = self.ok("capinfos line.pcapng")
        self.assertIn("pcapng", r.stdout)
        self.assertIn("gw1-line0", r.stdout)
        r = self.ok("tshark -r line.pcapng -c 5")
        self.assertEqual(len(r.stdout.splitlines()), 5, r.stdout)
        r = self.ok("tshark -r line.pcapng -T fields -e frame.protocols")
        self.assertEqual({p.split(":")[0] for p in r.stdout.split()}, {"mtp2"}, r.stdout)
        self.assertCalls(self.ok("tshark -r line.pcapng -Y isup -o mtp3.itu_pc_structure:3-8-3").stdout)

    def test_replay_a_capture(self):
        """Step 2's capture played back: the same frames in the same order,
        directions and spacing, as tshark shows them."""
        self.ok(command("build/x64/bin/cvsim run --traffic mtp2 --count 300 --start-seq 100 --rate 200 --stop-after"), 2)
        self.wait_closed("line.pcapng")
        self.ok(command("build/x64/bin/cvsim run --capture line.pcapng"), 2)
        self.wait_closed("again.pcapng")
        r = self.ok("tshark -r again.pcapng -c 5")
        self.assertEqual(len(r.stdout.splitlines()), 5, r.stdout)
        show = ("tshark -r %s -T fields -e frame.time_relative -e frame.packet_flags_direction "
                "-e frame.len -e _ws.col.Info")
        sent = self.ok(show % "line.pcapng").stdout.splitlines()
        self.assertGreater(len(sent), 50)
        self.assertEqual(self.ok(show % "again.pcapng").stdout.splitlines(), sent)

    def wait_closed(self, name, timeout=60):
        """Waits until no process holds the file open: the collector of a
        README command ends on its own, after the command, once idle."""
        path = os.path.join(self.tmp, name)
        deadline = time.monotonic() + timeout

        def held():
            for fd in glob.glob("/proc/[0-9]*/fd/*"):
                try:
                    if os.readlink(fd) == path:
                        return True
                except OSError:
                    pass
            return False
        while held():
            self.assertLess(time.monotonic(), deadline, "%s still open" % name)
            time.sleep(0.1)

    def test_dissector_on_a_capture_of_the_stream(self):
        # The collector's port captured while the monitor forwards to it.
        # dumpcap writes its file header before the filter is in place, and
        # loses what the kernel still holds for it when it is interrupted:
        # a pause after each.
        script = ('dumpcap -q -i lo -f "udp port 5000" -w stream.pcapng 2>/dev/null & d=$!;'
                  'until [ -s stream.pcapng ]; do sleep 0.05; done; sleep 0.5;'
                  'cvfcollect -u -p 5000 -i 2 >/dev/null 2>&1 & cvfmonUdp sync0 127.0.0.1 5000 7 & m=$!;'
                  'cvsim play --port sync0 --count 20 --start-seq 1 --size 30;'
                  'sleep 1; kill $m; wait $m; sleep 1; kill -INT $d; wait $d')
        r = subprocess.run([os.path.join(BIN, "cvsim"), "run", "--ports", "sync0", "--timeout", "60",
                            "--", "sh", "-c", script], cwd=self.tmp, env=self.env, text=True,
                           capture_output=True, timeout=TIMEOUT, stdin=subprocess.DEVNULL)
        self.assertTrue(os.path.exists(os.path.join(self.tmp, "stream.pcapng")), r.stderr)
        r = self.ok(command("tshark -X lua_script:wireshark/cvfmon.lua"))
        rows = [line.split("\t") for line in r.stdout.splitlines()]
        self.assertEqual([int(row[0]) for row in rows], list(range(1, 21)), r.stdout)
        for row in rows:
            self.assertEqual(row[2:], ["7", "0", row[4], "30"], row)
            self.assertIn(row[4], ("0", "1"))
            self.assertRegex(row[1], r"^\w{3} [ \d]\d, \d{4} \d\d:\d\d:\d\d\.\d{3}")


class TolviSection(ReadmeTestCase):
    """The simulated Tolvi device, its commands in the README's order."""
    RUNS = {c for c in COMMANDS if c.startswith("cvsim tolvi ")}

    def test_commands_in_order(self):
        out = {}
        for cmd in [c for c in COMMANDS if c.startswith("cvsim tolvi ")]:
            r = self.sh(cmd)
            out[cmd] = r
            # CTFlash ends with status 1 when its input ends (as Quit does).
            expected = 1 if "CTFlash" in cmd else 0
            self.assertEqual(r.returncode, expected, f"{cmd}\n{r.stdout}\n{r.stderr}")

        def output(prefix):
            return out[command("cvsim tolvi --dir sim run -- sh -c \"printf '" + prefix)].stdout

        self.assertRegex(output("c q"), r"(?m)^ 6\t0x30000\t45312\t1\.0\.0\.3\t")
        self.assertIn("Verified", output("cp8"))
        self.assertIn("IoctlCodeCorvaneControlRequest failed", output("cp7"))
        self.assertIn("Success", output("e8"))
        show = out[command("cvsim tolvi --dir sim show")].stdout
        self.assertTrue(show, "show printed nothing")
        with open(os.path.join(self.tmp, "out.bin"), "rb") as f:
            dumped = f.read()
        self.assertEqual(len(dumped), 2 * 0x10000)
        self.assertNotEqual(dumped[:16], b"\xff" * 16, "block 6 holds the image")


class CollectorSection(ReadmeTestCase):
    """The collector's examples, in a namespace of their own, fed records
    over UDP and TCP."""
    RUNS = {command("cvfcollect -p 5000 -P"), command("cvfcollect -p 0 -t -r ready")}

    def test_print_every_record(self):
        feed = self.FEED + '''
time.sleep(0.5)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for i in range(3):
    s.sendto(rec(i, False), ("127.0.0.1", 5000))
time.sleep(0.5)
os.kill(int(open("col.pid").read()), signal.SIGTERM)
'''
        out, err = self.in_namespace(command("cvfcollect -p 5000 -P"), feed)
        self.assertEqual(len(re.findall(r"(?m)^gw=1 line=2 seq=\d ", out)), 3, out + err)
        self.assertIn("status=0", err)

    def test_summary_json_and_capture(self):
        feed = self.FEED + '''
while not os.path.exists("ready"):
    time.sleep(0.05)
port = int(open("ready").read().split("]:")[-1].split()[0])
s = socket.create_connection(("127.0.0.1", port))
s.sendall(b"".join(rec(i % 65536, True) for i in range(1000)))
s.close()
'''
        out, err = self.in_namespace(command("cvfcollect -p 0 -t -r ready"), feed)
        self.assertIn("status=0", err)
        with open(os.path.join(self.tmp, "sum.json")) as f:
            self.assertEqual(json.load(f)["records"], 1000)
        r = self.ok("capinfos -c -M cap.pcapng")
        self.assertRegex(r.stdout, r"Number of packets:\s+1000")


class WatchSection(ReadmeTestCase):
    """Watching the lines: the metrics check against a collector of this
    build serving --http where the service does, in a namespace of its own;
    the scrape configuration with the shipped rules; the service override
    against the packaged unit."""
    CHECK_METRICS = command("curl -s http://127.0.0.1:9110/metrics")
    RUNS = {CHECK_METRICS}

    def test_metrics_pass_promtool(self):
        feed = self.FEED + f'''
import subprocess, urllib.request
while not os.path.exists("ready"):
    time.sleep(0.05)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for i in range(3):
    s.sendto(rec(i, False), ("127.0.0.1", 5000))
direct = urllib.request.build_opener(urllib.request.ProxyHandler({{}}))
for _ in range(100):
    metrics = direct.open("http://127.0.0.1:9110/metrics", timeout=10).read().decode()
    if 'cvfcollect_records_total{{gw="1",line="2",dir="rx"}} 2' in metrics:
        break
    time.sleep(0.05)
open("metrics.txt", "w").write(metrics)
r = subprocess.run(["sh", "-c", {self.CHECK_METRICS!r}], capture_output=True, text=True)
open("check.txt", "w").write("status=%d\\n%s%s" % (r.returncode, r.stdout, r.stderr))
os.kill(int(open("col.pid").read()), signal.SIGTERM)
'''
        out, err = self.in_namespace("cvfcollect -u -p 5000 --http 127.0.0.1:9110 -r ready", feed)
        self.assertIn("status=0", err)
        with open(os.path.join(self.tmp, "metrics.txt")) as f:
            metrics = f.read()
        for d, n in (("tx", 1), ("rx", 2)):  # number 1 was sent as Tx
            self.assertIn('\ncvfcollect_records_total{gw="1",line="2",dir="%s"} %d\n' % (d, n),
                          metrics)
        with open(os.path.join(self.tmp, "check.txt")) as f:
            self.assertEqual(f.read(), "status=0\n")

    def test_scrape_configuration_with_the_shipped_rules(self):
        if not shutil.which("promtool"):
            self.fail("promtool missing (make deps)")
        (config,) = readme_blocks("yaml")
        self.assertRegex(config, r"(?m)^  - job_name: cvfcollect$")  # the rules' up{job=...}
        with open(os.path.join(self.tmp, "prometheus.yml"), "w") as f:
            f.write(config)
        shutil.copy(os.path.join(SOURCE, "packaging", "examples", "cvfcollect-alerts.yml"),
                    self.tmp)
        r = self.ok("promtool check config prometheus.yml")
        self.assertIn("SUCCESS: 1 rule files found", r.stdout + r.stderr)

    def test_service_override_changes_only_the_http_address(self):
        (override,) = readme_blocks("ini")
        lines = [line for line in override.splitlines() if line.startswith("ExecStart=")]
        self.assertEqual(lines[0], "ExecStart=", "the packaged ExecStart is cleared first")
        with open(os.path.join(SOURCE, "packaging", "systemd", "cvfcollect.service.in")) as f:
            (unit,) = re.findall(r"(?m)^ExecStart=(.+)$", f.read())
        unit = unit.replace("@CV_BINDIR@", "/usr/bin").split()
        ours = lines[1][len("ExecStart="):].split()
        at = unit.index("--http") + 1
        self.assertEqual(ours[:at] + ours[at + 1:], unit[:at] + unit[at + 1:])
        self.assertNotEqual(ours[at].split(":")[0], "127.0.0.1", ours)


@unittest.skipUnless(os.access(nats_harness.NATS_SERVER, os.X_OK),
                     "nats-server is not installed (make deps)")
class ManyGateways(MonitorTestCase):
    """The collector publishing and the reader capturing, as written,
    against three nats-server nodes on the ports the README names, in a
    namespace of the test's own, with a monitor forwarding the records of
    a simulated SS7 link to the collector."""
    PUBLISH = command("cvfcollect -p 5000 --nats")
    READ = command("cvfcollect --from-nats")
    RUNS = {PUBLISH, READ}
    RECORDS = 300

    def setUp(self):
        super().setUp()
        self.env["PATH"] = BIN + ":" + self.env["PATH"]
        # The README's nodes listen on the usual ports, which are free in
        # the test's namespace.
        nats_harness.CLIENT, nats_harness.ROUTE, nats_harness.MONITOR = 4222, 6222, 8222
        self.cluster = nats_harness.NatsCluster(self).start()

    def readme(self, name, cmd):
        return self.start(name, ["sh", "-c", "exec " + cmd])

    def test_publish_and_read_into_a_capture(self):
        self.assertIn("--nats " + self.cluster.urls() + " ", self.PUBLISH)
        col = self.readme("collector", self.PUBLISH)
        # The collector takes records at once, and finds or makes the
        # stream meanwhile.
        col.wait_text("stream CVFMON created (subjects cvfmon.>, 3 replicas", "err")
        mon = self.monitor("sync0", "127.0.0.1", 5000, 1)
        self.wait_monitoring(mon)
        self.play(extra=["--traffic", "mtp2", "--count", self.RECORDS, "--rate", 500])

        reader = self.readme("reader", self.READ)
        capture = os.path.join(self.tmp, "capture-00001.pcapng")
        wait_until(lambda: has_packets(capture, self.RECORDS) or not reader.running(),
                   TIMEOUT, "the reader's capture")
        for p in (mon, col, reader):
            p.signal(signal.SIGTERM)
            p.wait()
        self.assertEqual(col.p.returncode, 0, col.describe())
        self.assertEqual(reader.p.returncode, 0, reader.describe())
        self.assertRegex(col.out(), r"nats: published=%d duplicates=0 unpublished=0 "
                         % self.RECORDS)
        r = subprocess.run(["capinfos", "-c", "-M", capture], capture_output=True, text=True)
        self.assertRegex(r.stdout, r"Number of packets:\s+%d\n" % self.RECORDS)
        r = subprocess.run(["tshark", "-r", capture, "-Y", "isup"], capture_output=True,
                           text=True, timeout=TIMEOUT)
        self.assertRegex(r.stdout, r"ISUP\(ITU\) \d+ IAM")


if __name__ == "__main__":
    unittest.main()
