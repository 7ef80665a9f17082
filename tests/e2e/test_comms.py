"""The "ZVL comms" page seen from outside: the tool under Wine with COM1 (and COM3) on
pseudo-terminals whose far end we play, byte for byte, as the unit would.

Starting the tool costs seconds under Wine, so each class starts it once and its tests
run in the order of their numbers, each leaving the page as the next one expects.
"""
import os
import re
import sys
import time
import unittest

from vtltest.peer import ACK, NAK, Pour, bits, digits, frame, log_text
from vtltest.vtl_e2e import ERROR_CAPTION, TMP, DriverError, Port, Tool, map_com_absent

IDCANCEL = 2
IDC_CONTROLS, IDC_PORT, IDC_LOG, IDC_SET_INDICATIONS = 1004, 1012, 1016, 1018
IDC_RESPOND, IDC_INDICATIONS, IDC_WIDE, IDC_LOG_TO_FILE = 1019, 1022, 1093, 1094
DIALOG = "Set indications"
BOX_IDS = ([1020, 1021, 1023, 1024, 1026, 1028, 1029, 1030,
            1032, 1034, 1036, 1038, 1040, 1041, 1042, 1043] + [1027 + n for n in range(17, 65)])
ZEROS_32 = "00000000 " * 4
SEND_FAILED = "Failed to send indications packet|icon=error"
STAMPED = re.compile(r"^\d{1,2}:\d\d:\d\d[^\t]*\t[ -~]*$")


def indications_frame(data):
    return frame(b"I00" + (b"4" if len(data) == 8 else b"2") + digits(data) + b":")


class CommsTool:
    """The tool, its driver and our end of COM1, with the page's log box at hand."""

    def __init__(self, tool):
        self.tool, self.d, self.peer = tool, tool.driver, tool.port
        self.markers = 0

    def log_lines(self):
        text = self.d("text", 0, IDC_LOG)
        return text.split("\r\n")[:-1] if text else []

    def log_texts(self):
        """The texts of the box's lines, each of which must be time stamp, tab, text."""
        lines = self.log_lines()
        for line in lines:
            assert STAMPED.match(line), "not a time-stamped line: %r" % line
        return [line.split("\t", 1)[1] for line in lines]

    def wait_log_end(self, text, timeout=10):
        """Waits until the newest line of the log box reads text; returns the box's texts."""
        end = time.time() + timeout
        while True:
            texts = self.log_texts()
            if texts and texts[-1] == text:
                return texts
            if time.time() > end:
                raise AssertionError("log box ends %r, not %r" % (texts[-3:], text))
            time.sleep(0.03)

    def sync(self):
        """Sends a "B" frame (passed on, logged, never answered) and waits for its line.
        Frames sent before it have then been answered and logged. Returns the log texts
        from the previous marker (excluded) up to this one (excluded)."""
        previous = "Rx: " + log_text(self.marker(self.markers)) if self.markers else None
        self.markers += 1
        raw = self.marker(self.markers)
        self.peer.send(raw)
        texts = self.wait_log_end("Rx: " + log_text(raw))[:-1]
        if previous in texts:
            texts = texts[len(texts) - texts[::-1].index(previous):]
        return texts

    @staticmethod
    def marker(number):
        return frame(b"B%04d" % number)

    def set_check(self, target, control, on):
        if self.d("check-state", target, control) != ("1" if on else "0"):
            self.d("click", target, control)
        return self.d("check-state", target, control) == ("1" if on else "0")

    def set_respond(self, on):
        """Ticking "Respond to messages" sends the packet at once: taken here."""
        before = self.d("check-state", 0, IDC_RESPOND)
        assert self.set_check(0, IDC_RESPOND, on)
        self.sync()
        sent = self.peer.take()
        if on and before == "0":
            assert sent.startswith(b"\nI"), sent
        else:
            assert sent == b"", sent
        return sent


