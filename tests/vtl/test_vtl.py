"""vtl, the command-line program, run as a user runs it: against a scripted unit on a
pty that checks every byte vtl sends and answers as told (or not at all, or late, or
by going away), against the unit simulator, and as a tap between two ptys.

    PYTHONPATH=tests python3 tests/vtl/test_vtl.py BUILD_DIR"""
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty
import unittest

from vtltest.peer import frame
from vtltest.vtl_e2e import Simulator

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build/native")
VTL = os.path.join(BUILD, "vtl")
SIM = os.path.join(BUILD, "vtl-unit-sim")

ACK, NAK = b"\n+\r", b"\n-\r"
READ, TX_ON, TX_OFF = b"\n~RAD\r", b"\n~TCD\r", b"\n~tCF\r"
DEFAULT_HEX = "3CBDBF1206000D"


def packet_digits(record_hex):
    """The record's 14 digits as the link carries them: each byte low nibble first."""
    return b"".join(bytes([ord(h[1]), ord(h[0])]) for h in
                    (record_hex[i:i + 2] for i in range(0, 14, 2)))


def write_frame(record_hex):
    return frame(b"~W" + packet_digits(record_hex))


def read_response(record_hex, firmware=b"31", dip=b"5"):
    return frame(b"~r" + firmware + b"1" + dip + packet_digits(record_hex))


def raw_pty():
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    return master, slave, os.ttyname(slave)


class ScriptedUnit:
    """The unit as a script: `steps` is a list of (expected bytes, answers) pairs; each
    answer is bytes to send, a number of seconds to wait first, or "close" to hang up
    the line. Every byte vtl sends is kept in `received`; a mismatch is an error."""

    def __init__(self, steps):
        self.master, slave, self.path = raw_pty()
        os.close(slave)  # vtl opens it by name; the pty stays while the master lives
        self.steps, self.received, self.errors = steps, b"", []
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def read_exactly(self, count, timeout=5.0):
        got, end = b"", time.monotonic() + timeout
        while len(got) < count and time.monotonic() < end:
            if select.select([self.master], [], [], 0.05)[0]:
                try:
                    chunk = os.read(self.master, count - len(got))
                except OSError:
                    continue  # nobody has the far end open yet
                got += chunk
        self.received += got
        return got

    def run(self):
        for expected, answers in self.steps:
            got = self.read_exactly(len(expected))
            if got != expected:
                self.errors.append("expected %r, got %r" % (expected, got))
                return
            for answer in answers:
                if answer == "close":
                    os.close(self.master)
                    self.master = None
                    return
                if isinstance(answer, (int, float)):
                    time.sleep(answer)
                else:
                    os.write(self.master, answer)

    def finish(self, test):
        self.thread.join(5)
        if self.master is not None:
            time.sleep(0.05)
            # Whatever vtl sent beyond the script is an error too.
            while select.select([self.master], [], [], 0)[0]:
                try:
                    extra = os.read(self.master, 4096)
                except OSError:
                    break
                if not extra:
                    break
                self.errors.append("unexpected %r" % extra)
            os.close(self.master)
        test.assertEqual(self.errors, [])


def vtl(*args, env_port=None, timeout=20):
    env = dict(os.environ)
    env.pop("VTL_PORT", None)
    if env_port:
        env["VTL_PORT"] = env_port
    return subprocess.run([VTL] + list(args), capture_output=True, text=True, timeout=timeout,
                          env=env)


