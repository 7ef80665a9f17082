"""vtl, the command-line program, run as a user runs it: against a scripted unit on a
pty that checks every byte vtl sends and answers as told (or not at all, or late, or
by going away), against the unit simulator, and as a tap between two ptys.

    PYTHONPATH=tests python3 tests/vtl/test_vtl.py BUILD_DIR"""
import json
import os
import re
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
import xml.etree.ElementTree as ElementTree

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


def ended_with(test, process):
    """Kills `process` when the test ends, passed or failed, unless it has ended."""
    def end():
        if process.poll() is None:
            process.kill()
            process.wait()
    test.addCleanup(end)
    return process


def closing(test, fd):
    """A function that closes `fd`, once: the test may call it, and its end does."""
    still_open = [True]

    def close():
        if still_open[0]:
            still_open[0] = False
            os.close(fd)
    test.addCleanup(close)
    return close


class ScriptedUnit:
    """The unit as a script: `steps` is a list of (expected bytes, answers) pairs; each
    answer is bytes to send, a number of seconds to wait first, a function to call (to
    wait for vtl to get somewhere), or "close" to hang up the line. Every byte vtl sends is kept in `received`; a mismatch is an error."""

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
                if callable(answer):
                    answer()
                elif isinstance(answer, (int, float)):
                    time.sleep(answer)
                else:
                    os.write(self.master, answer)

    def close(self):
        """Hangs up, if the script or finish has not; for a test that ended early. The
        script ends first (each of its reads gives up within 5 s)."""
        self.thread.join(10)
        if self.master is not None:
            os.close(self.master)
            self.master = None

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
            self.close()
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
        self.addCleanup(unit.close)
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
        self.addCleanup(unit.close)
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
        self.addCleanup(unit.close)
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
        self.addCleanup(unit.close)
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
        self.addCleanup(self.sim.close)
        self.port = self.sim.path

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
        self.addCleanup(sim.close)
        port = sim.path
        with tempfile.TemporaryDirectory() as folder:
            log = os.path.join(folder, "monitor.log")
            mon = ended_with(self, subprocess.Popen(
                [VTL, "--port", port, "--json", "monitor", "--respond",
                 "--indications", "0102000000000080", "--log", log],
                stdout=subprocess.PIPE, text=True))
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
            # Every controls frame got its ACK, right after it: also those the unit sent
            # before the port was opened, read at once as the port opens.
            for i, o in enumerate(frames):
                if o["dir"] == "rx" and o["kind"] == "controls":
                    self.assertEqual([f["frame"] for f in frames[i + 1:i + 2]], ["\n+\r"],
                                     "controls frame %d of %d" % (i, len(frames)))
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
            close_master = closing(self, master)
            os.close(slave)
            os.symlink(path, link)
            mon = ended_with(self, subprocess.Popen([VTL, "--port", link, "monitor"],
                                                    stdout=subprocess.PIPE, text=True))
            lines = Lines(mon)
            lines.wait_for(lambda l: "opened" in l)
            os.write(master, frame(b"C00210000000"))
            lines.wait_for(lambda l: "controls 10000000" in l)
            close_master()
            lines.wait_for(lambda l: "lost" in l)
            master2, slave2, path2 = raw_pty()
            closing(self, master2)
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


class Tap(unittest.TestCase):
    def test_flood_both_ways_arrives_whole_and_in_order(self):
        unit_master, unit_slave, unit_path = raw_pty()
        closing(self, unit_master)
        os.close(unit_slave)
        tap = ended_with(self, subprocess.Popen(
            [VTL, "--json", "tap", "--tool", "pty", "--unit", unit_path],
            stdout=subprocess.PIPE, text=True))
        lines = Lines(tap)
        tool_path = json.loads(lines.wait_for(lambda l: '"event":"pty"' in l))["path"]
        lines.wait_for(lambda l: '"event":"tapping"' in l)
        tool = os.open(tool_path, os.O_RDWR | os.O_NOCTTY)
        closing(self, tool)
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

    def test_describes_the_configuration_exchange(self):
        sim = Simulator(program=SIM, com=None)
        self.addCleanup(sim.close)
        unit_port = sim.path
        tap = ended_with(self, subprocess.Popen([VTL, "tap", "--tool", "pty", "--unit", unit_port],
                                                stdout=subprocess.PIPE, text=True))
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


EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
CONTROLS_1_ON = frame(b"C002" + b"10000000")  # 32 controls, control 1 on
POLL = frame(b"R")


def run_plan(plan_text, *args, folder=None):
    """Writes the plan to a file (in `folder`, or a new one) and runs `vtl test` on it."""
    folder = folder or tempfile.mkdtemp()
    plan = os.path.join(folder, "plan.toml")
    with open(plan, "w") as f:
        f.write(plan_text)
    return vtl("test", plan, *args, timeout=60), plan


def start_plan(test, plan_text, folder, *args):
    """`vtl test` started on a plan, its output read line by line; ended when the test
    ends, passed or failed."""
    plan = os.path.join(folder, "plan.toml")
    with open(plan, "w") as f:
        f.write(plan_text)
    process = subprocess.Popen([VTL, "test", plan] + list(args), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    test.addCleanup(end_process, process)
    return process, Lines(process)


def end_process(process):
    if process.poll() is None:
        process.kill()
        process.wait()
    process.stderr.close()


def two_units_plan(test, plan_text, then):
    """The plan against two simulators, a JUnit report asked for; `then(process, lines,
    sims)` once both passed their first step (a read). Returns the report's testsuites
    by port, the simulators and the output lines; the folder holds nothing else."""
    sims = [Simulator(program=SIM, com=None) for _ in range(2)]
    folder = tempfile.mkdtemp()
    report = os.path.join(folder, "report.xml")
    try:
        process, lines = start_plan(test, plan_text, folder, "--port", sims[0].path,
                                    "--port", sims[1].path, "--junit", report)
        for sim in sims:
            lines.wait_for(lambda l, p=sim.path: l.startswith("PASS  " + p + "  1 read"))
        then(process, sims)
    finally:
        for sim in sims:
            sim.close()
    lines.thread.join(5)
    # The report whole, its temporary file gone.
    test.assertEqual(sorted(os.listdir(folder)), ["plan.toml", "report.xml"])
    return {s.get("name"): s for s in junit(report).findall("testsuite")}, sims, lines.all()


def junit(path):
    """The JUnit file parsed, checked for what every CI server relies on: counts that
    add up, one testcase per step, names unique across units."""
    root = ElementTree.parse(path).getroot()
    assert root.tag == "testsuites", root.tag
    seen, totals = set(), {"tests": 0, "failures": 0, "errors": 0, "skipped": 0}
    for suite in root.findall("testsuite"):
        cases = suite.findall("testcase")
        counts = {"tests": len(cases),
                  "failures": sum(1 for c in cases if c.find("failure") is not None),
                  "errors": sum(1 for c in cases if c.find("error") is not None),
                  "skipped": sum(1 for c in cases if c.find("skipped") is not None)}
        for key, value in counts.items():
            assert int(suite.get(key)) == value, (suite.get("name"), key, suite.get(key), value)
            totals[key] += value
        for case in cases:
            name = (case.get("classname"), case.get("name"))
            assert name not in seen, name
            seen.add(name)
    for key, value in totals.items():
        assert int(root.get(key)) == value, (key, root.get(key), value)
    return root


def steps_of(suite):
    """Each testcase of a suite as (name, outcome, message)."""
    out = []
    for case in suite.findall("testcase"):
        found = [e for e in case if e.tag in ("failure", "error", "skipped")]
        out.append((case.get("name"), found[0].tag if found else "pass",
                    found[0].get("message") if found else ""))
    return out


class TestPlans(unittest.TestCase):
    """`vtl test`: each step kind byte for byte against a scripted unit, whole plans
    against simulators, faults, a unit lost mid-plan, Ctrl-C, and the JUnit report."""

    def test_each_step_kind_sends_exactly_its_frames(self):
        site = "0C14BF0F06000A"
        folder = tempfile.mkdtemp()
        with open(os.path.join(folder, "site.vtl"), "wb") as f:
            f.write(bytes.fromhex(site))
        plan = """
timeout_ms = 400
[[step]]
read = true
firmware = "1.3"
dip_switches = "1 off, 2 on, 3 on, 4 -, VF, v.23"
record = "3CBDBF1206000D"
fields = { io = 60, baud = 1200 }
[[step]]
write = "site.vtl"
verify = true
[[step]]
write = { io = 5 }
[[step]]
default = true
[[step]]
tx = "on"
[[step]]
indications = "01000080"
[[step]]
expect_controls = "1xxxxxxx xxxxxxxx xxxxxxxx xxxxxxxx"
[[step]]
expect_poll = true
[[step]]
tx = "off"
"""
        process = None
        lines = None

        def reached(step_name):
            return lambda: lines.wait_for(lambda l: l.startswith("PASS") and step_name in l)

        answer = frame(b"I002" + b"10000008:")
        unit = ScriptedUnit([
            (READ, [ACK, read_response(DEFAULT_HEX, dip=b"1")]), (ACK, []),
            (write_frame(site), [ACK]), (READ, [ACK, read_response(site)]), (ACK, []),
            (READ, [ACK, read_response(site)]), (ACK, []),
            (write_frame("0514BF0F06000A"), [ACK]),
            (write_frame(DEFAULT_HEX), [ACK]),
            (TX_ON, [ACK]),
            (b"", [reached("indications"), CONTROLS_1_ON]), (ACK, []),
            (b"", [reached("expect controls"), POLL]), (answer, [ACK]),
            (TX_OFF, [ACK]),
        ])
        process, lines = start_plan(self, plan, folder, "--port", unit.path, "--junit",
                                    os.path.join(folder, "report.xml"))
        self.assertEqual(process.wait(30), 0, "\n".join(lines.all()) + process.stderr.read())
        unit.finish(self)
        lines.thread.join(5)
        out = lines.all()
        self.assertEqual([l.split("  ")[0] for l in out[:9]], ["PASS"] * 9, out)
        self.assertEqual(out[-1], "1 unit: 1 passed, 0 failed")
        root = junit(os.path.join(folder, "report.xml"))
        suite = root.find("testsuite")
        properties = {p.get("name"): p.get("value") for p in suite.find("properties")}
        # The record of the last read: the one that took io=5 from the site's.
        self.assertEqual((properties["firmware"], properties["record"]), ("1.3", site))

    def test_failed_checks_name_what_was_found(self):
        cases = [
            ('read = true\nfirmware = "1.4"', [(READ, [ACK, read_response(DEFAULT_HEX)]), (ACK, [])],
             "firmware 1.3, expected 1.4"),
            ('read = true\nfirmware_min = "1.4"', [(READ, [ACK, read_response(DEFAULT_HEX)]), (ACK, [])],
             "firmware 1.3, expected 1.4 or later"),
            ('read = true\nfields = { io = 12, preamble-ms = 103 }',
             [(READ, [ACK, read_response(DEFAULT_HEX)]), (ACK, [])], "io is 60, expected 12"),
            ('read = true\nrecord = "3CBDBF1206000E"', [(READ, [ACK, read_response(DEFAULT_HEX)]), (ACK, [])],
             "record 3CBDBF1206000D, expected 3CBDBF1206000E"),
            ('read = true', [(READ, [NAK])], "Read command rejected"),
            ('read = true', [(READ, [ACK])], "acknowledged the read request but sent no read response"),
            ('default = true', [(write_frame(DEFAULT_HEX), [NAK])], "Write command rejected"),
            ('default = true\nverify = true',
             [(write_frame(DEFAULT_HEX), [ACK]), (READ, [ACK, read_response("3DBDBF1206000D")]), (ACK, [])],
             "verify found differences: io: wrote 60, read 61"),
            ('tx = "on"', [(TX_ON, [])], "no answer to the Tx on request within the 400 ms window"),
            ('tx = "on"', [(TX_ON, [NAK])], "the unit refused the Tx on request (NAK)"),
            ('tx = "on"\nmax_answer_ms = 100\ntimeout_ms = 5000', [(TX_ON, [0.25, ACK])],
             "more than the 100 ms allowed"),
            ('expect_controls = "0xxxxxxx xxxxxxxx xxxxxxxx xxxxxxxx"\nwithin_ms = 300',
             [(b"", [CONTROLS_1_ON]), (ACK, [])],
             "no controls frame matched within 300 ms; the last was 10000000 00000000 00000000 00000000"),
            ('expect_poll = true\nwithin_ms = 300', [], "no poll answered and acknowledged within 300 ms"),
        ]
        for step, script, reason in cases:
            with self.subTest(step=step):
                unit = ScriptedUnit(script)
                result, _ = run_plan("timeout_ms = 400\n[[step]]\n%s\n[[step]]\nwait_ms = 0\n" % step,
                                     "--port", unit.path, "--json")
                unit.finish(self)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                objects = [json.loads(l) for l in result.stdout.splitlines()]
                self.assertEqual([o.get("result") for o in objects[:2]], ["FAIL", "SKIP"])
                self.assertIn(reason, objects[0]["reason"])
                self.assertEqual(objects[1]["reason"], "an earlier step failed")
                self.assertEqual(objects[-1], {"event": "end", "units": 1, "passed": 0,
                                               "failed": 1, "exit": 1})

    def test_plan_errors_exit_2_before_any_port_is_touched(self):
        unit = ScriptedUnit([])
        for plan, message in [("[[step]]\ntx = \"up\"\n", "plan.toml:2:6: step 1, key 'tx'"),
                              ("[[step]]\nwrite = \"none.vtl\"\n", "plan.toml:2:9: step 1, key 'write'"),
                              ("[[step\n", "plan.toml:1:")]:
            with self.subTest(plan=plan):
                result, _ = run_plan(plan, "--port", unit.path)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(message, result.stderr)
        result, _ = run_plan("[[step]]\nread = true\n", "--check")
        self.assertEqual((result.returncode, result.stdout.splitlines()[-1]), (0, "  1 read"))
        result, _ = run_plan("[[step]]\nread = true\n")
        self.assertEqual(result.returncode, 2)
        self.assertIn("no port", result.stderr)
        unit.finish(self)
        self.assertEqual(unit.received, b"")

    def test_no_port_opened_exits_3_with_an_error_per_unit(self):
        folder = tempfile.mkdtemp()
        report = os.path.join(folder, "report.xml")
        result, _ = run_plan("[[step]]\nread = true\n[[step]]\ntx = \"on\"\n", "--port",
                             "/dev/no-such-port", "--junit", report, folder=folder)
        self.assertEqual(result.returncode, 3, result.stdout)
        suite = junit(report).find("testsuite")
        self.assertEqual(steps_of(suite), [
            ("1 read", "error", "cannot open /dev/no-such-port: " + result.stdout.split(": ", 1)[1].split("\n")[0].split("  ")[0]),
            ("2 tx on", "skipped", "the port could not be opened")])
        self.assertIn("No such file or directory", steps_of(suite)[0][2])

    def test_production_example_against_simulators_side_by_side(self):
        sims = [Simulator("--controls-period", "200", "--poll-period", "500", "--controls-pattern",
                          "fixed:0100000000000000", *extra, program=SIM, com=None)
                for extra in ([], [], ["--firmware", "1.1"])]
        try:
            folder = tempfile.mkdtemp()
            report = os.path.join(folder, "report.xml")
            args = [a for sim in sims for a in ("--port", sim.path)]
            result = vtl("test", os.path.join(EXAMPLES, "production.toml"), "--junit", report,
                         "--json", *args, timeout=60)
        finally:
            for sim in sims:
                sim.close()
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        objects = [json.loads(l) for l in result.stdout.splitlines()]
        units = {o["port"]: o for o in objects if o["event"] == "unit"}
        self.assertEqual([units[s.path]["result"] for s in sims], ["PASS", "PASS", "FAIL"])
        self.assertEqual(units[sims[0].path]["record"], "0C14BF0F06000A")
        self.assertEqual(objects[-1]["event"], "end")
        fault_steps = [o for o in objects if o["event"] == "step" and o["port"] == sims[0].path
                       and o["name"] == "wait 6000 ms"]
        self.assertGreater(fault_steps[0]["faults_delayed"], 0)  # every answer held back
        root = junit(report)
        self.assertEqual(root.get("tests"), "36")
        suites = {s.get("name"): s for s in root.findall("testsuite")}
        self.assertEqual(steps_of(suites[sims[2].path])[0],
                         ("1 firmware and dip switches", "failure", "firmware 1.1, expected 1.2 or later"))
        self.assertEqual({s[1] for s in steps_of(suites[sims[2].path])[1:]}, {"skipped"})
        self.assertEqual({s[1] for s in steps_of(suites[sims[0].path])}, {"pass"})
        self.assertFalse(os.path.exists(report + ".tmp"))

    def test_answer_times_are_those_of_the_line(self):
        # 24 bytes of read response at 240 bytes a second cannot come in under 100 ms.
        sim = Simulator("--line-rate", program=SIM, com=None)
        try:
            result, _ = run_plan("[[step]]\nread = true\n[[step]]\nread = true\nmax_answer_ms = 60\n",
                                 "--port", sim.path, "--json")
        finally:
            sim.close()
        objects = [json.loads(l) for l in result.stdout.splitlines()]
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertGreaterEqual(objects[0]["answer_ms"][0], 100)
        self.assertIn("more than the 60 ms allowed", objects[1]["reason"])

    def test_a_unit_lost_mid_plan_errs_and_the_others_finish(self):
        def lose_the_first(process, sims):
            sims[0].kill()
            self.assertEqual(process.wait(30), 1)

        suites, sims, _ = two_units_plan(
            self, "[[step]]\nread = true\n[[step]]\nwait_ms = 5000\n[[step]]\ntx = \"on\"\n",
            lose_the_first)
        lost = steps_of(suites[sims[0].path])
        self.assertEqual(lost[1][:2], ("2 wait 5000 ms", "error"))
        self.assertRegex(lost[1][2], "^the port %s was lost: Input/output error$"
                         % re.escape(sims[0].path))
        self.assertEqual(lost[2], ("3 tx on", "skipped", "the port was lost"))
        self.assertEqual({s[1] for s in steps_of(suites[sims[1].path])}, {"pass"})

    def test_ctrl_c_ends_every_unit_and_writes_the_whole_report(self):
        def interrupt(process, sims):
            process.send_signal(signal.SIGINT)
            self.assertEqual(process.wait(10), 1)

        suites, _, out = two_units_plan(
            self, "[[step]]\nread = true\n[[step]]\nwait_ms = 60000\n[[step]]\ntx = \"on\"\n",
            interrupt)
        for suite in suites.values():
            self.assertEqual([s[1:] for s in steps_of(suite)],
                             [("pass", ""), ("skipped", "interrupted"), ("skipped", "interrupted")])
        self.assertEqual(out[-1], "2 units: 0 passed, 2 failed")

    def test_monitor_faults_are_counted_and_repeat_with_their_seed(self):
        def answers(seed):
            """What monitor answers to 30 controls frames and 30 polls, in turn."""
            master, _slave, path = raw_pty()
            monitor = subprocess.Popen([VTL, "--port", path, "--json", "monitor", "--respond",
                                        "--nak", "40", "--bad-checksum", "40", "--seed", str(seed)],
                                       stdout=subprocess.PIPE, text=True)
            try:
                lines = Lines(monitor)
                lines.wait_for(lambda l: '"opened"' in l)
                got = []
                for _ in range(30):
                    for sent, size in ((CONTROLS_1_ON, 3), (POLL, 17)):
                        os.write(master, sent)
                        reply = b""
                        while len(reply) < size:
                            reply += os.read(master, size - len(reply))
                        got.append(reply)
                monitor.send_signal(signal.SIGTERM)
                monitor.wait(10)
                lines.thread.join(5)
                return got, json.loads(lines.all()[-1])
            finally:
                if monitor.poll() is None:
                    monitor.kill()
                    monitor.wait()
                os.close(master)

        first, end = answers(5)
        self.assertEqual(answers(5)[0], first)
        self.assertNotEqual(answers(6)[0], first)
        naks = first[0::2].count(NAK)
        bad = sum(1 for a in first[1::2] if a != frame(b"I00200000000:"))
        self.assertEqual((end["faults_nak"], end["faults_bad_checksum"]), (naks, bad))
        self.assertTrue(0 < naks < 30 and 0 < bad < 30, (naks, bad))
        self.assertEqual(set(first[0::2]), {ACK, NAK})


if __name__ == "__main__":
    unittest.main(verbosity=2)
