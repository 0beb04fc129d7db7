"""End-to-end tests of the simulated Tolvi device: the cvsim tolvi commands
and the driver as a program sees it through the preload library."""
import json
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BIN = os.environ.get("CV_BIN", "")
CVSIM = os.path.join(BIN, "cvsim")
HERE = os.path.dirname(os.path.abspath(__file__))
FLASH_SIZE = 0x80000


def cvsim(*args, check=True, **kw):
    p = subprocess.run([CVSIM, "tolvi", *args], stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=60, **kw)
    if check and p.returncode != 0:
        raise AssertionError("cvsim tolvi %s: status %d\n%s" % (" ".join(args), p.returncode, p.stderr))
    return p


class SimDir:
    """A scratch simulator directory for each test."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="simtolvi-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def tolvi(self, *args, **kw):
        return cvsim("--dir", self.dir, *args, **kw)

    def mkhex(self, name, length, version="1.0.0.3"):
        out = self.path(name)
        cvsim("mkhex", out, "--length", str(length), "--version", version)
        return out

    def flash(self):
        with open(self.path("tolvi", "tolvi0.flash"), "rb") as f:
            return f.read()

    def requests(self, *specs):
        p = self.tolvi("run", "--", sys.executable, os.path.join(HERE, "tolvi_request.py"), *specs)
        return json.loads(p.stdout)


class TolviCommandTest(SimDir, unittest.TestCase):
    def test_create_show_dump(self):
        small = self.mkhex("small.hex", 45312)
        large = self.mkhex("large.hex", 70000, "1.1.0.0")
        self.tolvi("create", "tolvi0", "--image", "6:" + small, "--image", "8:" + large)
        with open(self.path("proc", "cvtolvi")) as f:
            self.assertEqual(f.read(), "2.1.6\n")
        self.assertTrue(os.path.exists(self.path("sys", "class", "cvtolvi", "tolvi0")))
        flash = self.flash()
        self.assertEqual(len(flash), FLASH_SIZE)
        self.assertEqual(flash[0x30000:0x30004], bytes.fromhex("5EBADEC0"))
        self.assertEqual(flash[0x3000C:0x30010], bytes([3, 0, 0, 1]))
        self.assertEqual(flash[0x30000 + 45312:0x40000], b"\xff" * (0x10000 - 45312))

        show = self.tolvi("show", "tolvi0").stdout
        self.assertIn("0x30000  0x10000  0xC0DEBA5E   45312  1.0.0.3          used", show)
        self.assertIn("0x60000  0x10000  -                -  (image of 8)     used", show)
        self.assertIn("0x40000  0x10000  -                -  -                free", show)

        out = self.path("blocks.bin")
        self.tolvi("dump", "tolvi0", "8-9", out)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), flash[0x50000:0x70000])

    def test_version_and_class_entry(self):
        self.tolvi("create", "tolvi0", "--version", "3.0.0", "--no-class-entry")
        with open(self.path("proc", "cvtolvi")) as f:
            self.assertEqual(f.read(), "3.0.0\n")
        self.assertFalse(os.path.exists(self.path("sys", "class", "cvtolvi", "tolvi0")))
        self.tolvi("class", "tolvi0", "--add")
        self.tolvi("version", "--remove")
        self.assertIn("class entry present", self.tolvi("show", "tolvi0").stdout)
        self.assertFalse(os.path.exists(self.path("proc", "cvtolvi")))

    def test_errors(self):
        p = cvsim("create", "tolvi0", check=False, env={k: v for k, v in os.environ.items() if k != "CVSIM_DIR"})
        self.assertEqual(p.returncode, 1)
        self.assertIn("CVSIM_DIR", p.stderr)
        self.assertEqual(self.tolvi("show", "tolvi0", check=False).returncode, 1)
        self.assertEqual(self.tolvi("create", "tolvi0", "--image", "12:x.hex", check=False).returncode, 2)
        self.assertEqual(self.tolvi("frobnicate", check=False).returncode, 2)


class TolviDriverTest(SimDir, unittest.TestCase):
    def setUp(self):
        super().setUp()
        self.tolvi("create", "tolvi0", "--image", "6:" + self.mkhex("img.hex", 1000))

    def test_requests_reach_the_flash_file(self):
        r = self.requests("read:0x30000", "program:0x40000:0xF0", "program:0x40000:0x3C",
                          "read:0x40000", "erase:6", "read:0x30000")
        self.assertEqual(r["class"], "")
        self.assertEqual(r["version"], "2.1.6\n")
        res = r["requests"]
        self.assertEqual([x[0] for x in res], [0] * 6)
        self.assertTrue(res[0][2].startswith("5ebadec0"))
        self.assertEqual(res[3][2], "30" * 256)  # programming only clears bits
        self.assertEqual(res[5][2], "ff" * 256)
        flash = self.flash()  # the state outlives the process
        self.assertEqual(flash[0x40000:0x40100], b"\x30" * 256)
        self.assertEqual(flash[0x30000:0x40000], b"\xff" * 0x10000)

    def test_refused_requests(self):
        r = self.requests("read:0x80000", "read:0x30080", "erase:11", "sync9@read:0")["requests"]
        self.assertEqual([(x[0], x[1]) for x in r], [(-1, 22), (-1, 22), (-1, 22), (-1, 19)])

    def test_injected_faults(self):
        self.tolvi("fault", "tolvi0", "read", "0x30180")
        self.tolvi("fault", "tolvi0", "program", "block:7", "EROFS")
        self.tolvi("fault", "tolvi0", "erase", "block:6", "16")
        r = self.requests("read:0x30100", "read:0x30200", "program:0x4ff00:0", "erase:6", "erase:7")
        self.assertEqual([(x[0], x[1]) for x in r["requests"]], [(-1, 5), (0, 0), (-1, 30), (-1, 16), (0, 0)])
        self.assertEqual(self.flash()[0x4FF00], 0xFF)
        self.tolvi("fault", "tolvi0", "clear")
        self.assertEqual(self.requests("read:0x30100")["requests"][0][0], 0)

    def test_missing_entries(self):
        self.tolvi("class", "tolvi0", "--remove")
        self.tolvi("version", "--remove")
        r = self.requests()
        self.assertEqual((r["class"], r["version"]), ("error 2", "error 2"))

    def test_run_passes_the_exit_status(self):
        p = self.tolvi("run", "--", "sh", "-c", 'test "$CVSIM_DIR" = "$0" && exit 7', self.dir, check=False)
        self.assertEqual(p.returncode, 7)


@unittest.skipUnless(os.access(os.path.join(BIN, "CTFlash"), os.X_OK), "CTFlash not built")
class TolviDemoTest(unittest.TestCase):
    """The demo runs CTFlash on a terminal; keys are typed once it waits."""

    def read_until(self, fd, text, timeout):
        """Reads until text arrives; False when the time-out passes first."""
        end = time.monotonic() + timeout
        while text not in self.out[self.mark:]:
            left = end - time.monotonic()
            if left <= 0:
                return False
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                try:
                    chunk = os.read(fd, 65536)
                except OSError:
                    chunk = b""
                if not chunk:
                    return False
                self.out += chunk
        self.mark = self.out.index(text, self.mark) + len(text)
        return True

    def press(self, fd, key, answer):
        """The menu drops keys typed before it waits, so a key is typed again
        until its answer shows."""
        for _ in range(30):
            os.write(fd, key)
            if self.read_until(fd, answer, 2):
                return
        self.fail("no %r after %r:\n%s" % (answer, key, self.out.decode(errors="replace")))

    def quit(self, fd, pid):
        """Types q until the demo ends; returns its wait status."""
        for _ in range(30):
            try:
                os.write(fd, b"q")
            except OSError:
                pass
            end = time.monotonic() + 2
            while time.monotonic() < end:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    return status
                self.read_until(fd, b"\0", 0.1)  # keep the terminal drained
        self.fail("the demo did not end:\n%s" % self.out.decode(errors="replace"))

    def start(self):
        self.tmp = tempfile.mkdtemp(prefix="simtolvi-demo-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        env = dict(os.environ, TMPDIR=self.tmp)
        pid, fd = pty.fork()
        if pid == 0:
            os.execve(CVSIM, [CVSIM, "tolvi", "demo"], env)
        self.out, self.mark = b"", 0
        return pid, fd

    def test_interrupted_demo_cleans_up_and_dies_of_the_signal(self):
        """Ended by the user or a stop request, the demo removes its directory
        and ends by the same signal, so that a calling shell sees it killed
        (and a script stops) rather than a plain exit status."""
        ways = [
            ("Ctrl-C on its terminal", lambda pid, fd: os.write(fd, b"\x03"), signal.SIGINT),
            ("SIGTERM to the demo", lambda pid, fd: os.kill(pid, signal.SIGTERM), signal.SIGTERM),
        ]
        for how, end, sig in ways:
            with self.subTest(how):
                pid, fd = self.start()
                try:
                    self.assertTrue(self.read_until(fd, b"Q to Quit", 60), self.out)
                    end(pid, fd)
                    _, status = os.waitpid(pid, 0)
                finally:
                    os.close(fd)
                self.assertTrue(os.WIFSIGNALED(status),
                                "exit status %d" % os.waitstatus_to_exitcode(status))
                self.assertEqual(os.WTERMSIG(status), sig)
                self.assertEqual(os.listdir(self.tmp), [])

    def test_demo_lists_and_cleans_up(self):
        pid, fd = self.start()
        status = None
        try:
            self.assertTrue(self.read_until(fd, b"Q to Quit", 60), self.out)
            self.press(fd, b"C", b"Attribute")
            self.assertTrue(self.read_until(fd, b"Q to Quit", 60), self.out)
            status = self.quit(fd, pid)
        finally:
            os.close(fd)
            if status is None:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
        text = self.out.decode(errors="replace")
        self.assertIn(" 6\t0x30000\t45312\t1.0.0.3\t", text)
        self.assertIn(" 8\t0x50000\t70000\t1.1.0.0\t", text)
        self.assertEqual(os.waitstatus_to_exitcode(status), 1)
        self.assertEqual(os.listdir(self.tmp), [], "the demo leaves its directory behind")


if __name__ == "__main__":
    unittest.main()