class WithPeer(unittest.TestCase):
    """One tool; COM1 is ours from its start, COM3 is ours for the port switch."""

    @classmethod
    def setUpClass(cls):
        cls.workdir = os.path.join(TMP, "comms with peer")
        os.makedirs(cls.workdir, exist_ok=True)
        cls.com3 = Port(3)
        cls.tool = Tool(cwd=cls.workdir)
        cls.t = CommsTool(cls.tool)
        cls.d, cls.peer = cls.t.d, cls.t.peer

    @classmethod
    def tearDownClass(cls):
        cls.tool.close()
        cls.com3.close()

    def test_1_com1_opened_by_itself(self):
        self.assertTrue(self.tool.port.wait(held=True, timeout=10), "COM1 was never opened")
        lines = self.t.log_lines()
        self.assertEqual(1, len(lines), lines)
        stamp, text = lines[0].split("\t")
        self.assertRegex(stamp, r"^\d{1,2}:\d\d:\d\d")
        self.assertEqual("'\\\\.\\COM1' opened", text)
        self.assertEqual("COM1", self.d("combo-text", 0, IDC_PORT))
        self.assertEqual(ZEROS_32, self.d("text", 0, IDC_CONTROLS))
        self.assertEqual(ZEROS_32, self.d("text", 0, IDC_INDICATIONS))
        self.assertEqual(b"", self.peer.take(0.3), "nothing is sent on opening")

    def test_2_replies_by_type_and_respond(self):
        packet = indications_frame([0] * 4)
        self.assertEqual(bytes.fromhex("0A 49 30 30 32 30 30 30 30 30 30 30 30 3A 46 39 0D"), packet)
        # (name, frame, reply while answering is off, reply while on, logged)
        cases = [
            ("C", frame(b"C0021030000080"), b"", ACK, True),
            ("C bad checksum", frame(b"C0021030000080", 1), b"", NAK, False),
            ("C lower-case digits", frame(b"C002a0b0c0d0e"), b"", ACK, True),
            ("I", frame(b"I00200000000:"), b"", ACK, True),
            ("I bad checksum", frame(b"I00200000000:", 1), b"", NAK, False),
            ("~", frame(b"~x"), ACK, ACK, True),
            ("~ bad checksum", frame(b"~x", 1), NAK, NAK, False),
            ("R", frame(b"R"), b"", packet, True),
            ("A, no digits", b"\nA\r", ACK, ACK, True),
            ("B with %", frame(b"B%s%d%n"), b"", b"", True),
            ("unknown type", frame(b"X12"), b"", b"", False),
            ("ACK from the unit", ACK, b"", b"", False),
            ("NAK from the unit", NAK, b"", b"", False),
            ("no line feed", frame(b"C0021030000080")[1:], b"", b"", False),
        ]
        for respond in (False, True):
            # Ticking sends the packet at once; clearing sends nothing.
            self.assertEqual(packet if respond else b"", self.t.set_respond(respond))
            for name, raw, off, on, logged in cases:
                with self.subTest(name, respond=respond):
                    self.peer.send(raw)
                    texts = self.t.sync()
                    reply = on if respond else off
                    self.assertEqual(reply, self.peer.take())
                    expected = ["Rx: " + log_text(raw)] if logged else []
                    if reply == packet:
                        expected.append("Tx: I00200000000:F9")
                    self.assertEqual(expected, texts)

    def test_3_controls_and_indications_texts(self):
        self.t.set_respond(True)
        c32 = frame(b"C002" + digits([0x01, 0x02, 0x00, 0x80]))
        c64 = frame(b"C004" + digits([0xFF, 0, 0, 0, 0x0F, 0, 0, 0x81]))
        steps = [
            ("32-bit controls", c32, "10000000 01000000 00000000 00000001 "),
            ("64-bit controls", c64, "11111111 " + "00000000 " * 3 + "11110000 00000000 00000000 10000001 "),
            # Bytes 4 to 7 are kept, just not shown.
            ("32 bits again", c32, "10000000 01000000 00000000 00000001 "),
            ("width 0x02 is no width", frame(b"C020" + digits([0xFF] * 4)), "10000000 01000000 00000000 00000001 "),
        ]
        for name, raw, text in steps:
            with self.subTest(name):
                self.peer.send(raw)
                self.t.sync()
                self.assertEqual(ACK, self.peer.take())
                self.assertEqual(text, self.d("text", 0, IDC_CONTROLS))
                self.assertIn(len(text), (36, 72))
        # A received indications frame sets indications 1 to 32, and the answer to "R"
        # carries them.
        data = [0x01, 0x02, 0x00, 0x00]
        self.peer.send(frame(b"I002" + digits(data) + b":"))
        self.peer.send(frame(b"R"))
        self.assertEqual(["Rx: " + log_text(frame(b"I002" + digits(data) + b":")), "Rx: RC5",
                          "Tx: I00210200000:2A"], self.t.sync())
        self.assertEqual(ACK + bytes.fromhex("0A 49 30 30 32 31 30 32 30 30 30 30 30 3A 32 41 0D"),
                         self.peer.take())
        self.assertEqual(bits(data), self.d("text", 0, IDC_INDICATIONS))
        # "64 bits" widens the indications at once and sends nothing; the controls keep
        # the width of the last controls frame.
        self.assertTrue(self.t.set_check(0, IDC_WIDE, True))
        self.assertEqual(bits(data + [0] * 4), self.d("text", 0, IDC_INDICATIONS))
        self.assertEqual(36, len(self.d("text", 0, IDC_CONTROLS)))
        self.assertEqual([], self.t.sync())
        self.assertEqual(b"", self.peer.take())
        self.assertTrue(self.t.set_check(0, IDC_WIDE, False))

    def open_dialog(self, boxes):
        self.assertEqual("pending", self.d("click", 0, IDC_SET_INDICATIONS))
        self.d("wait-window", DIALOG, 5000)
        children = [c.split(":", 3) for c in self.d("children", DIALOG).split(";")]
        self.assertEqual(["2", "Done"], [children[0][0], children[0][3]])
        self.assertEqual([str(i) for i in BOX_IDS[:boxes]], [c[0] for c in children[1:]])
        self.assertEqual(["%02d" % n for n in range(1, boxes + 1)], [c[3] for c in children[1:]])

    def close_dialog(self, how):
        if how == "Done":
            self.d("click", DIALOG, IDCANCEL)
        else:
            self.d("focus", DIALOG, BOX_IDS[0])
            self.d("key", how)
        self.d("wait-gone", DIALOG, 5000)

    def test_4_set_indications_32(self):
        self.t.set_respond(False)
        self.peer.send(indications_frame([0] * 4))
        self.t.sync()
        self.open_dialog(32)
        # A click sends at once, answering or not: "10" is bit 1 of byte 1.
        self.d("click", DIALOG, 1034)
        self.assertEqual(indications_frame([0, 0x02, 0, 0]), self.peer.take_exactly(17))
        self.assertEqual(bits([0, 0x02, 0, 0]), self.d("text", 0, IDC_INDICATIONS))
        self.d("click", DIALOG, 1020)  # "01"
        self.assertEqual(bytes.fromhex("0A 49 30 30 32 31 30 32 30 30 30 30 30 3A 32 41 0D"),
                         self.peer.take_exactly(17))
        self.assertEqual(["Tx: I00200200000:1A", "Tx: I00210200000:2A"], self.t.sync())
        # A frame received meanwhile changes the text, not the boxes; Enter then rebuilds
        # the bytes from the boxes and, while not answering, sends nothing.
        self.peer.send(indications_frame([0, 0, 0xFF, 0]))
        self.t.sync()
        self.assertEqual(bits([0, 0, 0xFF, 0]), self.d("text", 0, IDC_INDICATIONS))
        self.assertEqual("0", self.d("check-state", DIALOG, BOX_IDS[16]))
        self.close_dialog("ENTER")
        self.assertEqual(bits([0x01, 0x02, 0, 0]), self.d("text", 0, IDC_INDICATIONS))
        self.assertEqual([], self.t.sync())
        self.assertEqual(b"", self.peer.take())
        # While answering, Enter sends the rebuilt bytes.
        self.t.set_respond(True)
        self.open_dialog(32)
        self.assertEqual(["1", "1", "0"], [self.d("check-state", DIALOG, BOX_IDS[i]) for i in (0, 9, 16)])
        self.close_dialog("ENTER")
        self.assertEqual(indications_frame([0x01, 0x02, 0, 0]), self.peer.take_exactly(17))
        # "Done" and Esc send nothing more; the clicks before stay.
        for how in ("Done", "ESC"):
            with self.subTest(how):
                self.open_dialog(32)
                self.d("click", DIALOG, BOX_IDS[31])  # "32"
                self.assertEqual(indications_frame([0x01, 0x02, 0, 0x80]), self.peer.take_exactly(17))
                self.d("click", DIALOG, BOX_IDS[31])
                self.assertEqual(indications_frame([0x01, 0x02, 0, 0]), self.peer.take_exactly(17))
                self.close_dialog(how)
                self.t.sync()
                self.assertEqual(b"", self.peer.take())
                self.assertEqual(bits([0x01, 0x02, 0, 0]), self.d("text", 0, IDC_INDICATIONS))

    def test_5_set_indications_64(self):
        self.t.set_respond(False)
        self.assertTrue(self.t.set_check(0, IDC_WIDE, True))
        self.open_dialog(64)
        self.d("click", DIALOG, BOX_IDS[63])  # "64"
        wide = [0x01, 0x02, 0, 0, 0, 0, 0, 0x80]
        sent = self.peer.take_exactly(25)
        self.assertEqual(indications_frame(wide), sent)
        self.assertTrue(sent[1:22].endswith(b"08:"), sent)
        self.assertEqual(bits(wide), self.d("text", 0, IDC_INDICATIONS))
        self.close_dialog("Done")
        self.assertEqual(b"", self.peer.take(0.2))
        self.assertTrue(self.t.set_check(0, IDC_WIDE, False))

    def test_6_log_trimming_and_log_file(self):
        log_file = os.path.join(self.workdir, "ZVL-Log.txt")
        self.assertFalse(os.path.exists(log_file), "nothing is written before 1094 is ticked")
        self.assertTrue(self.t.set_check(0, IDC_LOG_TO_FILE, True))
        model = self.t.log_texts()
        self.assertLessEqual(len(model), 59)
        logged = []

        def add(text):
            if len(model) + 1 >= 60:
                del model[:10]
            model.append(text)
            logged.append(text)

        # One at a time: the box never holds more than 59 lines; the 60th leaves 50.
        for n in range(70):
            raw = frame(b"B1%03d" % n)
            self.peer.send(raw)
            add("Rx: " + log_text(raw))
            texts = self.t.wait_log_end(model[-1])
            self.assertEqual(model, texts)
        # A burst, taken in as few box updates as the tool likes, leaves the same text.
        burst = [frame(b"B2%03d" % n) for n in range(130)]
        self.peer.send(b"".join(burst))
        for raw in burst:
            add("Rx: " + log_text(raw))
        self.assertEqual(model, self.t.wait_log_end(model[-1]))
        box = self.t.log_lines()
        self.assertTrue(self.t.set_check(0, IDC_LOG_TO_FILE, False))
        self.peer.send(frame(b"Bnot in the file"))
        self.t.wait_log_end("Rx: " + log_text(frame(b"Bnot in the file")))
        with open(log_file, "rb") as f:
            file_lines = f.read().decode().split("\r\n")
        self.assertEqual("", file_lines.pop())
        # Date, tab, and the box's line, for every line logged while ticked and no other.
        self.assertEqual(logged, [line.split("\t", 2)[2] for line in file_lines])
        self.assertEqual(box, [line.split("\t", 1)[1] for line in file_lines[-len(box):]])
        for line in file_lines:
            self.assertRegex(line.split("\t")[0], r"\d")

    def test_7_switching_ports(self):
        before = len(self.t.log_lines())
        self.d("combo-select", 0, IDC_PORT, 3)
        self.assertTrue(self.com3.wait(held=True, timeout=10), "COM3 was not opened")
        self.assertTrue(self.tool.port.wait(held=False, timeout=10), "COM1 was not released")
        self.assertEqual(["'\\\\.\\COM3' opened"], self.t.log_texts()[before:])
        # "None" closes, and says so also when nothing was open.
        for _ in range(2):
            self.d("combo-select", 0, IDC_PORT, 0)
            self.t.wait_log_end("Port closed")
        self.assertTrue(self.com3.wait(held=False, timeout=10), "COM3 was not released")
        self.assertEqual(["'\\\\.\\COM3' opened", "Port closed", "Port closed"],
                         self.t.log_texts()[before:])