class Lines:
    """A running program's output, line by line, read by a thread of its own."""

    def __init__(self, process):
        self.process, self.lines, self.lock = process, [], threading.Lock()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        for line in self.process.stdout:
            with self.lock:
                self.lines.append(line.rstrip("\n"))
        self.process.stdout.close()

    def wait_for(self, predicate, timeout=10.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            with self.lock:
                for line in self.lines:
                    if predicate(line):
                        return line
            time.sleep(0.01)
        raise AssertionError("no such line in %r" % self.lines[-20:])

    def all(self):
        with self.lock:
            return list(self.lines)


class ExactBytes(unittest.TestCase):
    """Every command's frames byte for byte, and the unit's answers that end each."""

    def run_against(self, args, steps):
        unit = ScriptedUnit(steps)
        result = vtl("--port", unit.path, "--timeout", "400", *args)
        unit.finish(self)
        return result

    def test_each_command_sends_exactly_its_frames(self):
        changed = "05BDBF0F06010A"  # io=5 preamble-ms=103 rx-equalisation=on baud=9600
        with tempfile.TemporaryDirectory() as folder:
            record_file = os.path.join(folder, "unit.vtl")
            with open(record_file, "wb") as f:
                f.write(bytes.fromhex(changed))
            cases = [
                (["read"], [(READ, [ACK, read_response(DEFAULT_HEX)]), (ACK, [])]),
                (["write", record_file], [(write_frame(changed), [ACK])]),
                (["default"], [(b"\n~WC3DBFB216000D000\r", [ACK])]),
                (["default", "--verify"],
                 [(write_frame(DEFAULT_HEX), [ACK]),
                  (READ, [ACK, read_response(DEFAULT_HEX)]), (ACK, [])]),
                (["set", "io=5", "preamble-ms=103", "rx-equalisation=on", "baud=9600"],
                 [(READ, [ACK, read_response(DEFAULT_HEX)]), (ACK, []),
                  (write_frame(changed), [ACK])]),
                (["tx", "on"], [(TX_ON, [ACK])]),
                (["tx", "off"], [(TX_OFF, [ACK])]),
            ]
            for args, steps in cases:
                with self.subTest(args=args[0:2]):
                    result = self.run_against(args, steps)
                    self.assertEqual(result.returncode, 0, result.stderr)

    def test_default_packet_is_the_documented_twenty_bytes(self):
        self.assertEqual(write_frame(DEFAULT_HEX), b"\n~WC3DBFB216000D000\r")

    def test_refusals_silence_and_late_answers_exit_1(self):
        late = [0.55]  # just past the 400 ms window
        cases = [
            ("read NAK", ["read"], [(READ, [NAK])], "Read command rejected"),
            ("read silence", ["read"], [(READ, [])], "no answer to the read request"),
            ("read late ACK", ["read"], [(READ, late + [ACK])], "no answer"),
            ("read ACK, no response", ["read"], [(READ, [ACK])], "sent no read response"),
            ("write NAK", ["default"], [(write_frame(DEFAULT_HEX), [NAK])],
             "Write command rejected"),
            ("write silence", ["default"], [(write_frame(DEFAULT_HEX), [])], "no answer"),
            ("write late ACK", ["default"], [(write_frame(DEFAULT_HEX), late + [ACK])],
             "no answer"),
            ("tx NAK", ["tx", "on"], [(TX_ON, [NAK])], "refused the Tx on request"),
            ("tx late ACK", ["tx", "off"], [(TX_OFF, late + [ACK])], "no answer"),
            ("wrong-size response", ["read"],
             [(READ, [ACK, frame(b"~r3105" + packet_digits(DEFAULT_HEX)[:-1])]), (ACK, [])],
             "read response of 23 bytes"),
        ]
        for name, args, steps, message in cases:
            with self.subTest(name):
                result = self.run_against(args, steps)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(result.stdout, "")

    def test_answer_inside_the_window_counts(self):
        result = self.run_against(["tx", "on"], [(TX_ON, [0.2, ACK])])
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_device_lost_mid_command_exits_3(self):
        for args, expected in [(["read"], READ), (["default"], write_frame(DEFAULT_HEX)),
                               (["tx", "on"], TX_ON)]:
            with self.subTest(args[0]):
                result = self.run_against(args, [(expected, ["close"])])
                self.assertEqual(result.returncode, 3, result.stderr)
                self.assertIn("was lost", result.stderr)

    def test_verify_names_each_differing_field_and_ignored_bits(self):
        # The unit keeps a different IO ID and sets bit 6 of the ADCs byte.
        steps = [(write_frame(DEFAULT_HEX), [ACK]),
                 (READ, [ACK, read_response("3DBDFF1206000D")]), (ACK, [])]
        unit = ScriptedUnit(steps)
        result = vtl("--port", unit.path, "--json", "default", "--verify")
        unit.finish(self)
        self.assertEqual(result.returncode, 1, result.stderr)
        report = json.loads(result.stdout)
        self.assertEqual(report["result"], "different")
        self.assertEqual(report["differences"], [
            "io: wrote 60, read 61",
            "byte 2 (ADCs ID): wrote BF, read FF, bits the unit ignores"])

    def test_nak_to_the_read_response_checksum(self):
        # A read response with a bad checksum is answered with NAK and not taken.
        bad = bytearray(read_response(DEFAULT_HEX))
        bad[-2] = ord("0") if bad[-2] != ord("0") else ord("1")
        result = self.run_against(["read"], [(READ, [ACK, bytes(bad)]), (NAK, [])])
        self.assertEqual(result.returncode, 1)
        self.assertIn("sent no read response", result.stderr)


class UsageErrors(unittest.TestCase):
    """Bad options and values: exit 2, naming what is wrong, with nothing sent."""

    def test_refused_before_anything_is_sent(self):
        unit = ScriptedUnit([])
        cases = [
            (["set", "io=64"], "bad value '64' for io"),
            (["set", "adcs=-1"], "for adcs"),
            (["set", "preamble-ms=1701"], "0 to 1700"),
            (["set", "postamble-ms=12ms"], "for postamble-ms"),
            (["set", "baud=1000"], "a rate of the baud table"),
            (["set", "protocol=48"], "32 or 64"),
            (["set", "split=yes"], "on or off"),
            (["set", "nrz=on", "colour=red"], "unknown field 'colour'"),
            (["set", "io"], "not FIELD=VALUE"),
            (["set"], "missing argument"),
            (["tx", "maybe"], "expected 'on' or 'off'"),
            (["--timeout", "0", "read"], "bad --timeout"),
            (["--timeout", "soon", "read"], "bad --timeout"),
            (["read", "--verify"], "--verify is not an option of read"),
            (["monitor", "--indications", "123"], "bad --indications"),
            (["read", "--bogus"], "unknown option '--bogus'"),
            (["read", "--save"], "needs a value"),
            (["frobnicate"], "unknown command 'frobnicate'"),
            (["read", "extra"], "unexpected argument 'extra'"),
            (["tap", "--tool", "pty"], "needs --tool and --unit"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = vtl("--port", unit.path, *args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(message, result.stderr)
        unit.finish(self)
        self.assertEqual(unit.received, b"")

    def test_no_command_and_no_port(self):
        self.assertEqual(vtl().returncode, 2)
        result = vtl("read")
        self.assertEqual(result.returncode, 2)
        self.assertIn("no port", result.stderr)

    def test_port_from_the_environment(self):
        unit = ScriptedUnit([(TX_ON, [ACK])])
        result = vtl("tx", "on", env_port=unit.path)
        unit.finish(self)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_bad_files(self):
        with tempfile.TemporaryDirectory() as folder:
            short = os.path.join(folder, "short.vtl")
            with open(short, "wb") as f:
                f.write(b"\x3c" * 6)
            for args, message in [
                    (["show", short], "Config file is wrong size: %s (it is 6 bytes; a .vtl file holds "
                                      "exactly 7 bytes)" % short),
                    (["show", os.path.join(folder, "none.vtl")], "Could not open config file"),
                    (["--port", "/dev/null", "write", short], "wrong size")]:
                with self.subTest(args=args):
                    result = vtl(*args)
                    self.assertEqual(result.returncode, 2)
                    self.assertIn(message, result.stderr)

    def test_port_that_cannot_be_opened_exits_3_with_the_reason(self):
        result = vtl("--port", "/dev/no-such-port", "read")
        self.assertEqual(result.returncode, 3)
        self.assertIn("No such file or directory", result.stderr)
        result = vtl("--port", "/dev/no-such-port", "--json", "tx", "on")
        self.assertEqual(json.loads(result.stdout)["exit"], 3)

    def test_help_documents_every_json_key(self):
        result = vtl("--help")
        self.assertEqual(result.returncode, 0)
        for key in ["record", "firmware", "dip_switches", "preamble_ms", "differences",
                    "frames_in", "checksum", "decoded", "tool_to_unit_bytes"]:
            self.assertIn(key, result.stdout)


class WithSimulator(unittest.TestCase):
    """The unit simulator as the far end: whole exchanges, the record kept between
    commands, files, JSON, monitor."""

    def setUp(self):
        self.sim = Simulator(program=SIM, com=None)
        self.port = self.sim.path

    def tearDown(self):
        self.sim.close()

    def test_set_verify_then_read_save_and_show(self):
        result = vtl("--port", self.port, "set", "zvl=12", "split=on", "protocol=32",
                     "postamble-ms=100", "--verify")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Verified", result.stdout)
        with tempfile.TemporaryDirectory() as folder:
            saved = os.path.join(folder, "unit.vtl")
            result = vtl("--port", self.port, "--json", "read", "--save", saved)
            self.assertEqual(result.returncode, 0, result.stderr)
            report = json.loads(result.stdout)
            self.assertEqual(report["record"], "3C4CBF120F100D")
            self.assertEqual((report["zvl"], report["split"], report["protocol"],
                              report["postamble_ms"]), (12, True, 32, 100))
            self.assertEqual(report["firmware"], "1.3")
            with open(saved, "rb") as f:
                self.assertEqual(f.read().hex().upper(), "3C4CBF120F100D")
            shown = json.loads(vtl("--json", "show", saved).stdout)
            self.assertEqual({k: v for k, v in shown.items() if k not in ("command", "file")},
                             {k: v for k, v in report.items()
                              if k not in ("command", "status", "firmware", "dip_switches",
                                           "saved")})
            result = vtl("--port", self.port, "write", saved, "--verify")
            self.assertEqual(result.returncode, 0, result.stderr)

    def test_failed_save_leaves_what_was_there(self):
        with tempfile.TemporaryDirectory() as folder:
            target = os.path.join(folder, "is-a-folder")
            os.mkdir(target)
            open(os.path.join(target, "kept"), "w").close()
            result = vtl("--port", self.port, "read", "--save", target)
            self.assertEqual(result.returncode, 2)
            self.assertIn("Failed to create/open config file", result.stderr)
            self.assertIn("Record:", result.stdout)  # what was read is still shown
            report = vtl("--port", self.port, "--json", "read", "--save", target)
            self.assertEqual(report.returncode, 2)
            report = json.loads(report.stdout)  # one object: the record and the failure
            self.assertEqual((report["result"], report["record"], report["exit"]),
                             ("bad file", DEFAULT_HEX, 2))
            self.assertEqual(os.listdir(target), ["kept"])
            self.assertEqual(sorted(os.listdir(folder)), ["is-a-folder"])

    def test_tx_and_default_json(self):
        for args, key, value in [(["tx", "off"], "state", "off"), (["tx", "on"], "state", "on"),
                                 (["default", "--verify"], "verified", True)]:
            result = vtl("--port", self.port, "--json", *args)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(json.loads(result.stdout)[key], value)
        self.assertIn("tx \"\\n+\\r\" ACK", "\n".join(self.sim.log()))


class Monitor(unittest.TestCase):
    def test_answers_polls_with_the_indications_and_counts_at_the_end(self):
        sim = Simulator("--controls-period", "50", "--poll-period", "120", "--controls-width", "64",
                        program=SIM, com=None)
        port = sim.path
        with tempfile.TemporaryDirectory() as folder:
            log = os.path.join(folder, "monitor.log")
            mon = subprocess.Popen([VTL, "--port", port, "--json", "monitor", "--respond",
                                    "--indications", "0102000000000080", "--log", log],
                                   stdout=subprocess.PIPE, text=True)
            lines = Lines(mon)
            lines.wait_for(lambda l: '"kind":"poll' in l and '"dir":"rx"' in l)
            lines.wait_for(lambda l: '"event":"controls","width":64' in l)
            answer = lines.wait_for(lambda l: '"kind":"indications"' in l and '"dir":"tx"' in l)
            self.assertEqual(json.loads(answer)["frame"], frame(b"I004" + b"10200000000000" +
                                                                 b"08:").decode())
            mon.send_signal(signal.SIGTERM)
            self.assertEqual(mon.wait(10), 0)
            lines.thread.join(5)
            objects = [json.loads(l) for l in lines.all()]
            end = objects[-1]
            self.assertEqual(end["event"], "end")
            frames = [o for o in objects if o["event"] == "frame"]
            self.assertEqual(end["frames_in"], sum(o["dir"] == "rx" for o in frames))
            self.assertEqual(end["frames_out"], sum(o["dir"] == "tx" for o in frames))
            # Every controls frame got its ACK, right after it.
            for i, o in enumerate(frames):
                if o["dir"] == "rx" and o["kind"] == "controls":
                    self.assertEqual(frames[i + 1]["frame"], "\n+\r")
            with open(log) as f:
                self.assertEqual(f.read().splitlines(), lines.all())
            for o in objects:
                self.assertRegex(o["time"], r"^\d\d:\d\d:\d\d\.\d\d\d$")
        sim.close()
        self.assertIn("indications 10000000 01000000", "\n".join(sim.log()))

    def test_reopens_a_device_that_went_away_and_came_back(self):
        with tempfile.TemporaryDirectory() as folder:
            link = os.path.join(folder, "ttyUnit")
            master, slave, path = raw_pty()
            os.close(slave)
            os.symlink(path, link)
            mon = subprocess.Popen([VTL, "--port", link, "monitor"], stdout=subprocess.PIPE,
                                   text=True)
            lines = Lines(mon)
            lines.wait_for(lambda l: "opened" in l)
            os.write(master, frame(b"C00210000000"))
            lines.wait_for(lambda l: "controls 10000000" in l)
            os.close(master)
            lines.wait_for(lambda l: "lost" in l)
            master2, slave2, path2 = raw_pty()
            os.close(slave2)
            os.remove(link)
            os.symlink(path2, link)
            lines.wait_for(lambda l: "opened again" in l)
            os.write(master2, frame(b"C00220000000"))
            lines.wait_for(lambda l: "controls 01000000" in l)
            mon.send_signal(signal.SIGINT)
            self.assertEqual(mon.wait(10), 0)
            lines.thread.join(5)
            self.assertIn("frames in: 2, frames out: 0", lines.all()[-1])
            os.close(master2)


class Tap(unittest.TestCase):
    def test_flood_both_ways_arrives_whole_and_in_order(self):
        unit_master, unit_slave, unit_path = raw_pty()
        os.close(unit_slave)
        tap = subprocess.Popen([VTL, "--json", "tap", "--tool", "pty", "--unit", unit_path],
                               stdout=subprocess.PIPE, text=True)
        lines = Lines(tap)
        tool_path = json.loads(lines.wait_for(lambda l: '"event":"pty"' in l))["path"]
        lines.wait_for(lambda l: '"event":"tapping"' in l)
        tool = os.open(tool_path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(tool)
        count = 400
        to_unit = b"".join(frame(b"I002%08X:" % i) for i in range(count))
        to_tool = b"".join(frame(b"C002%08X" % i) for i in range(count))
        received = {tool: b"", unit_master: b""}
        pending = {tool: to_unit, unit_master: to_tool}
        end = time.monotonic() + 20
        while time.monotonic() < end and (len(received[tool]) < len(to_tool) or
                                          len(received[unit_master]) < len(to_unit)):
            writers = [fd for fd in pending if pending[fd]]
            readable, writable, _ = select.select([tool, unit_master], writers, [], 0.1)
            for fd in writable:
                n = os.write(fd, pending[fd][:256])
                pending[fd] = pending[fd][n:]
            for fd in readable:
                received[fd] += os.read(fd, 4096)
        self.assertEqual(received[unit_master], to_unit)
        self.assertEqual(received[tool], to_tool)
        tap.send_signal(signal.SIGTERM)
        self.assertEqual(tap.wait(10), 0)
        lines.thread.join(5)
        objects = [json.loads(l) for l in lines.all()]
        frames = [o for o in objects if o["event"] == "frame"]
        self.assertEqual([o["frame"] for o in frames if o["dir"] == "tool>unit"],
                         [frame(b"I002%08X:" % i).decode() for i in range(count)])
        self.assertEqual(len([o for o in frames if o["dir"] == "unit>tool"]), count)
        self.assertTrue(all(o["checksum"] == "ok" for o in frames))
        end_line = objects[-1]
        self.assertEqual((end_line["tool_to_unit_bytes"], end_line["unit_to_tool_bytes"],
                          end_line["tool_to_unit_unsent"]), (len(to_unit), len(to_tool), 0))
        os.close(tool)
        os.close(unit_master)

    def test_describes_the_configuration_exchange(self):
        sim = Simulator(program=SIM, com=None)
        unit_port = sim.path
        tap = subprocess.Popen([VTL, "tap", "--tool", "pty", "--unit", unit_port],
                               stdout=subprocess.PIPE, text=True)
        lines = Lines(tap)
        tool_path = lines.wait_for(lambda l: "the tool's end is" in l).split()[-1]
        result = vtl("--port", tool_path, "read")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines.wait_for(lambda l: 'tool>unit "\\n~RAD\\r" read request' in l)
        response = lines.wait_for(lambda l: "unit>tool" in l and "read response" in l)
        self.assertIn("Read complete (F/W v1.3)", response)
        self.assertIn("record 3C BD BF 12 06 00 0D: io=60 zvl=off", response)
        tap.send_signal(signal.SIGTERM)
        tap.wait(10)
        sim.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
