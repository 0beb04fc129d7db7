"""The protocol traffic models judged by Wireshark: each model played by
cvsim into a simulated port, forwarded by cvfmonUdp and written by
cvfcollect with the matching link type decodes in tshark without a
malformed frame or an expert warning or error, and the exchanges that
tshark's fields show follow their protocols: alignment and sequence
numbers of MTP2, ISUP calls from IAM to RLC; LAPD's N(S)/N(R) and Q.931
calls from SETUP to RELEASE COMPLETE; Q.933 link integrity polls each
answered, IP and UDP checksums right."""
import os
import shutil
import subprocess
import sys
import unittest
from collections import namedtuple

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fmon"))
from fmon_harness import MonitorTestCase, TIMEOUT  # noqa: E402

TSHARK = shutil.which("tshark")
TX = "0x00000002"

# A model, how the collector writes it, and what is played.
Case = namedtuple("Case", "linktype count play scenario")
CASES = {
    "mtp2": Case("mtp2", 600, ["--traffic", "mtp2", "--fisu-ratio", "1.5", "--seed", "11"], None),
    "lapd": Case("lapd", 500, ["--traffic", "lapd", "--seed", "12"], None),
    "frelay": Case("frelay", 400, ["--traffic", "frelay", "--seed", "13"], None),
    "scenario": Case("lapd", 150, [], "# a model named by the scenario\n"
                     "traffic lapd count=150 seq=4294967200 seed=14\n"),
}

# Protocol values as the standards give them.
IAM, ACM, ANM, REL, RLC = 1, 6, 9, 12, 16
LSSU_ORDER = {3: 0, 0: 1, 1: 2, 2: 2}  # out of service, out of alignment, normal/emergency
Q931_CALL = [0x05, 0x02, 0x01, 0x07, 0x0f, 0x45, 0x4d, 0x5a]  # SETUP .. RELEASE COMPLETE
SABME, UA = 0x6f, 0x63  # control fields, P/F bit aside
ENQUIRY, STATUS = 0x75, 0x7d