class NoCom1(unittest.TestCase):
    """A computer without COM1 (mapped to an empty folder: a missing link would make
    Wine fall back to /dev/ttyS0)."""

    def test_failed_open_then_sends_without_a_port(self):
        map_com_absent(1)
        tool = Tool(com1=False)
        d = tool.driver
        try:
            self.assertEqual("Failed to open serial port '\\\\.\\COM1'\nError code -1|icon=error",
                             d("wait-window", ERROR_CAPTION, 10000))
            d("press", ERROR_CAPTION, "OK")
            d("wait-gone", ERROR_CAPTION, 5000)
            d("wait-text", 0, IDC_LOG, "Failed to open", 5000)
            self.assertEqual("None", d("combo-text", 0, IDC_PORT))
            lines = d("text", 0, IDC_LOG).split("\r\n")[:-1]
            self.assertEqual(1, len(lines), lines)
            self.assertRegex(lines[0], r"^\d{1,2}:\d\d:\d\d[^\t]*\tFailed to open '\\\\\.\\COM1'$")
            # Ticking "Respond to messages" sends at once, and so fails; clearing it
            # shows nothing.
            self.assertEqual("pending", d("click", 0, IDC_RESPOND))
            self.assertEqual(SEND_FAILED, d("wait-window", ERROR_CAPTION, 5000))
            d("press", ERROR_CAPTION, "OK")
            d("wait-gone", ERROR_CAPTION, 5000)
            d("click", 0, IDC_RESPOND)
            with self.assertRaises(DriverError):
                d("wait-window", ERROR_CAPTION, 500)
            # A click in the dialog still changes the bit and the text, then fails to send.
            self.assertEqual("pending", d("click", 0, IDC_SET_INDICATIONS))
            d("wait-window", DIALOG, 5000)
            self.assertEqual("pending", d("click", DIALOG, 1034))
            self.assertEqual(SEND_FAILED, d("wait-window", ERROR_CAPTION, 5000))
            self.assertEqual(bits([0, 0x02, 0, 0]), d("text", 0, IDC_INDICATIONS))
            d("press", ERROR_CAPTION, "OK")
            d("wait-gone", ERROR_CAPTION, 5000)
            self.assertEqual("1", d("check-state", DIALOG, 1034))
            d("click", DIALOG, IDCANCEL)
            d("wait-gone", DIALOG, 5000)
            # "None" with nothing open still logs the closing.
            d("combo-select", 0, IDC_PORT, 0)
            d("wait-text", 0, IDC_LOG, "Port closed", 5000)
            self.assertEqual(["Failed to open '\\\\.\\COM1'", "Port closed"],
                             [line.split("\t", 1)[1] for line in d("text", 0, IDC_LOG).split("\r\n")[:-1]])
        finally:
            tool.close()


