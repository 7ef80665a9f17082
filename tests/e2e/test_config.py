"""The "K4 Config" page seen from outside: the shipped exe under Wine, its COM1 on the
unit simulator, worked by the driver. Checks what the page shows and what the unit
receives, byte for byte, and the page's message boxes and file dialogs."""
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peer import frame  # noqa: E402
from vtl_e2e import BUILD, ERROR_CAPTION, TMP, Simulator, Tool, wine_path  # noqa: E402

DEBUG_CAPTION = "VTL_K4ZVL debug"
SAVE_CAPTION, OPEN_CAPTION = "Save config file", "Open config file"

# "K4 Config" controls.
IO_USED, ZVL_USED, ADCS_USED, PROTOCOL_32, SPLIT_ZVL = 1000, 1001, 1002, 1003, 1004
WRITE, READ, PREAMBLE, POSTAMBLE, USE_AVAIL, DEFAULT, STATUS = 1005, 1006, 1007, 1008, 1009, 1010, 1011
NO_BUFFER, TX_ON, DAUGHTER_BOARD, TX_OFF, SAVE, RX_EQ, OPEN = 1012, 1013, 1014, 1015, 1016, 1017, 1018
BAUD, V22_HIGH, NO_CTRL, NRZ, IO_ID, ADCS_ID, ZVL_ID = 1025, 1027, 1031, 1033, 1035, 1037, 1039
PROTOCOL_64, ZVL_PLUS_ONE = 1092, 1095
OPTION_BOXES = (RX_EQ, V22_HIGH, NO_CTRL, NRZ, USE_AVAIL, NO_BUFFER)
# "ZVL comms" controls.
PORT_COMBO, LOG_BOX = 1012, 1016
CONFIG = "1"  # the "K4 Config" page as a driver target

DEFAULT_RECORD = bytes([0x3C, 0xBD, 0xBF, 0x12, 0x06, 0x00, 0x0D])
DEFAULT_PACKET = b"~WC3DBFB216000D0"


def quoted(wire):
    """A frame as the simulator prints it."""
    return '"%s"' % wire.decode().replace("\n", "\\n").replace("\r", "\\r")


# The unit sends numbered controls frames five times a second (the tool, not answering
# messages, takes them in silently): each is logged in the comms page's box, after
# whatever the unit sent before it.
SYNC_CONTROLS = ("--controls-period", "200", "--controls-pattern", "count")


class ConfigTool(Tool):
    """The exe with COM1 on a simulator, the "K4 Config" page selected and showing its
    defaults, and COM1 opened by the comms page."""

    def __init__(self, *sim_options, sim=None):
        self.sim = sim or Simulator("--seed", "7", *sim_options)
        try:
            super().__init__(com1=False)
        except BaseException:
            self.sim.close()
            raise
        self.d = self.driver
        try:
            self.d("wait-text", 0, LOG_BOX, "COM1' opened", 15000)
            self.d("page", 1)
            self.d("wait-text", CONFIG, STATUS, "Set to defaults", 10000)
        except BaseException:
            self.close()
            raise

    def text(self, control):
        return self.d("text", CONFIG, control)

    def status(self):
        return self.text(STATUS)

    def click(self, control):
        return self.d("click", CONFIG, control)

    def wait_status(self, text, timeout=10):
        """Waits until the status line reads exactly `text`."""
        end = time.time() + timeout
        shown = None
        while time.time() < end:
            shown = self.status()
            if shown == text:
                return
            time.sleep(0.05)
        raise AssertionError("status %r, expected %r" % (shown, text))

    def box(self, caption, timeout=5000):
        """Text and icon of a box that must open, then closes it with OK."""
        shown = self.d("wait-window", caption, timeout)
        owner = self.d("owner", caption)
        self.d("press", caption, "OK")
        self.d("wait-gone", caption, 5000)
        return shown, owner

    def no_box_now(self, caption):
        """True when, once the window thread has settled, no window has that caption."""
        self.settle()
        return self.no_box(caption, 0)

    def handled_after(self, line):
        """Returns once the tool has handled every frame the unit sent up to simulator
        log line `line`: the first controls frame the unit sent after it (SYNC_CONTROLS)
        is then in the message log, and the tool handles frames in the order they came."""
        sync = self.sim.sent_after(line, "controls")
        self.d("wait-text", 0, LOG_BOX, "Rx: " + sync, 10000)

    def shown_record(self):
        """What the page shows, in the order of the record's fields."""
        return {
            "io": (self.d("check-state", CONFIG, IO_USED), self.text(IO_ID),
                   self.d("enabled", CONFIG, IO_ID)),
            "zvl": (self.d("check-state", CONFIG, ZVL_USED), self.text(ZVL_ID),
                    self.d("enabled", CONFIG, ZVL_ID)),
            "split": (self.d("check-state", CONFIG, SPLIT_ZVL), self.d("enabled", CONFIG, SPLIT_ZVL)),
            "plus one": (self.text(ZVL_PLUS_ONE), self.d("enabled", CONFIG, ZVL_PLUS_ONE)),
            "adcs": (self.d("check-state", CONFIG, ADCS_USED), self.text(ADCS_ID),
                     self.d("enabled", CONFIG, ADCS_ID)),
            "protocol": "32" if self.d("check-state", CONFIG, PROTOCOL_32) == "1" else
                        "64" if self.d("check-state", CONFIG, PROTOCOL_64) == "1" else "none",
            "options": "".join(self.d("check-state", CONFIG, box) for box in OPTION_BOXES),
            "ms": (self.text(PREAMBLE), self.text(POSTAMBLE)),
            "baud": self.d("combo-text", CONFIG, BAUD),
        }

    def close(self):
        super().close()
        self.sim.close()