class ProtocolModels(MonitorTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not TSHARK:
            raise unittest.SkipTest("tshark is not installed (scripts/deps.sh)")

    def capture(self, case):
        """Plays the case through the monitor into a capture; returns its path."""
        path = os.path.join(self.tmp, "line.pcapng")
        col = self.collector(count=case.count, extra=["-w", path, "-y", case.linktype])
        mon = self.monitor("sync0", "127.0.0.1", 5000, 1)
        self.wait_monitoring(mon)
        scenario = None
        if case.scenario:
            scenario = os.path.join(self.tmp, "models.scn")
            with open(scenario, "w") as f:
                f.write(case.scenario)
        extra = ["--rate", "2000"] + case.play + (["--scenario", scenario] if scenario
                                                  else ["--count", str(case.count)])
        self.play(extra=extra)
        col.finished()
        self.stop_monitor(mon)
        return path

    def tshark(self, path, *args):
        r = subprocess.run([TSHARK, "-n", "-r", path] + list(args), capture_output=True,
                           text=True, timeout=TIMEOUT, stdin=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout

    def fields(self, path, *names, opts=()):
        """One dict per frame: each field as tshark prints it ('' when absent)."""
        argv = list(opts) + ["-T", "fields", "-E", "separator=/t"]
        for n in names:
            argv += ["-e", n]
        out = self.tshark(path, *argv)
        return [dict(zip(names, line.split("\t"))) for line in out.splitlines()]

    def judged(self, name):
        """The capture of a case, after the checks every model passes."""
        case = CASES[name]
        path = self.capture(case)
        expert = self.tshark(path, "-q", "-z", "expert")
        self.assertNotIn("Errors (", expert)
        self.assertNotIn("Warns (", expert)
        self.assertEqual(self.tshark(path, "-Y", "_ws.malformed"), "")
        frames = self.fields(path, "frame.protocols")
        self.assertEqual(len(frames), case.count)
        link = {"mtp2": "mtp2", "lapd": "lapd", "frelay": "fr"}[case.linktype]
        for i, f in enumerate(frames):
            self.assertIn(link, f["frame.protocols"].split(":"), "frame %d" % (i + 1))
        return path

    def assertCallsComplete(self, events, script):
        """events: (call id, message, sent Tx) in order. Every call goes
        through the script, caller and callee each sending theirs; some
        overlap; none is left open."""
        open_calls, overlapped, done = {}, False, 0
        for ref, msg, tx in events:
            call = open_calls.setdefault(ref, [])
            if not call:
                self.assertEqual(msg, script[0], "call %s starts with %#x" % (ref, msg))
            call.append((msg, tx))
            overlapped = overlapped or len(open_calls) > 1
            if len(call) == len(script):
                self.assertEqual([m for m, _ in call], script, "call %s" % ref)
                done += 1
                del open_calls[ref]
        self.assertEqual(open_calls, {}, "calls left open")
        self.assertGreater(done, 5)
        self.assertTrue(overlapped, "no two calls at once")

    def test_mtp2_link_with_isup_calls(self):
        path = self.judged("mtp2")
        units = self.fields(path, "frame.packet_flags_direction", "mtp2.bsn", "mtp2.bib",
                            "mtp2.fsn", "mtp2.fib", "mtp2.li", "mtp2.sf", "mtp3.opc", "mtp3.dpc",
                            "isup.message_type", "isup.cic")
        # Alignment: link status units only, in the order of the procedure,
        # from both sides; none after.
        aligned = 0
        while units[aligned]["mtp2.sf"]:
            aligned += 1
        statuses = [LSSU_ORDER[int(u["mtp2.sf"])] for u in units[:aligned]]
        self.assertEqual(statuses, sorted(statuses))
        self.assertEqual(statuses[-1], 2, "aligned")
        self.assertEqual({u["frame.packet_flags_direction"] for u in units[:aligned]}, {TX, "0x00000001"})
        self.assertFalse(any(u["mtp2.sf"] for u in units[aligned:]))
        # Per side: FSN steps by one on each message unit, stays otherwise;
        # BSN and BIB repeat the other side's last FSN and FIB.
        last = {True: (127, 1), False: (127, 1)}
        msus = fisus = 0
        pcs = {}
        events = []
        for u in units:
            tx = u["frame.packet_flags_direction"] == TX
            fsn, fib = last[tx]
            msu = int(u["mtp2.li"]) > 2
            want = (fsn + 1) % 128 if msu else fsn
            self.assertEqual((int(u["mtp2.fsn"]), int(u["mtp2.fib"])), (want, fib), u)
            self.assertEqual((int(u["mtp2.bsn"]), int(u["mtp2.bib"])), last[not tx], u)
            last[tx] = (want, fib)
            if msu:
                msus += 1
                pcs.setdefault(tx, (u["mtp3.opc"], u["mtp3.dpc"]))
                self.assertEqual(pcs[tx], (u["mtp3.opc"], u["mtp3.dpc"]), "point codes by side")
                events.append((u["isup.cic"], int(u["isup.message_type"]), tx))
            elif int(u["mtp2.li"]) == 0:
                fisus += 1
        self.assertEqual(pcs[True], pcs[False][::-1])
        self.assertTrue(1.0 < fisus / msus < 2.2, "%d FISUs to %d MSUs" % (fisus, msus))
        self.assertCallsComplete(events, [IAM, ACM, ANM, REL, RLC])
        # Backward messages travel the other way; RLC answers REL.
        calls = {}
        for cic, msg, tx in events:
            calls.setdefault(cic, []).append(tx)
            if len(calls[cic]) == 5:
                iam, acm, anm, rel, rlc = calls.pop(cic)
                self.assertEqual((acm, anm), (not iam, not iam), "CIC %s" % cic)
                self.assertEqual(rlc, not rel, "CIC %s" % cic)

    def check_lapd(self, name):
        path = self.judged(name)
        frames = self.fields(path, "frame.packet_flags_direction", "lapd.sapi", "lapd.tei",
                             "lapd.control", "lapd.control.ftype", "lapd.control.n_s",
                             "lapd.control.n_r",
                             "q931.message_type", "q931.call_ref", "q931.call_ref_flag")
        self.assertEqual({(f["lapd.sapi"], f["lapd.tei"]) for f in frames}, {("0", "0")})
        self.assertEqual([(f["frame.packet_flags_direction"], int(f["lapd.control"], 0) & ~0x10)
                          for f in frames[:2]], [(TX, SABME), ("0x00000001", UA)])
        # Per side: N(S) counts its I frames; each I frame is acknowledged
        # by the other side's next frame.
        sent = {True: 0, False: 0}
        events, owed = [], None
        for i, f in enumerate(frames[2:], 3):
            tx = f["frame.packet_flags_direction"] == TX
            if owed is not None:
                self.assertEqual(tx, owed, "frame %d acknowledges" % i)
            if f["lapd.control.n_r"]:
                self.assertEqual(int(f["lapd.control.n_r"]), sent[not tx] % 128, "frame %d N(R)" % i)
            owed = None
            if int(f["lapd.control.ftype"], 0) == 0:
                self.assertEqual(int(f["lapd.control.n_s"]), sent[tx] % 128, "frame %d N(S)" % i)
                sent[tx] += 1
                owed = not tx
                events.append((f["q931.call_ref"], int(f["q931.message_type"], 0),
                               (tx, f["q931.call_ref_flag"])))
        self.assertIsNone(owed, "the last I frame is acknowledged")
        self.assertCallsComplete([(ref, msg, tx) for ref, msg, tx in events], Q931_CALL)
        # The call reference flag tells the side that set the call up from the other.
        origin = {}
        for ref, msg, (tx, flag) in events:
            if msg == Q931_CALL[0]:
                origin[ref] = tx
            self.assertEqual(flag, "0" if tx == origin[ref] else "1", "call %s" % ref)

    def test_lapd_d_channel_with_q931_calls(self):
        self.check_lapd("lapd")

    def test_scenario_names_a_model(self):
        self.check_lapd("scenario")

    def test_frame_relay_link_integrity_and_ip(self):
        path = self.judged("frelay")
        frames = self.fields(path, "frame.packet_flags_direction", "fr.dlci", "q933.message_type",
                             "q933.report_type", "q933.link_verification.txseq",
                             "q933.link_verification.rxseq", "q933.dlci", "ip.src", "ip.dst",
                             "udp.srcport", "udp.dstport", "ip.checksum.status",
                             "udp.checksum.status",
                             opts=["-o", "ip.check_checksum:TRUE", "-o", "udp.check_checksum:TRUE"])
        data_dlcis = {f["fr.dlci"] for f in frames if f["fr.dlci"] != "0"}
        self.assertGreaterEqual(len(data_dlcis), 2)
        polls = 0
        last_status_seq = "0"
        for i, f in enumerate(frames):
            if f["fr.dlci"] == "0":
                if int(f["q933.message_type"], 0) != ENQUIRY:
                    continue
                polls += 1
                answer = frames[i + 1]
                self.assertEqual((f["frame.packet_flags_direction"], answer["fr.dlci"],
                                  int(answer["q933.message_type"], 0)), (TX, "0", STATUS))
                self.assertEqual(f["q933.link_verification.rxseq"], last_status_seq)
                self.assertEqual(answer["q933.link_verification.rxseq"],
                                 f["q933.link_verification.txseq"])
                self.assertEqual(answer["q933.report_type"], f["q933.report_type"])
                if f["q933.report_type"] == "0":  # full status: every data DLCI
                    self.assertEqual(set(answer["q933.dlci"].split(",")), data_dlcis)
                last_status_seq = answer["q933.link_verification.txseq"]
                continue
            self.assertEqual((f["ip.checksum.status"], f["udp.checksum.status"]), ("1", "1"), f)
            if f["udp.dstport"] == "7":  # an echo request: answered at once
                answer = frames[i + 1]
                self.assertEqual((answer["ip.src"], answer["ip.dst"], answer["udp.srcport"],
                                  answer["udp.dstport"], answer["fr.dlci"]),
                                 (f["ip.dst"], f["ip.src"], "7", f["udp.srcport"], f["fr.dlci"]))
        self.assertGreater(polls, 20)


if __name__ == "__main__":
    unittest.main()
