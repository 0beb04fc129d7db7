"""cvfcollect -w: records sent over loopback UDP and TCP come out as a
pcapng capture, read back with tshark and capinfos (Debian's wireshark
readers): interfaces, times, directions, drop counts, frame bytes, MTP2
decoding, rotation by size and by time, standard output into a live
tshark, write failures and signals."""
import json
import os
import re
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import test_cvfcollect as cvf
from test_cvfcollect import BIN, WAIT, record, send_paced, wait_for

TSHARK_FIELDS = ["frame.interface_name", "frame.interface_description", "frame.time_epoch",
                 "frame.packet_flags_direction", "frame.drop_count", "frame.len",
                 "frame.cap_len"]
RX, TX = "0x00000001", "0x00000002"


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=WAIT,
                          stdin=subprocess.DEVNULL, **kw)


def packets(path):
    """Every packet of a capture as a dict of the fields above plus its bytes."""
    r = run(["tshark", "-r", path, "-T", "fields", "-E", "separator=|"]
            + sum((["-e", f] for f in TSHARK_FIELDS), []))
    assert r.returncode == 0, r.stderr
    rows = [dict(zip(TSHARK_FIELDS, ln.split("|"))) for ln in r.stdout.splitlines()]
    r = run(["tshark", "-r", path, "-T", "ek", "-x"])
    assert r.returncode == 0, r.stderr
    raw = [json.loads(ln)["layers"].get("frame_raw", "") for ln in r.stdout.splitlines()
           if ln.startswith('{"timestamp"')]
    assert len(raw) == len(rows)
    for row, hexbytes in zip(rows, raw):
        row["bytes"] = bytes.fromhex(hexbytes)
    return rows


def capinfos(path):
    r = run(["capinfos", path])
    assert r.returncode == 0, "capinfos %s: %s" % (path, r.stderr)
    return r.stdout


def packet_count(path):
    return int(re.search(r"Number of packets:\s+(\d+)", capinfos(path)).group(1))


def interface_statistics(path):
    """{interface name: (dropped, time of the statistics)} from the capture's
    Interface Statistics Blocks, as tshark's pcapng file dissector reads them."""
    r = run(["tshark", "-r", path, "-X", "read_format:MIME Files Format", "-V"])
    assert r.returncode == 0, r.stderr
    names, stats = [], {}
    for block in re.split(r"^    Block: ", r.stdout, flags=re.M)[1:]:
        if block.startswith("Interface Description Block"):
            names.append(re.search(r"^\s+Name: (.*)$", block, re.M).group(1))
        elif block.startswith("Interface Statistics Block"):
            iface = int(re.search(r"^\s+Interface: (\d+)$", block, re.M).group(1))
            dropped = int(re.search(r"Number of Dropped Packets: (\d+)", block).group(1))
            stamp = re.search(r"\[Timestamp: (.*)\]", block).group(1)
            stats[names[iface]] = (dropped, stamp)
    return stats


def mtp2_frame(seq, li):
    """An MTP2 signal unit: BSN/BIB, FSN/FIB, length indicator, then li bytes."""
    return bytes([0x80 | seq & 0x7F, 0x80 | (seq + 1) & 0x7F, li]) + bytes(range(3, 3 + li))


def Collector(test, *args, capture="cap.pcapng", **kw):
    """A collector writing a capture (cap.pcapng in its directory unless told otherwise)."""
    return cvf.Collector(test, *args, capture=capture, dump=False, **kw)


def has_packets(path, n):
    """True once the capture at path holds n whole packets."""
    r = run(["capinfos", "-c", "-M", path])
    m = re.search(r"Number of packets:\s+(\d+)", r.stdout)
    return r.returncode == 0 and m is not None and int(m.group(1)) >= n


def udp_send(port, datagrams):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        send_paced(s, ("127.0.0.1", port), datagrams)