# The defaults as the page shows them.
DEFAULTS_SHOWN = {
    "io": ("1", "60", "1"),
    "zvl": ("0", "61", "0"),
    "split": ("0", "0"),
    "plus one": ("62", "0"),
    "adcs": ("0", "63", "0"),
    "protocol": "64",
    "options": "000000",
    "ms": ("120", "40"),
    "baud": "1200/1200",
}


class ToolCase(unittest.TestCase):
    sim_options = ()

    def setUp(self):
        self.tool = ConfigTool(*self.sim_options)
        self.addCleanup(self.tool.close)
        self.d = self.tool.d


class WithUnit(ToolCase):
    sim_options = SYNC_CONTROLS

    def test_first_showing_then_edit_write_read_back(self):
        tool = self.tool
        self.assertEqual(DEFAULTS_SHOWN, tool.shown_record())
        self.assertEqual("", tool.text(DAUGHTER_BOARD))

        # Edit every field, as a user would, including values the record cannot hold.
        self.d("set-text", CONFIG, IO_ID, "70")
        self.d("click", CONFIG, ZVL_USED)
        self.d("set-text", CONFIG, ZVL_ID, "5")
        self.d("click", CONFIG, SPLIT_ZVL)
        self.assertEqual(("6", "1"), tool.shown_record()["plus one"])
        self.d("click", CONFIG, PROTOCOL_32)
        self.d("click", CONFIG, NRZ)
        self.d("set-text", CONFIG, PREAMBLE, "103")
        self.d("combo-select", CONFIG, BAUD, 5)
        tool.click(WRITE)
        tool.wait_status("Write command successful")
        # IO 70 is stored as 63, 103 ms as 15 steps; split ZVL 5 in use; 32 bits and
        # NRZ; 9600 is code 10.
        written = frame(b"~WF354FBF06041A0")
        tool.sim.wait_for("record replaced")
        self.assertEqual([quoted(written)], tool.sim.received())
        edited = {
            "io": ("1", "63", "1"),
            "zvl": ("1", "5", "1"),
            "split": ("1", "1"),
            "plus one": ("6", "1"),
            "adcs": ("0", "63", "0"),
            "protocol": "32",
            "options": "000100",
            "ms": ("100", "40"),
            "baud": "9600/1200",
        }
        self.assertEqual(edited, tool.shown_record())

        # Back to the defaults on the page, then the unit's copy is read back.
        tool.click(DEFAULT)
        tool.wait_status("Set to defaults")
        self.assertEqual(DEFAULTS_SHOWN, tool.shown_record())
        tool.click(READ)
        tool.wait_status("Read complete (F/W v1.3)")
        self.assertEqual(edited, tool.shown_record())
        self.assertEqual(quoted(frame(b"~R")), tool.sim.received()[-1])

    def test_tx_on_and_off_reach_the_unit(self):
        tool = self.tool
        first = len(tool.sim.log())
        for button, status, payload, state in ((TX_ON, "Tx on", b"~T", "transmitter on"),
                                               (TX_OFF, "Tx off", b"~t", "transmitter off")):
            with self.subTest(status):
                mark = len(tool.sim.log())
                tool.click(button)
                tool.wait_status(status)
                tool.sim.wait_for(state, after=mark)
                self.assertEqual(quoted(frame(payload)), tool.sim.received()[-1])
        # Tx on and off are not requests the status line waits on: the unit's ACKs
        # leave "Tx off" standing.
        ack = tool.sim.wait_for('tx "\\n+\\r" ACK', after=first)
        ack = tool.sim.wait_for('tx "\\n+\\r" ACK', after=ack + 1)
        tool.handled_after(ack)
        self.assertEqual("Tx off", tool.status())

    def test_debug_box_only_with_ctrl_held(self):
        tool = self.tool
        # The debug box would open in the click's own handler, so the click would not
        # have come back.
        self.assertEqual("", tool.click(WRITE), "a plain click opened something")
        tool.wait_status("Write command successful")
        self.assertTrue(tool.no_box_now(DEBUG_CAPTION))
        self.d("click-with-ctrl", CONFIG, WRITE)
        shown, owner = tool.box(DEBUG_CAPTION)
        # The payload without its last digit, and no icon.
        self.assertEqual("Sent Config packet\n~WC3DBFB216000D|icon=none", shown)
        self.assertEqual("sheet", owner)  # the page, as a top-level owner: its sheet
        tool.wait_status("Write command successful")
        self.assertEqual([quoted(frame(DEFAULT_PACKET))] * 2, tool.sim.received())