class ClosingDuringAFlood(unittest.TestCase):
    CYCLES = int(os.environ.get("VTL_FLOOD_CYCLES", "200"))

    def test_closing_and_reopening_while_frames_pour_in_never_hangs(self):
        tool = Tool()
        d = tool.driver
        flooder = Pour(tool.port.master,
                       b"".join(frame(b"C002" + digits([n, n, 0, 0])) for n in range(64)))
        try:
            self.assertTrue(tool.port.wait(held=True, timeout=10), "COM1 was never opened")
            d("click", 0, IDC_RESPOND)
            flooder.start()
            d("wait-text", 0, IDC_CONTROLS, "1", 10000)
            # The user's own input still gets through: the space bar works the focused
            # check box, off and on again.
            d("focus", 0, IDC_RESPOND)
            for state in ("0", "1"):
                d("key", "SPACE")
                end = time.time() + 10
                while d("check-state", 0, IDC_RESPOND) != state and time.time() < end:
                    time.sleep(0.02)
                self.assertEqual(state, d("check-state", 0, IDC_RESPOND), "key input starved")
            start = time.time()
            for cycle in range(self.CYCLES):
                with self.subTest(cycle=cycle):
                    # A select that takes longer than the driver's 500 ms answers
                    # "pending"; the port must still follow.
                    d("combo-select", 0, IDC_PORT, 0)
                    self.assertTrue(tool.port.wait(held=False, timeout=20), "COM1 not closed")
                    # Every frame taken in before the close is logged before it.
                    texts = [line.split("\t", 1)[1] for line in d("text", 0, IDC_LOG).split("\r\n")[:-1]]
                    self.assertEqual("Port closed", texts[-1])
                    d("combo-select", 0, IDC_PORT, 1)
                    self.assertTrue(tool.port.wait(held=True, timeout=20), "COM1 not opened")
                    texts = [line.split("\t", 1)[1] for line in d("text", 0, IDC_LOG).split("\r\n")[:-1]]
                    if "Port closed" in texts:
                        after = texts[len(texts) - texts[::-1].index("Port closed"):]
                        self.assertEqual("'\\\\.\\COM1' opened", after[0] if after else None)
            elapsed = time.time() - start
            # Still taking frames in and answering them after all that.
            acks = flooder.acks
            time.sleep(1.0)
            self.assertGreater(flooder.acks, acks)
            with self.assertRaises(DriverError):
                d("wait-window", ERROR_CAPTION, 100)
            print("\n%d close/open cycles under a flood in %.1f s (%d ACKs)"
                  % (self.CYCLES, elapsed, flooder.acks), file=sys.stderr)
        finally:
            flooder.stop()
            tool.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