class CaptureTest(unittest.TestCase):
    def test_udp_and_tcp_records_as_packets(self):
        udp = [(1, 0, 3), (2, 1, 0), (5, 0, 63), (6, 1, 2), (7, 0, 1), (3, 1, 5)]
        bad = [b"\x00" * 7, record(4, gw=1, line=2, frame=b"ab")[:-1]]
        tcp = [(10, 1, 4), (11, 0, 0), (13, 1, 6)]
        c = Collector(self, "-p", "0", "-c", str(len(udp) + len(tcp)), "--v0")
        sent = {}
        for i, (seq, tx, li) in enumerate(udp):
            d = record(seq, gw=1, line=2, tx=tx, frame=mtp2_frame(seq, li), ms=10 * i)
            udp_send(c.port, [d] + (bad if i == 2 else []))
            sent.setdefault("gw1-line2", []).append((seq, tx, 10 * i, mtp2_frame(seq, li)))
        with socket.create_connection(("127.0.0.1", c.port), timeout=WAIT) as s:
            for seq, tx, li in tcp:
                s.sendall(record(seq, gw=3, line=4, tx=tx, frame=mtp2_frame(seq, li),
                                 secs=1700000123, ms=999))
                sent.setdefault("gw3-line4", []).append((seq, tx, 999, mtp2_frame(seq, li)))
            self.assertEqual(c.finish(), 0, c.err())
        self.assertEqual(c.summary()["invalid"], 2)

        got = packets(c.path())
        descr = {"gw1-line2": "cvfcollect udp " + c.listening["udp"],
                 "gw3-line4": "cvfcollect tcp " + c.listening["tcp"]}
        # lost counts as the collector keeps them: 3 and 4 missing at 5 (3
        # comes late and is no drop of its own), 12 missing at 13
        drops = {5: "2", 13: "1"}
        for name, recs in sent.items():
            mine = [p for p in got if p["frame.interface_name"] == name]
            self.assertEqual(len(mine), len(recs), name)
            for p, (seq, tx, ms, frame) in zip(mine, recs):
                secs = 1700000123 if name == "gw3-line4" else 1700000000
                self.assertEqual(p, {
                    "frame.interface_name": name,
                    "frame.interface_description": descr[name],
                    "frame.time_epoch": "%d.%03d000000" % (secs, ms),
                    "frame.packet_flags_direction": TX if tx else RX,
                    "frame.drop_count": drops.get(seq, ""),
                    "frame.len": str(len(frame)),
                    "frame.cap_len": str(len(frame)),
                    "bytes": frame,
                }, "seq %d" % seq)

        info = capinfos(c.path())
        self.assertIn("Number of interfaces in file: 2", info)
        # at exit, one statistics block per interface: the frames lost on
        # that line (the sum of its drop counts), taken at its last packet
        stats = interface_statistics(c.path())
        self.assertEqual(sorted(stats), sorted(sent))
        for name in sent:
            mine = [p for p in got if p["frame.interface_name"] == name]
            lost = sum(int(p["frame.drop_count"] or 0) for p in mine)
            self.assertEqual(stats[name][0], lost, name)
        self.assertEqual(stats["gw1-line2"][0] + stats["gw3-line4"][0], 3)
        self.assertIn("2023 22:15:23.999000000 UTC", stats["gw3-line4"][1])
        self.assertEqual(info.count("Encapsulation = SS7 MTP2 (42 - mtp2)"), 2)
        self.assertIn("Capture application: cvfcollect", info)
        self.assertIn("Time precision = milliseconds (3)", info)
        # the default link type decodes as MTP2, length indicators included
        r = run(["tshark", "-r", c.path(), "-Y", "mtp2", "-T", "fields", "-e", "mtp2.li"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.split(), [str(li) for _, _, li in udp + tcp])

    def test_link_type_by_name_and_number(self):
        for arg, encap in (("lapd", "LAPD"), ("chdlc", "Cisco HDLC"), ("147", "USER 0")):
            c = Collector(self, "-p", "0", "-u", "-c", "1", "-y", arg)
            udp_send(c.port, [record(1, frame=b"\x02\x01\x03")])
            self.assertEqual(c.finish(), 0, c.err())
            self.assertRegex(capinfos(c.path()), r"Encapsulation = %s \(" % encap, arg)


class RotationTest(unittest.TestCase):
    def test_size_rotation_numbers_on_after_earlier_files(self):
        n = 60
        d = self.enterContext(tempfile.TemporaryDirectory())
        at = lambda name: os.path.join(d, name)
        with open(at("cap-00004.pcapng"), "wb") as f:  # an earlier run's capture
            f.write(b"earlier")
        frames = [bytes([i]) * 100 for i in range(n)]
        for _ in range(2):  # the second run is a restarted service
            c = Collector(self, "-p", "0", "-u", "-c", str(n), "-C", "0.002",
                          capture=at("cap.pcapng"))
            udp_send(c.port, [record(i, frame=f) for i, f in enumerate(frames)])
            self.assertEqual(c.finish(), 0, c.err())
        with open(at("cap-00004.pcapng"), "rb") as f:
            self.assertEqual(f.read(), b"earlier")
        # 144-byte packets: the section header, one interface and 13 packets
        # fill a file of 2000 bytes
        per_run = (n + 12) // 13
        self.assertEqual(sorted(os.listdir(d)),
                         ["cap-%05d.pcapng" % k for k in range(4, 5 + 2 * per_run)])
        for run_no in range(2):
            got = []
            for k in range(5 + run_no * per_run, 5 + (run_no + 1) * per_run):
                p = at("cap-%05d.pcapng" % k)
                self.assertLessEqual(os.path.getsize(p), 2000)
                got += [q["bytes"] for q in packets(p)]
            self.assertEqual(got, frames)

    def test_time_rotation_keeps_the_newest(self):
        c = Collector(self, "-p", "0", "-u", "-G", "1", "-W", "2")
        for burst in range(3):
            if burst:
                time.sleep(1.1)
            udp_send(c.port, [record(2 * burst), record(2 * burst + 1)])
        wait_for(lambda: "cap-00003.pcapng" in c.files() and
                 has_packets(c.path("cap-00003.pcapng"), 2), "the third file")
        self.assertEqual(c.stop(), 0, c.err())
        self.assertEqual(c.files(), ["cap-00002.pcapng", "cap-00003.pcapng"])
        for k in (2, 3):
            self.assertEqual(packet_count(c.path("cap-%05d.pcapng" % k)), 2)


class StreamTest(unittest.TestCase):
    def test_standard_output_into_live_tshark(self):
        ready = os.path.join(self.enterContext(tempfile.TemporaryDirectory()), "ready")
        col = subprocess.Popen([BIN, "-p", "0", "-u", "-w", "-", "-r", ready],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
        self.addCleanup(lambda: col.poll() is None and col.kill())
        ts = subprocess.Popen(["tshark", "-l", "-i", "-", "-c", "3", "-T", "fields",
                               "-e", "frame.interface_name", "-e", "mtp2.li"],
                              stdin=col.stdout, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True)
        self.addCleanup(lambda: ts.poll() is None and ts.kill())
        col.stdout.close()
        wait_for(lambda: os.path.exists(ready), "the collector to listen")
        with open(ready) as f:
            port = int(f.readline().rsplit(":", 1)[1])
        udp_send(port, [record(i, gw=7, line=i, frame=mtp2_frame(i, i)) for i in range(3)])
        # tshark ends after three packets while the collector keeps running
        out, err = ts.communicate(timeout=WAIT)
        self.assertEqual(ts.returncode, 0, err)
        self.assertEqual(out.splitlines(), ["gw7-line0\t0", "gw7-line1\t1", "gw7-line2\t2"])
        self.assertIsNone(col.poll())
        col.send_signal(signal.SIGTERM)
        _, cerr = col.communicate(timeout=WAIT)
        self.assertEqual(col.returncode, 0, cerr)
        self.assertIn(b"total: records=3 ", cerr)

    def test_print_refused_with_standard_output(self):
        r = run([BIN, "-p", "0", "-w", "-", "-P"])
        self.assertEqual(r.returncode, 1)
        self.assertIn("cvfcollect: -P and -x print on standard output, which -w - takes for the "
                      "capture", r.stderr)
        self.assertEqual(r.stdout, "")


class WriteErrorTest(unittest.TestCase):
    NOTE = "; records are still counted, and captured again once it can be written\n"

    def test_full_device_reported_once_and_counting_goes_on(self):
        c = Collector(self, "-p", "0", "-u", "-c", "20", capture="/dev/full")
        udp_send(c.port, [record(i, frame=b"z" * 300) for i in range(20)])
        self.assertEqual(c.finish(), 1)
        self.assertEqual(c.err().count("capture file"), 2, c.err())
        self.assertIn("cvfcollect: cannot write capture file /dev/full: No space left on device"
                      + self.NOTE, c.err())
        self.assertIn("cvfcollect: capture file /dev/full: 20 records were not captured\n",
                      c.err())
        self.assertEqual(c.summary()["records"], 20)
        self.assertIn("total: records=20 ", c.out())

    def test_missing_directory(self):
        c = Collector(self, "-p", "0", "-u", "-c", "2", capture="no/cap.pcapng")
        udp_send(c.port, [record(1), record(2)])
        self.assertEqual(c.finish(), 1)
        self.assertIn("cvfcollect: cannot create capture file no/cap.pcapng: No such file or "
                      "directory" + self.NOTE, c.err())
        self.assertEqual(c.summary()["records"], 2)
        c = Collector(self, "-p", "0", "--exit-on-write-error", capture="no/cap.pcapng",
                      ready=False)
        self.assertEqual(c.finish(), 1)
        self.assertIn("no/cap.pcapng: No such file or directory; ending\n", c.err())
        self.assertFalse(os.path.exists(c.ready))

    def test_capture_taken_up_again_once_it_can_be_written(self):
        """With rotation, a file that may not grow past 5000 bytes (a full disk)
        fails, and the next rotation point starts a file that takes records
        again; without rotation, a FIFO that finds a reader later is opened at
        the next try."""
        c = Collector(self, "-p", "0", "-u", "-G", "1", fsize=5000)
        udp_send(c.port, [record(i, frame=b"q" * 200) for i in range(40)])
        wait_for(lambda: "cannot write capture file" in c.err(), "the failure")
        time.sleep(1.1)
        later = [record(100 + i, frame=bytes([i]) * 10) for i in range(3)]
        udp_send(c.port, later)
        wait_for(lambda: "cap-00002.pcapng" in c.files() and
                 has_packets(c.path("cap-00002.pcapng"), 3), "the next file")
        self.assertEqual(c.stop(), 1, c.err())
        self.assertEqual(c.err().count("cannot write capture file cap-00001.pcapng: File too "
                                       "large" + self.NOTE), 1, c.err())
        self.assertRegex(c.err(), r"cvfcollect: capture file cap-00002.pcapng: writing again; "
                                  r"\d+ records were not captured\n")
        self.assertEqual(c.err().count("capture file"), 2, c.err())
        self.assertEqual([p["bytes"] for p in packets(c.path("cap-00002.pcapng"))],
                         [bytes([i]) * 10 for i in range(3)])
        self.assertLessEqual(os.path.getsize(c.path("cap-00001.pcapng")), 5000)

        d = self.enterContext(tempfile.TemporaryDirectory())
        fifo, copy = os.path.join(d, "fifo"), os.path.join(d, "copy.pcapng")
        os.mkfifo(fifo)
        c = Collector(self, "-p", "0", "-u", capture=fifo)
        udp_send(c.port, [record(0)])
        wait_for(lambda: "no reader" in c.err(), "the failure")
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        got = bytearray()
        def read_some():
            try:
                got.extend(os.read(reader, 65536))
            except BlockingIOError:
                pass
            return got
        seq = 1
        def sent_one():
            nonlocal seq
            udp_send(c.port, [record(seq)])
            seq += 1
            time.sleep(0.1)
            return read_some()
        wait_for(sent_one, "the capture through the FIFO")  # within the retry interval
        self.assertEqual(c.stop(), 1, c.err())
        while True:  # the rest, up to the end the collector's close makes
            chunk = os.read(reader, 65536)
            if not chunk:
                break
            got.extend(chunk)
        os.close(reader)
        with open(copy, "wb") as f:
            f.write(got)
        self.assertGreater(len(packets(copy)), 0)
        self.assertEqual(c.err().count("capture file"), 2, c.err())
        self.assertIn("capture file %s: writing again; " % fifo, c.err())
        self.assertGreater(c.summary()["records"], len(packets(copy)))

    def test_exit_on_write_error_ends_after_the_summary(self):
        """A file that may not grow past 5000 bytes: the collector ends at the
        write that fails, prints its summary and leaves whole blocks."""
        c = Collector(self, "-p", "0", "-u", "--exit-on-write-error",
                      fsize=5000)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for i in range(500):
                if c.proc.poll() is not None:
                    break
                s.sendto(record(i, frame=b"q" * 200), ("127.0.0.1", c.port))
                time.sleep(0.005)
        self.assertEqual(c.finish(), 1)
        self.assertIn("cvfcollect: cannot write capture file cap.pcapng: File too large; ending\n",
                      c.err())
        taken = c.summary()["records"]
        self.assertIn("total: records=%d " % taken, c.out())
        size = os.path.getsize(c.path())
        self.assertLessEqual(size, 5000)
        # every packet block is whole: 244 bytes each after the SHB and IDB
        kept = packet_count(c.path())
        self.assertLess(kept, taken)
        self.assertEqual(packets(c.path())[-1]["bytes"], b"q" * 200)
        self.assertGreater(kept, 10)


class SignalTest(unittest.TestCase):
    def test_usr1_prints_the_summary_hup_starts_a_new_file(self):
        # rotation naming: the next number at once
        c = Collector(self, "-p", "0", "-u", "-G", "3600")
        udp_send(c.port, [record(i) for i in range(3)])
        wait_for(lambda: has_packets(c.path("cap-00001.pcapng"), 3), "three packets")
        c.proc.send_signal(signal.SIGUSR1)
        wait_for(lambda: "total: records=3 " in c.out(), "the summary so far")
        c.proc.send_signal(signal.SIGHUP)
        wait_for(lambda: "cap-00002.pcapng" in c.files(), "the next file")
        udp_send(c.port, [record(i) for i in range(3, 5)])
        wait_for(lambda: has_packets(c.path("cap-00002.pcapng"), 2), "two packets")
        self.assertEqual(c.stop(), 0, c.err())
        self.assertEqual(c.out().count("total: "), 2)
        self.assertIn("total: records=5 ", c.out())
        self.assertEqual(packet_count(c.path("cap-00001.pcapng")), 3)

        # one file, moved away by a log rotation tool: a new one under the name
        c = Collector(self, "-p", "0", "-u")
        udp_send(c.port, [record(i) for i in range(3)])
        wait_for(lambda: has_packets(c.path(), 3), "three packets")
        os.rename(c.path(), c.path("cap.pcapng.1"))
        c.proc.send_signal(signal.SIGHUP)
        wait_for(lambda: os.path.exists(c.path()), "the new file")
        udp_send(c.port, [record(i) for i in range(3, 5)])
        wait_for(lambda: has_packets(c.path(), 2), "two packets")
        c.proc.send_signal(signal.SIGHUP)  # not moved: it goes on
        udp_send(c.port, [record(5)])
        wait_for(lambda: has_packets(c.path(), 3), "three packets")
        self.assertEqual(c.stop(), 0, c.err())
        self.assertEqual(packet_count(c.path("cap.pcapng.1")), 3)
        self.assertEqual(packet_count(c.path()), 3)

        # no capture: a notice with -v
        c = Collector(self, "-p", "0", "-u", "-v", capture=None)
        c.proc.send_signal(signal.SIGHUP)
        wait_for(lambda: "SIGHUP: no capture file to start anew" in c.err(), "the notice")
        self.assertEqual(c.stop(), 0, c.err())

    def test_signals_leave_every_record_readable(self):
        frames = [bytes([i % 256]) * (i % 40) for i in range(300)]
        for sig in (signal.SIGTERM, signal.SIGINT):
            c = Collector(self, "-p", "0", "-u")
            udp_send(c.port, [record(i, gw=2, line=9, frame=f) for i, f in enumerate(frames)])
            wait_for(lambda: has_packets(c.path(), len(frames)), "every record in the file")
            self.assertEqual(c.stop(sig), 0, c.err())
            self.assertEqual([p["bytes"] for p in packets(c.path())], frames)


if __name__ == "__main__":
    unittest.main()