class UnitWithOwnRecord(ToolCase):
    """A unit with firmware 2.7, dip switches 2 and 3 off (direct, async), and a record
    of its own, including bits the page never writes."""

    record = bytes([0x45, 0xC7, 0x02, 0x0F, 0xFF, 0xA5, 0x0C])

    def setUp(self):
        path = os.path.join(TMP, "unit-record.vtl")
        with open(path, "wb") as out:
            out.write(self.record)
        self.sim_options = ("--firmware", "2.7", "--dip", "6", "--config", path)
        super().setUp()

    def test_read_shows_the_units_record_firmware_and_dip_switches(self):
        tool = self.tool
        tool.click(READ)
        tool.wait_status("Read complete (F/W v2.7)")
        self.assertEqual("Dip Switch: 1 on, 2 off, 3 off, 4 -, direct, async", tool.text(DAUGHTER_BOARD))
        self.assertEqual({
            "io": ("1", "5", "1"),          # bit 6 not shown
            "zvl": ("0", "7", "0"),         # not used, split: split checked but disabled
            "split": ("1", "0"),
            "plus one": ("8", "0"),
            "adcs": ("1", "2", "1"),
            "protocol": "64",
            "options": "100110",            # 0xA5: bits 0, 2, 5; bit 7 not shown
            "ms": ("100", "1700"),
            "baud": "2400/2400",
        }, tool.shown_record())
        # Written back as shown: bit 6 of the IO ID and bit 7 of the options dropped.
        tool.click(WRITE)
        tool.wait_status("Write command successful")
        tool.sim.wait_for("record replaced")
        self.assertEqual(quoted(frame(b"~W507C20F0FF52C0")), tool.sim.received()[-1])


class NakingUnit(ToolCase):
    sim_options = ("--nak", "100")

    def test_rejections_show_in_the_status_line(self):
        tool = self.tool
        tool.click(WRITE)
        tool.wait_status("Write command rejected")
        tool.click(READ)
        tool.wait_status("Read command rejected")
        # A refused Tx request does not go on reading as done.
        for button, status in ((TX_ON, "Tx on command rejected"), (TX_OFF, "Tx off command rejected")):
            tool.click(button)
            tool.wait_status(status)
        self.assertNotIn("record replaced", "\n".join(tool.sim.log()))
        self.assertEqual(DEFAULTS_SHOWN, tool.shown_record())
        self.assertEqual("", tool.text(DAUGHTER_BOARD))


class SlowUnit(ToolCase):
    """Every answer 1.5 s late, past the page's 1000 ms window; NAKs, so that a late
    answer wrongly taken would show."""
    sim_options = ("--delay", "1500", "--nak", "100") + SYNC_CONTROLS

    def test_late_answers_leave_the_status_empty(self):
        tool = self.tool
        for button, request in ((WRITE, "~W"), (READ, "~R")):
            with self.subTest(request):
                mark = len(tool.sim.log())
                tool.click(button)
                self.assertEqual("", tool.status())
                nak = tool.sim.wait_for('tx "\\n-\\r" NAK', after=mark)
                tool.handled_after(nak)
                self.assertEqual("", tool.status())


