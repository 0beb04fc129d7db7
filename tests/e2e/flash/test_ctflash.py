"""CTFlash end to end: the program of this build against the simulated
Tolvi device, on a pseudo-terminal as a user runs it and on pipes as a
script runs it."""

import fcntl
import os
import resource
import select
import shutil
import signal
import subprocess
import tempfile
import termios
import time
import unittest

BIN = os.environ.get("CV_BIN", "")
CTFLASH = os.path.join(BIN, "CTFlash")
CVSIM = os.path.join(BIN, "cvsim")
WAIT = 60  # seconds: a ceiling for a hung program, never a speed requirement

BLOCK_START = [0x00000, 0x04000, 0x06000, 0x08000, 0x10000, 0x20000,
               0x30000, 0x40000, 0x50000, 0x60000, 0x70000, 0x80000]

MENU = ("\nCorvane Tolvi CTFlash Version 2.0.3\n"
        "Built for version 2.1.6 of the Corvane Tolvi driver\n\n"
        "C..............Check\n\n"
        "E..............Erase\n\n"
        "P..............Program\n\n"
        "Select C, E or P. Q to Quit\n")
SELECT = "Select C, E or P. Q to Quit\n"
MENU_HEAD = MENU[:-len(SELECT)]  # the menu up to the line that asks for a key
USAGE = ("Command Line Options for CTFlash\n\n"
         " -i[filename] (FLASH filename, default ct_image.hex)\n"
         " -n[device name]\n\n"
         " e.g. CTFlash -nSDCI0\n\n"
         "Defaults: device name SDCI0\n")
FREE = "\x1b[0;32;47mfree\t\x1b[0;30;0m"
USED = "\x1b[0;31;47mused\t\x1b[0;30;0m"
UNKNOWN = "\x1b[0;33;47munknown\t\x1b[0;30;0m"


def record(rtype, address, data):
    body = bytes([len(data), address >> 8 & 0xFF, address & 0xFF, rtype]) + bytes(data)
    return ":%s%02X\n" % (body.hex().upper(), -sum(body) & 0xFF)


def image_bytes(length, version=(1, 0, 0, 3), seed=1):
    """An image of `length` bytes that starts with an image header."""
    header = bytearray(28)
    header[0:4] = (0xC0DEBA5E).to_bytes(4, "little")
    header[4:8] = (0x12345678).to_bytes(4, "little")
    header[12:16] = bytes(reversed(version))
    header[16:20] = length.to_bytes(4, "little")
    header[24:28] = (0x00030000).to_bytes(4, "little")
    body = bytearray((i * 13 + seed) & 0xFF for i in range(length))
    body[0:min(28, length)] = header[0:min(28, length)]
    return bytes(body)


def hex_text(data, base=0, per_line=32, lower=False):
    """Intel HEX of data placed at base, with type 04 records as needed."""
    out, segment = [], None
    pos = 0
    while pos < len(data):
        address = base + pos
        if address >> 16 != segment:
            segment = address >> 16
            out.append(record(4, 0, [0, segment]))
        n = min(per_line, len(data) - pos, 0x10000 - (address & 0xFFFF))
        out.append(record(0, address & 0xFFFF, data[pos:pos + n]))
        pos += n
    out.append(record(1, 0, b""))
    text = "".join(out)
    return text.lower() if lower else text


def controlling_terminal():
    """In the child: standard input becomes the controlling terminal of the
    new session, as a login shell has it (so the terminal's ^C and hang-up
    reach the program); no core files."""
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