class NoPortOpen(ToolCase):
    def test_each_request_reports_its_failure_in_a_box_owned_by_the_sheet(self):
        tool = self.tool
        self.d("page", 0)
        self.d("combo-select", 0, PORT_COMBO, 0)  # "None"
        self.d("wait-text", 0, LOG_BOX, "Port closed", 10000)
        self.d("page", 1)
        cases = ((READ, "Failed to send read request packet", "Set to defaults"),
                 (TX_ON, "Failed to send 'Tx on' request packet", "Set to defaults"),
                 (TX_OFF, "Failed to send 'Tx off' request packet", "Set to defaults"),
                 (WRITE, "Failed to send configuration packet", ""))
        for button, message, status in cases:
            with self.subTest(message):
                self.assertEqual("pending", tool.click(button))
                shown, owner = tool.box(ERROR_CAPTION)
                self.assertEqual(message + "|icon=error", shown)
                self.assertEqual("sheet", owner)
                self.assertEqual(status, tool.status())
        # With Ctrl held the failure is still the only box: the debug box needs a send.
        self.assertEqual("pending", self.d("click-with-ctrl", CONFIG, WRITE))
        shown, _ = tool.box(ERROR_CAPTION)
        self.assertEqual("Failed to send configuration packet|icon=error", shown)
        self.assertTrue(tool.no_box_now(DEBUG_CAPTION))
        self.assertEqual([], tool.sim.received())


class Files(ToolCase):
    def save(self, path):
        self.assertEqual("pending", self.tool.click(SAVE))
        return self.d("file-dialog", SAVE_CAPTION, wine_path(path), 15000)

    def open(self, path):
        self.assertEqual("pending", self.tool.click(OPEN))
        return self.d("file-dialog", OPEN_CAPTION, wine_path(path), 15000)

    def wait_file(self, path, content, timeout=10):
        end = time.time() + timeout
        while time.time() < end:
            if os.path.exists(path):
                with open(path, "rb") as f:
                    if f.read() == content:
                        return
            time.sleep(0.05)
        self.fail("%s never held %r" % (path, content))

    def test_save_then_open_round_trips_a_record(self):
        tool = self.tool
        folder = os.path.join(TMP, "configs")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "saved.vtl")
        self.d("set-text", CONFIG, IO_ID, "9")
        self.d("click", CONFIG, ADCS_USED)
        self.d("click", CONFIG, USE_AVAIL)
        self.d("combo-select", CONFIG, BAUD, 0)
        # A new file: the extension is added. (Wine's dialog does not ask before creating.)
        self.save(os.path.join(folder, "saved"))
        record = bytes([0x09, 0xBD, 0x3F, 0x12, 0x06, 0x20, 0x0F])
        self.wait_file(path, record)
        self.assertEqual("Set to defaults", tool.status())  # Save leaves the status alone

        tool.click(DEFAULT)
        self.assertEqual(DEFAULTS_SHOWN, tool.shown_record())
        self.assertEqual("", self.open(path))
        saved_shown = dict(DEFAULTS_SHOWN, io=("1", "9", "1"), adcs=("1", "63", "1"),
                           options="000010", baud="300/1200")
        end = time.time() + 10
        while tool.shown_record() != saved_shown and time.time() < end:
            time.sleep(0.1)
        self.assertEqual(saved_shown, tool.shown_record())

        # Saving over it asks first, then replaces it.
        self.d("click", CONFIG, ADCS_USED)
        prompts = self.save(path)
        self.assertIn("exists", prompts)
        self.wait_file(path, bytes([0x09, 0xBD, 0xBF, 0x12, 0x06, 0x20, 0x0F]))

        # Cancelling either dialog changes nothing.
        for button, caption in ((OPEN, OPEN_CAPTION), (SAVE, SAVE_CAPTION)):
            self.assertEqual("pending", tool.click(button))
            self.d("wait-window", caption, 15000)
            self.d("press", caption, "Cancel")
            self.d("wait-gone", caption, 5000)
        self.assertTrue(tool.no_box_now(ERROR_CAPTION))
        self.assertEqual("Set to defaults", tool.status())

    def test_save_onto_a_file_another_program_holds_open(self):
        """Saved whenever the holder's sharing lets a writer in; otherwise the box, and
        the old bytes kept. Never a temporary file left beside it."""
        folder = os.path.join(TMP, "held-%d" % os.getpid())
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "held.vtl")
        old = bytes([0x05] * 7)
        cases = (  # driver's hold arguments, saved
            (("read-write", "reader"), True),  # a viewer letting others read and write
            (("read", "reader"), False),       # the system lets no writer in
            (("none",), False),
        )
        wrong = []
        for hold, saved in cases:
            with open(path, "wb") as f:
                f.write(old)
            self.d("hold", wine_path(path), *hold)
            try:
                self.save(path)
                if saved:
                    self.wait_file(path, DEFAULT_RECORD)
                    shown = None if self.tool.no_box_now(ERROR_CAPTION) else "a box"
                else:
                    shown = self.tool.box(ERROR_CAPTION)[0]
            finally:
                self.d("release")
            with open(path, "rb") as f:
                content = f.read()
            expected = (None if saved else "Failed to create/open config file|icon=error",
                        DEFAULT_RECORD if saved else old, ["held.vtl"])
            if (shown, content, sorted(os.listdir(folder))) != expected:
                wrong.append((hold, shown, content, sorted(os.listdir(folder))))
        self.assertEqual([], wrong)

    def test_wrong_size_and_uncreatable_files_are_refused(self):
        tool = self.tool
        short = os.path.join(TMP, "short.vtl")
        with open(short, "wb") as out:
            out.write(DEFAULT_RECORD[:6])
        self.d("set-text", CONFIG, IO_ID, "12")
        self.d("click", CONFIG, WRITE)  # the page now shows 12 as stored
        tool.wait_status("Write command successful")
        before = tool.shown_record()
        self.open(short)
        shown, owner = tool.box(ERROR_CAPTION)
        self.assertEqual("Config file is wrong size|icon=error", shown)
        self.assertEqual("none", owner)  # the desktop's
        self.assertEqual(before, tool.shown_record())
        self.assertEqual("Write command successful", tool.status())

        # A folder in which nothing can be created, not even by root.
        locked = os.path.join(TMP, "locked")
        os.makedirs(locked, exist_ok=True)
        if subprocess.run(["chattr", "+i", locked], capture_output=True).returncode != 0:
            self.skipTest("cannot make an unwritable folder here (chattr +i)")
        try:
            self.save(os.path.join(locked, "new.vtl"))
            shown, owner = tool.box(ERROR_CAPTION)
            self.assertEqual("Failed to create/open config file|icon=error", shown)
            self.assertEqual("sheet", owner)  # the page's, as a top-level owner
            self.assertEqual(os.listdir(locked), [])
            self.assertEqual("Write command successful", tool.status())
        finally:
            subprocess.run(["chattr", "-i", locked], check=False)


@unittest.skipUnless(os.environ.get("VTL_E2E_PAIR") == "1 2",
                     "needs COM1<->COM2 as a connected pair (run-e2e.sh --pair 1 2)")
class WindowsSimulator(unittest.TestCase):
    """vtl-unit-sim.exe on COM2 of a connected pair and the tool on COM1, as a Windows
    user pairs them with a null-modem emulator."""

    def test_read_is_answered_through_a_com_port_pair(self):
        tool = ConfigTool(sim=Simulator("--seed", "7", windows_port="COM2"))
        try:
            self.assertIn("unit K4-ZVL firmware v1.3 on \\\\.\\COM2", tool.sim.path)
            tool.click(READ)
            tool.wait_status("Read complete (F/W v1.3)")
            self.assertEqual(DEFAULTS_SHOWN, tool.shown_record())
            self.assertEqual(quoted(frame(b"~R")), tool.sim.received()[-1])
            tool.sim.wait_for("tx \"\\n~r3110C3DBFB216000D0")
        finally:
            tool.close()

    def test_command_line_is_the_linux_one_but_for_the_line(self):
        def run(*args):
            done = subprocess.run(["wine", os.path.join(BUILD, "vtl-unit-sim.exe")] + list(args),
                                  capture_output=True, text=True, timeout=60)
            return done.returncode, (done.stdout + done.stderr).replace("\r", "")
        cases = [
            ((), 2, "--device PORT is needed"),
            (("--wine-prefix", "/tmp", "--com", "1"), 2, "option --wine-prefix is for Linux only"),
            (("--device", "COM2", "--nak", "--run-for", "9"), 2,
             "option --nak needs a value, not the option '--run-for'"),
            (("--device=COM2", "--firmware=1.x"), 2, "'1.x' is not a version X.Y"),
            # No such port: Windows' own reason, for the device name the tool would use.
            (("--device", "COM14"), 1, "cannot open serial device '\\\\.\\COM14': "),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                got_status, output = run(*args)
                self.assertEqual(status, got_status, output)
                self.assertIn(message, output)
        status, usage = run("--help")
        self.assertEqual(0, status)
        self.assertIn("--device PORT", usage)
        self.assertNotIn("--wine-prefix", usage)

if __name__ == "__main__":
    unittest.main(verbosity=2)