class Session:
    """CTFlash on a pseudo-terminal. Keys are sent only once the program
    reads in raw mode, since it discards type-ahead."""

    def __init__(self, argv, env, cwd):
        self.master, slave = os.openpty()
        self.modes_at_start = termios.tcgetattr(self.master)
        self.modes_at_end = None
        self.proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave,
                                     env=env, cwd=cwd, start_new_session=True,
                                     preexec_fn=controlling_terminal)
        os.close(slave)
        self.out = b""
        self.pos = 0
        self.closed = False

    def _pump(self, timeout):
        if self.closed:
            time.sleep(timeout)
            return
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return
        try:
            data = os.read(self.master, 65536)
        except OSError:
            data = b""
        if not data:
            self.closed = True
        self.out += data

    def text(self):
        return self.out.decode("latin-1").replace("\r\n", "\n")

    def expect(self, wanted):
        """Waits for `wanted` after what was matched so far; returns the
        output from there up to and including it."""
        deadline = time.monotonic() + WAIT
        while True:
            text = self.text()
            at = text.find(wanted, self.pos)
            if at >= 0:
                got = text[self.pos:at + len(wanted)]
                self.pos = at + len(wanted)
                return got
            if self.closed or time.monotonic() > deadline:
                raise AssertionError("did not see %r; output after last match:\n%s"
                                     % (wanted, text[self.pos:]))
            self._pump(0.2)

    def _raw(self):
        try:
            return not termios.tcgetattr(self.master)[3] & termios.ICANON
        except termios.error:
            return False

    def _wait_raw(self, raw=True):
        deadline = time.monotonic() + WAIT
        while self._raw() != raw:
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("program does not wait for a %s:\n%s"
                                     % ("key" if raw else "line", self.text()[self.pos:]))
            self._pump(0.01)

    def interrupt(self):
        """Types ^C once the program waits for a key or a line."""
        os.write(self.master, b"\x03")

    def key(self, k):
        self._wait_raw()
        os.write(self.master, k.encode("latin-1"))

    def hang_up(self):
        """Closes the terminal (the program waits for input by now)."""
        self.closed = True
        os.close(self.master)

    def line(self, s):
        os.write(self.master, s.encode("latin-1") + b"\n")

    def kill(self):
        """Ends a session that a failed test left running."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if not self.closed:
            self.closed = True
            os.close(self.master)

    def finish(self):
        """Waits for the end; returns the exit status and the rest of the output."""
        try:
            status = self.proc.wait(timeout=WAIT)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
        while not self.closed:
            self._pump(0.2)
        self.modes_at_end = termios.tcgetattr(self.master)
        os.close(self.master)
        self.master = -1
        rest = self.text()[self.pos:]
        self.pos = len(self.text())
        return status, rest


@unittest.skipUnless(os.path.exists(CTFLASH) and os.path.exists(CVSIM), "needs CTFlash and cvsim in CV_BIN")
class TolviTestCase(unittest.TestCase):
    """A fresh simulator directory with device tolvi0 for every test."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ctflash_e2e_")
        self.env = dict(os.environ, CVSIM_DIR=self.dir,
                        LD_PRELOAD=os.path.join(BIN, "$LIB", "libcvsim.so"))
        self.sessions = []

    def tearDown(self):
        for s in self.sessions:
            s.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def sim(self, *args):
        env = dict(os.environ, CVSIM_DIR=self.dir)
        env.pop("LD_PRELOAD", None)
        res = subprocess.run([CVSIM, "tolvi"] + [str(a) for a in args], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=WAIT)
        self.assertEqual(res.returncode, 0, res.stdout.decode())
        return res.stdout.decode()

    def write_file(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w", newline="") as f:
            f.write(text)
        return path

    def create(self, *images, extra=()):
        """Creates tolvi0 with (block, bytes) images."""
        args = ["create", "tolvi0"] + list(extra)
        for n, (block, data) in enumerate(images):
            path = self.write_file("pre%d.hex" % n, hex_text(data))
            args += ["--image", "%d:%s" % (block, path)]
        self.sim(*args)

    def flash(self, first, last=None):
        out = os.path.join(self.dir, "dump.bin")
        self.sim("dump", "tolvi0", "%d-%d" % (first, last if last is not None else first), out)
        with open(out, "rb") as f:
            return f.read()

    def poke(self, address, value):
        with open(os.path.join(self.dir, "tolvi", "tolvi0.flash"), "r+b") as f:
            f.seek(address)
            f.write(bytes([value]))

    def start(self, *args):
        s = Session([CTFLASH] + list(args), self.env, self.dir)
        self.sessions.append(s)
        return s

    def piped(self, script, *args):
        res = subprocess.run([CTFLASH] + list(args), input=script.encode(), env=self.env,
                             cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             timeout=WAIT)
        return res.returncode, res.stdout.decode("latin-1")

    def objcopy_image(self, hex_path):
        """The image as GNU objcopy reads the same file."""
        out = hex_path + ".bin"
        subprocess.run(["objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0xff",
                        hex_path, out], check=True, timeout=WAIT)
        with open(out, "rb") as f:
            return f.read()

    def menu_key(self, s, k):
        s.expect(SELECT)
        s.key(k)

    def block_command(self, s, key, block):
        """Menu key E or P, then a block number at its prompt."""
        self.menu_key(s, key)
        s.expect("Enter Block to %s (0...10): " % ("Erase" if key in "eE" else "Program"))
        s.line(str(block))

    def quit(self, s):
        self.menu_key(s, "q")
        status, _ = s.finish()
        self.assertEqual(status, 1)


class DeviceCheck(TolviTestCase):
    def check(self, args, want_out, want_status):
        status, out = self.piped("q", *args)
        self.assertEqual(out, want_out)
        self.assertEqual(status, want_status)

    def test_not_a_tolvi_device(self):
        self.create(extra=["--no-class-entry"])
        self.check(["-n", "tolvi0"], "tolvi0 is not a Corvane Tolvi USB device\n\n", 0)
        self.sim("class", "tolvi0", "--add")
        self.check(["-n", "tolvi9"], "tolvi9 is not a Corvane Tolvi USB device\n\n", 0)
        self.check([], "sync0 is not a Corvane Tolvi USB device\n\n", 0)
        self.sim("version", "--remove")
        self.check(["-n", "tolvi0"], "tolvi0 is not a Corvane Tolvi USB device\n\n", 0)

    def test_driver_versions(self):
        self.create()
        for version in ("3.0.0\n", "1.2.0\n", "10.2.1\n"):
            self.sim("version", version)
            self.check(["-ntolvi0"],
                       "**** The version of the Corvane Tolvi driver is not compatable with this "
                       "utility(%s)\nA minimum version of 2.0 is required\n\n" % version.strip(), 0)
        for version in ("2.1.6\n", "2.0", "cvtolvi 2.4.1 (usb)\n"):
            self.sim("version", version)
            self.check(["/n", "tolvi0"], MENU, 1)

    def test_command_line(self):
        self.create()
        for args in (["-?"], ["/?"], ["?"], ["-z"], ["-n"], ["-ntolvi0", "-i"]):
            self.check(args, USAGE, 1)
        self.check(["-n", "tolvi0123456789a"], "Interface name tolvi0123456789a too long\n", 1)
        self.check(["-i", "x" * 5000], "Image file name too long (at most 4096 characters)\n", 1)
        self.check(["foo", "-ntolvi0"], "sync0 is not a Corvane Tolvi USB device\n\n", 0)
        self.check(["-ntolvi0", "--", "-z"], MENU, 1)


class Listing(TolviTestCase):
    def test_menu_and_rows(self):
        stray = bytearray(b"\xff" * 0x100)
        stray[0xCD] = 0x7F
        self.create((6, image_bytes(45312)), (8, image_bytes(70000, (2, 0, 0, 0))),
                    (0, b"\x12"), (4, image_bytes(0x1234, (4, 3, 2, 1))))
        self.poke(0x7ABCD, 0x7F)
        s = self.start("-n", "tolvi0")
        self.assertEqual(s.expect("Select C, E or P. Q to Quit\n"), MENU)
        s.key("c")
        rows = s.expect(MENU)[:-len(MENU)]
        self.assertEqual(rows,
            "Block\tAddress\tLength\tVersion\tStatus\tAttribute\n"
            " 0\t0x00000\t0\t . . . \t" + USED + "r-x-\n"
            " 1\t0x04000\t0\t . . . \t" + FREE + "r---\n"
            " 2\t0x06000\t0\t . . . \t" + FREE + "r---\n"
            " 3\t0x08000\t0\t . . . \t" + FREE + "r-x-\n"
            " 4\t0x10000\t4660\t4.3.2.1\t" + USED + "r-x-\n"
            " 5\t0x20000\t0\t . . . \t" + FREE + "r-x-\n"
            " 6\t0x30000\t45312\t1.0.0.3\t" + USED + "rwxd\n"
            " 7\t0x40000\t0\t . . . \t" + FREE + "rwxd\n"
            " 8\t0x50000\t70000\t2.0.0.0\t" + USED + "rwxd\n"
            "10\t0x70000\t0\t . . . \t" + USED + "rwxd\n\n")
        s.key("x")  # any other key: the menu again
        self.menu_key(s, "\x1b")
        status, rest = s.finish()
        self.assertEqual(status, 1)
        self.assertEqual(rest, "")

    def test_unread_block_is_unknown_and_not_programmed(self):
        self.write_file("ct_image.hex", hex_text(image_bytes(3000, seed=5)))
        self.create((7, image_bytes(100)))
        self.sim("fault", "tolvi0", "read", "0x40000")
        s = self.start("-ntolvi0")
        self.menu_key(s, "C")
        got = s.expect("10\t0x70000")
        self.assertIn("IoctlCodeCorvaneControlRequest failed with error 0x5\n"
                      " 7\t0x40000\t0\t . . . \t" + UNKNOWN + "rwxd\n", got)
        self.block_command(s, "p", 7)
        s.expect("ERROR - Block is not available for programming \n" + MENU_HEAD)
        self.sim("fault", "tolvi0", "clear")
        self.menu_key(s, "c")
        s.expect(" 7\t0x40000\t100\t1.0.0.3\t" + USED + "rwxd\n")
        self.quit(s)
        self.assertEqual(self.flash(7)[:100], image_bytes(100))


class Erase(TolviTestCase):
    def test_refusals(self):
        self.create((5, image_bytes(100)), (7, b"\x00" * 16))
        s = self.start("-ntolvi0")
        self.block_command(s, "e", 5)
        s.expect("Blocks 0 - 5 are protected and cannot be erased!\n\nPress any key to contunue\n")
        s.key("x")
        self.block_command(s, "E", 11)
        s.expect("Invalid block number - press return\n\n")
        s.line("")
        self.block_command(s, "e", 7)
        s.expect("ERROR - Can't erase this block\n")
        self.quit(s)
        self.assertEqual(self.flash(7)[:16], b"\x00" * 16)
        self.assertEqual(self.flash(5)[:4], bytes.fromhex("5EBADEC0"))

    def test_two_block_image_asks_once(self):
        self.create((8, image_bytes(70000)))
        s = self.start("-ntolvi0")
        self.block_command(s, "e", 8)
        s.expect("Checking block 8\nBlock state is used, do you really want to erase (Y/N)?\n")
        s.key("n")
        s.expect(" ABORTED\n")
        self.assertEqual(self.flash(8, 9)[:70000], image_bytes(70000))
        self.block_command(s, "e", 8)
        s.expect("Block state is used, do you really want to erase (Y/N)?\n")
        s.key("Y")
        s.expect("Erasing FLASH (block 8 @ 0x00050000)\nSuccess\n\n"
                 "Checking block 9\nErasing FLASH (block 9 @ 0x00060000)\nSuccess\n\n")
        self.quit(s)
        self.assertEqual(self.flash(8, 9), b"\xff" * 0x20000)

    def test_expert_mode_and_failure(self):
        self.create((7, b"\x00" * 16), (9, image_bytes(100)))
        self.sim("fault", "tolvi0", "erase", "block:9")
        s = self.start("-ntolvi0", "-e1")
        self.block_command(s, "e", 7)
        s.expect("Block state is used, do you really want to erase (Y/N)?\n")
        s.key("y")
        s.expect("Erasing FLASH (block 7 @ 0x00040000)\nSuccess\n")
        self.block_command(s, "e", 9)
        s.expect("Block state is used, do you really want to erase (Y/N)?\n")
        s.key("y")
        s.expect("Erasing FLASH (block 9 @ 0x00060000)\n"
                 "IoctlCodeCorvaneControlRequest failed with error 0x5\n")
        self.quit(s)
        self.assertEqual(self.flash(7), b"\xff" * 0x10000)
        self.assertEqual(self.flash(9)[:100], image_bytes(100))


class Program(TolviTestCase):
    def program(self, s, block):
        self.block_command(s, "p", block)

    def test_image_matches_objcopy(self):
        data = image_bytes(70000)
        path = self.write_file("ct_image.hex", hex_text(data, per_line=255, lower=True).replace("\n", "\r\n"))
        reference = self.objcopy_image(path)
        self.assertEqual(reference, data)
        self.create()
        s = self.start("-ntolvi0")
        self.menu_key(s, "c")
        self.program(s, 7)
        s.expect("Programming FLASH from (block 7 @ 0x00040000)\nFile to open is ct_image.hex\n"
                 "File\t\t\tct_image.hex\nStart Address\t\t0x00030000\nChecksum\t\t0x12345678\n"
                 "FLASH minAddress\t0x00000000\nFLASH maxAddress\t0x0001116F\n"
                 "FLASH used\t\t70000 bytes\n" + "=" * 128 + "\nVerified 70144 bytes\n")
        self.program(s, 8)  # the image's second block
        s.expect("ERROR - This is the second block of a two block image and cannot be used\n")
        self.menu_key(s, "c")
        s.expect(" 7\t0x40000\t70000\t1.0.0.3\t" + USED + "rwxd\n 9\t")
        self.quit(s)
        flash = self.flash(7, 8)
        self.assertEqual(flash[:len(reference)], reference)
        self.assertEqual(flash[len(reference):], b"\xff" * (0x20000 - len(reference)))
        self.assertEqual(self.flash(6), b"\xff" * 0x10000)
        self.assertEqual(self.flash(9), b"\xff" * 0x10000)

    def test_refusals_and_space(self):
        self.write_file("ct_image.hex", hex_text(image_bytes(0x10001)))
        self.create((8, image_bytes(16)))
        s = self.start("-ntolvi0")
        self.program(s, 7)
        s.expect("ERROR - Block is not available for programming \n")
        self.program(s, 2)
        s.expect("Blocks 0 - 5 are protected and cannot be programmed! - press return to continue\n\n")
        s.line("")
        self.program(s, 11)
        s.expect("Invalid block number - press return to continue\n\n")
        s.line("")
        self.menu_key(s, "c")
        self.program(s, 8)
        s.expect("ERROR - Block state is used and is not available for programming\n")
        self.program(s, 10)
        s.expect("FLASH used\t\t65537 bytes\n\n"
                 "ERROR - Not enough space for image, please choose a smaller block number\n")
        self.program(s, 7)
        s.expect("\nERROR - Not enough space for image, please ensure two contiguous blocks free\n")
        self.quit(s)
        self.assertEqual(self.flash(7), b"\xff" * 0x10000)
        self.assertEqual(self.flash(10), b"\xff" * 0x10000)

    def test_block_ten_ends_at_end_of_flash(self):
        data = image_bytes(0x10000)
        path = self.write_file("img.hex", hex_text(data))
        self.create()
        s = self.start("-ntolvi0", "-i", path)
        self.menu_key(s, "c")
        self.program(s, 10)
        s.expect("FLASH used\t\t65536 bytes\n" + "=" * 64 + "\nVerified 65536 bytes\n")
        self.quit(s)
        self.assertEqual(self.flash(10), data)

    def test_faults_and_verify(self):
        self.write_file("ct_image.hex", hex_text(image_bytes(3000)))
        self.create()
        self.sim("fault", "tolvi0", "program", "0x30800")
        s = self.start("-ntolvi0")
        self.menu_key(s, "c")
        self.program(s, 6)
        got = s.expect("IoctlCodeCorvaneControlRequest failed with error 0x5\n\n")
        self.assertTrue(got.endswith("bytes\n==IoctlCodeCorvaneControlRequest failed with error 0x5\n\n"), got)
        s.expect(MENU_HEAD)
        self.assertNotIn("Verified", s.text())
        # Block 8 was free at the listing; a byte appears in it before the run.
        self.poke(0x50105, 0x00)
        self.program(s, 8)
        s.expect("=" * 128 + "\nERROR - verify failed at 0x00050105: expected 0x%02X, found 0x00 (1 bytes differ)\n"
                 % image_bytes(3000)[0x105])
        self.quit(s)

    def test_damaged_files_program_nothing(self):
        self.create()
        good = hex_text(image_bytes(600))
        lines = good.splitlines(True)
        bad_sum = lines[3][:-3] + ("00" if lines[3][-3:-1] != "00" else "01") + "\n"
        self.write_file("sum.hex", "".join(lines[:3] + [bad_sum] + lines[4:]))
        self.write_file("junk.hex", "".join(lines[:2] + ["hello\n"] + lines[2:]))
        self.write_file("range.hex", record(4, 0, [0, 2]) + record(0, 0, [1]) + good)
        s = self.start("-ntolvi0", "-isum.hex")
        self.menu_key(s, "c")
        self.program(s, 6)
        s.expect("ERROR - bad checksum on line 4\n" + MENU_HEAD)
        self.quit(s)
        s = self.start("-ntolvi0", "-ijunk.hex")
        self.menu_key(s, "c")
        self.program(s, 6)
        s.expect("ERROR - malformed record on line 3 (no start code)\n" + MENU_HEAD)
        self.program(s, 6)
        s.expect("ERROR - malformed record on line 3")
        self.quit(s)
        s = self.start("-ntolvi0", "-irange.hex")
        self.menu_key(s, "c")
        self.program(s, 6)
        s.expect("ERROR - address out of range\n")
        status, rest = s.finish()
        self.assertEqual(status, 1)
        self.assertEqual(rest, "")
        self.assertEqual(self.flash(6, 10), b"\xff" * 0x50000)


class Terminal(TolviTestCase):
    def test_line_that_ends_a_wait_never_reaches_the_menu(self):
        self.create()
        s = self.start("-ntolvi0")
        self.block_command(s, "p", 12)
        s.expect("Invalid block number - press return to continue\n\n")
        s.line("q")  # ends the wait; thrown away when the menu reads its key
        s.expect(MENU)
        s.key("x")   # waited for in raw mode: the program is still running
        self.quit(s)

    def wait_at(self, s, where):
        """Brings a session to the menu, the Y/N question (both read a raw
        key) or the block number prompt (read as a line)."""
        if where == "menu":
            s.expect(SELECT)
        elif where == "question":
            self.block_command(s, "e", 7)
            s.expect("Block state is used, do you really want to erase (Y/N)?\n")
        else:
            self.menu_key(s, "e")
            s.expect("Enter Block to Erase (0...10): ")
        s._wait_raw(where != "number")

    def test_signals_leave_the_terminal_as_found(self):
        self.create((7, image_bytes(100)))
        cases = [
            ("menu", "^C", -signal.SIGINT), ("menu", signal.SIGTERM, -signal.SIGTERM),
            ("menu", signal.SIGQUIT, -signal.SIGQUIT), ("menu", signal.SIGHUP, 1),
            ("question", "^C", -signal.SIGINT), ("question", signal.SIGTERM, -signal.SIGTERM),
            ("question", signal.SIGHUP, 1),
            ("number", "^C", -signal.SIGINT), ("number", signal.SIGHUP, 1),
        ]
        for where, how, want in cases:
            with self.subTest(where=where, how=how):
                s = self.start("-ntolvi0")
                self.wait_at(s, where)
                if how == "^C":
                    s.interrupt()
                else:
                    s.proc.send_signal(how)
                status, rest = s.finish()
                self.assertEqual(status, want, rest)
                self.assertEqual(s.modes_at_end, s.modes_at_start)
                self.assertNotIn("Erasing", s.text())
        self.assertEqual(self.flash(7)[:100], image_bytes(100))

    def test_hang_up_ends_the_program_as_quit_does(self):
        self.create((7, image_bytes(100)))
        for where in ("menu", "question", "number"):
            with self.subTest(where=where):
                s = self.start("-ntolvi0")
                self.wait_at(s, where)
                s.hang_up()
                self.assertEqual(s.proc.wait(timeout=WAIT), 1)
        self.assertEqual(self.flash(7)[:100], image_bytes(100))


class ClosedDescriptors(TolviTestCase):
    def test_program_started_without_a_standard_descriptor(self):
        erased = "Erasing FLASH (block 7 @ 0x00040000)\nSuccess\n"
        cases = [  # closed descriptor, script, what standard output shows
            (0, None, MENU),  # no input at all: ends as at the end of input
            (1, "e7\ny", None),
            (2, "e7\ny", erased),
        ]
        for fd, script, want_out in cases:
            with self.subTest(fd=fd):
                self.create((7, image_bytes(100)))
                pipe = lambda n: subprocess.PIPE if n != fd else None
                proc = subprocess.Popen([CTFLASH, "-ntolvi0"], stdin=pipe(0), stdout=pipe(1),
                                        stderr=pipe(2), env=self.env, cwd=self.dir,
                                        preexec_fn=lambda: os.close(fd))
                try:
                    if script is not None:
                        # The program waits for its script: the descriptor it
                        # found closed is /dev/null by now, so no handle can take it.
                        self.assertEqual(self.link_once_settled(proc.pid, fd), "/dev/null")
                    out, err = proc.communicate(script.encode() if script else None, timeout=WAIT)
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.communicate()
                self.assertEqual(proc.returncode, 1)
                if want_out is not None:
                    self.assertIn(want_out, out.decode("latin-1"))
                if fd != 2:
                    self.assertEqual(err, b"")
                if script is not None:
                    self.assertEqual(self.flash(7), b"\xff" * 0x10000)

    @staticmethod
    def link_once_settled(pid, fd):
        """What descriptor fd of pid names once it is /dev/null (the loader
        may hold a library file there for a moment), or the last seen."""
        deadline = time.monotonic() + WAIT
        link = None
        while link != "/dev/null" and time.monotonic() < deadline:
            try:
                link = os.readlink("/proc/%d/fd/%d" % (pid, fd))
            except FileNotFoundError:
                link = None
            time.sleep(0.01)
        return link


class Scripted(TolviTestCase):
    def test_list_and_quit(self):
        self.create((6, image_bytes(45312)))
        status, out = self.piped("c q", "-n", "tolvi0")
        self.assertEqual(status, 1)
        self.assertEqual(out.count(MENU), 3)
        self.assertIn(" 6\t0x30000\t45312\t1.0.0.3\t" + USED + "rwxd\n", out)
        status, out = self.piped("", "-n", "tolvi0")
        self.assertEqual((status, out), (1, MENU))

    def test_erase_and_program(self):
        self.create((7, image_bytes(100)))
        status, out = self.piped("e7\ny", "-n", "tolvi0")
        self.assertEqual(status, 1)
        self.assertIn("Erasing FLASH (block 7 @ 0x00040000)\nSuccess\n", out)
        self.assertEqual(self.flash(7), b"\xff" * 0x10000)
        data = image_bytes(5000, seed=9)
        self.write_file("ct_image.hex", hex_text(data))
        status, out = self.piped("c\np 7\np6\nq", "-n", "tolvi0")
        self.assertEqual(status, 1)
        self.assertEqual(out.count("Verified 5120 bytes\n"), 2, out)
        self.assertEqual(self.flash(7)[:5000], data)
        self.assertEqual(self.flash(6)[:5000], data)


if __name__ == "__main__":
    unittest.main()
