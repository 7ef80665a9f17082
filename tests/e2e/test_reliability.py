"""The running tool when things go wrong or pile up: a device that vanishes while open,
opening and closing the port over and over during a flood, and the log file during a
flood and while another program holds it. Each test counts what it tried and what was
lost, and says so in its failure message.

Lengths come from the environment, so ./soak.sh runs the same tests at full length:
    VTL_OPEN_CLOSE_CYCLES  open/close cycles under the flood (default 60; soak: 1000)
    VTL_LOG_FLOOD_FRAMES   frames flooded while the log file is on (default 1500)
    VTL_CONFIG_ALL_SIZES   set: open configuration files of every size from 0 to 100
    VTL_SOAK_SECONDS       the soak at 1,000 frames/s with the log file on (default 15;
                           soak: 600)
"""
import os
import re
import select
import subprocess
import sys
import threading
import time
import unittest

from vtltest.peer import ACK, Flooder, frame, log_text, numbered_controls
from vtltest.processes import cpu_seconds, fd_count, rss_kib, tool_process, wineserver_process
from vtltest.vtl_e2e import (ABSENT, ERROR_CAPTION, TMP, DriverError, FolderOpens, Port,
                     Simulator, Tool, fill_disk, map_com_absent, map_drive, mount_small_disk,
                     unmap_drive, unmount_small_disk, wine_path)

IDC_LOG_BOX, IDC_PORT_COMBO, IDC_RESPOND, IDC_LOG_TO_FILE = 1016, 1012, 1019, 1094
COM1_OPENED, COM1_LOST = "'\\\\.\\COM1' opened", "'\\\\.\\COM1' lost"
NONE, COM1, COM2 = 0, 1, 2
CYCLES = int(os.environ.get("VTL_OPEN_CLOSE_CYCLES", "60"))
LOG_FRAMES = int(os.environ.get("VTL_LOG_FLOOD_FRAMES", "1500"))
SOAK_SECONDS = float(os.environ.get("VTL_SOAK_SECONDS", "15"))
CONFIG_SIZES = (range(101) if os.environ.get("VTL_CONFIG_ALL_SIZES")
                else (0, 1, 6, 7, 8, 100))
SOAK_RATE = 1000  # 100 times the ten "C" frames a second the 2400-baud line carries
# Processor time the tool and its wineserver may use together between two tries at a
# lost port, which come a second apart: 5 % of a core. A reader thread left looping
# on a vanished device, or a try that spins, takes far more.
CPU_PER_TRY = 0.05


class Running(Tool):
    """The tool, started once COM1 is mapped, with the comms page's log and port list
    at hand."""

    def __init__(self, cwd=TMP):
        super().__init__(cwd=cwd, com1=False)
        self.d = self.driver

    def log_text(self):
        return self.d("text", 0, IDC_LOG_BOX)

    def select(self, index):
        """Chooses a port entry; fails if the page does not come back within 500 ms."""
        self.assertion = self.d("combo-select", 0, IDC_PORT_COMBO, index)
        if self.assertion == "pending":
            raise AssertionError("choosing entry %d did not return within 500 ms" % index)

    def no_message_box(self):
        return self.no_box(ERROR_CAPTION, 300)


def assert_quiet_over_tries(test, tries, when, count=3):
    """The tool and our wineserver use little processor time from the next try at the
    lost port to `count` tries after it. The tries, made on the tool's own
    once-a-second timer, mark the span: nothing here sleeps to make one."""
    processes = [p for p in (tool_process(), wineserver_process()) if p]
    first = tries.wait(tries.count + 1, 5)
    before, start = cpu_seconds(processes), time.monotonic()
    seen = tries.wait(first + count, 3 * count)
    used, took = cpu_seconds(processes) - before, time.monotonic() - start
    test.assertEqual(first + count, seen, "tries to open the lost port in %.1f s" % took)
    print("%s: tool and wineserver used %.0f ms of processor time over %d tries (%.1f s)"
          % (when, 1000 * used, count, took), file=sys.stderr)
    test.assertLess(used, count * CPU_PER_TRY, "tool and wineserver used %.0f ms over %d tries"
                    % (1000 * used, count))


class DeviceVanishes(unittest.TestCase):
    """The device goes away while open: the far end of the pty closes, or the unit
    simulator is killed in the middle of a flood."""

    def check_after_loss(self, tool, lose):
        """lose() takes COM1's device away. COM1 names nothing from just before, so the
        tool's tries never find a pty that another program (a test running beside this
        one) got with the freed number."""
        tries = FolderOpens(ABSENT)
        try:
            map_com_absent(1)
            lose()
            tool.d("wait-text", 0, IDC_LOG_BOX, COM1_LOST, 2000)
            self.assertIsNotNone(tool_process())
            # The span starts at a try: the reader has noticed and the port is closed.
            assert_quiet_over_tries(self, tries, "after the loss")
        finally:
            tries.close()
        # The window answers (the driver gives up on a hung window after 2 s).
        tool.log_text()
        tool.select(NONE)
        tool.d("wait-text", 0, IDC_LOG_BOX, "Port closed", 3000)
        # Another port works.
        other = Port(2)
        try:
            tool.select(COM2)
            tool.d("wait-text", 0, IDC_LOG_BOX, "COM2' opened", 3000)
            self.assertTrue(other.wait(True, 3))
            os.write(other.master, numbered_controls(0x2222))
            tool.d("wait-text", 0, IDC_LOG_BOX, "Rx: " + log_text(numbered_controls(0x2222)), 3000)
            tool.select(NONE)
        finally:
            other.close()
        # The device comes back (a new pty behind COM1) and opens again.
        back = Port(1)
        try:
            tool.select(COM1)
            self.assertTrue(back.wait(True, 3), "COM1 was not opened again")
            os.write(back.master, numbered_controls(0x1111))
            tool.d("wait-text", 0, IDC_LOG_BOX, "Rx: " + log_text(numbered_controls(0x1111)), 3000)
            self.assertTrue(tool.no_message_box())
        finally:
            back.close()

    def test_far_end_of_the_pty_closes(self):
        port = Port(1)
        tool = Running()
        try:
            self.assertTrue(port.wait(True, 10), "COM1 was not opened")
            os.write(port.master, numbered_controls(1))
            tool.d("wait-text", 0, IDC_LOG_BOX, "Rx: ", 3000)
            self.check_after_loss(tool, port.close)
        finally:
            tool.close()

    def test_simulator_killed_during_a_flood(self):
        sim = Simulator("--flood", "1000")
        tool = Running()
        try:
            tool.d("wait-text", 0, IDC_LOG_BOX, "Rx: C", 10000)
            time.sleep(0.5)
            self.check_after_loss(tool, sim.kill)
        finally:
            tool.close()
            sim.close()


class LostFixture(unittest.TestCase):
    """The tool with COM1 open on our pty, whose device the test takes away."""
    unmanaged_windows = False

    def setUp(self):
        self.port = Port(1)
        self.back = None
        if self.unmanaged_windows:
            self.set_windows_managed(False)
            self.addCleanup(self.set_windows_managed, True)
        self.tool = Running()
        self.d = self.tool.d
        self.assertTrue(self.port.wait(True, 10), "COM1 was not opened")
        self.d("wait-text", 0, IDC_LOG_BOX, COM1_OPENED, 5000)

    def tearDown(self):
        self.tool.close()
        self.port.close()
        if self.back:
            self.back.close()

    @staticmethod
    def set_windows_managed(managed):
        """Wine hands a top-level window to the window manager ("managed") by default,
        and when it hides one waits up to 2 s for the manager to withdraw it (winex11's
        wait_for_withdrawn_state). Xvfb runs none, so under it every exit costs those
        2 s; unmanaged windows (HKCU\\Software\\Wine\\X11 Driver, Managed "N", read
        when a program starts) are not waited for."""
        key = "HKCU\\Software\\Wine\\X11 Driver"
        if managed:
            command = ["wine", "reg", "delete", key, "/v", "Managed", "/f"]
        else:
            command = ["wine", "reg", "add", key, "/v", "Managed", "/t", "REG_SZ", "/d", "N", "/f"]
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)

    def log_lines(self):
        """The log's texts, without their time stamps."""
        return [line.split("\t", 1)[-1] for line in self.tool.log_text().split("\r\n") if line]

    def lose_com1(self):
        """COM1 names nothing from now on, as in check_after_loss, and self.tries counts
        the tool's tries at it; then our end of COM1 closes."""
        self.tries = FolderOpens(ABSENT)
        self.addCleanup(self.tries.close)
        map_com_absent(1)
        self.port.close()
        start = time.monotonic()
        self.d("wait-text", 0, IDC_LOG_BOX, COM1_LOST, 2000)
        print("lost line %.0f ms after the far end closed" % (1000 * (time.monotonic() - start)),
              file=sys.stderr)

    def wait_for_lines(self, wanted, seconds):
        """The log's lines once `wanted` holds for them, or the last ones seen."""
        end = time.monotonic() + seconds
        while True:
            lines = self.log_lines()
            if wanted(lines) or time.monotonic() > end:
                return lines
            time.sleep(0.05)


class LostAndBack(LostFixture):
    """COM1's device goes away while open: one line says so, no box, the list keeps
    COM1, and the tool opens it again by itself about once a second until it is back,
    unless the user chooses another entry meanwhile."""

    def test_lost_once_quietly_then_opened_again_when_back(self):
        log_file = os.path.join(TMP, "ZVL-Log.txt")
        if os.path.exists(log_file):
            os.remove(log_file)
        self.d("click", 0, IDC_LOG_TO_FILE)
        self.lose_com1()
        assert_quiet_over_tries(self, self.tries, "while lost")
        self.assertTrue(self.tool.no_message_box(), "a box was shown for the loss or a try")
        self.assertEqual("COM1", self.d("combo-text", 0, IDC_PORT_COMBO))
        self.assertEqual([COM1_OPENED, COM1_LOST], self.log_lines(), "failed tries were logged")
        # Sends fail as with no port: ticking "Respond to messages" sends at once.
        self.assertEqual("pending", self.d("click", 0, IDC_RESPOND))
        self.assertEqual("Failed to send indications packet|icon=error",
                         self.d("wait-window", ERROR_CAPTION, 5000))
        self.d("press", ERROR_CAPTION, "OK")
        self.d("wait-gone", ERROR_CAPTION, 5000)
        self.d("click", 0, IDC_RESPOND)  # cleared again: nothing is sent
        # The device comes back as a new pty behind COM1.
        self.back = Port(1)
        start = time.monotonic()
        lines = self.wait_for_lines(lambda l: l[-1:] == [COM1_OPENED], 3.0)
        print("opened again %.0f ms after the device came back" % (1000 * (time.monotonic() - start)),
              file=sys.stderr)
        self.assertEqual([COM1_OPENED, COM1_LOST, COM1_OPENED], lines)
        # The file has the same lines from the tick on: the loss and the opening.
        with open(log_file, "rb") as f:
            texts = [line.split(b"\t")[-1].decode() for line in f.read().split(b"\r\n") if line]
        self.assertEqual([COM1_LOST, COM1_OPENED], texts)
        self.assertTrue(self.back.wait(True, 1), "COM1's new device is not held open")
        self.assertTrue(self.tool.no_message_box())
        # Frames flow again: an "A" frame is acknowledged and logged.
        os.write(self.back.master, frame(b"A1"))
        got = b""
        end = time.monotonic() + 3
        while ACK not in got and time.monotonic() < end:
            if select.select([self.back.master], [], [], 0.1)[0]:
                got += os.read(self.back.master, 64)
        self.assertIn(ACK, got, "no ACK after reopening")
        self.d("wait-text", 0, IDC_LOG_BOX, "Rx: " + log_text(frame(b"A1")), 3000)

    def test_choosing_none_while_lost_ends_the_tries(self):
        self.lose_com1()
        self.tool.select(NONE)
        self.d("wait-text", 0, IDC_LOG_BOX, "Port closed", 1000)
        self.back = Port(1)
        time.sleep(2.5)  # two tries would have opened it by now
        self.assertFalse(self.back.held_open(), "COM1 was opened after \"None\"")
        self.assertEqual([COM1_OPENED, COM1_LOST, "Port closed"], self.log_lines())
        self.assertEqual("None", self.d("combo-text", 0, IDC_PORT_COMBO))

    def test_choosing_another_port_while_lost_ends_the_tries(self):
        self.lose_com1()
        other = Port(2)
        try:
            self.tool.select(COM2)
            self.d("wait-text", 0, IDC_LOG_BOX, "COM2' opened", 3000)
            self.back = Port(1)
            time.sleep(2.5)
            self.assertFalse(self.back.held_open(), "COM1 was opened after choosing COM2")
            self.assertTrue(other.held_open(), "COM2 was let go")
            self.assertEqual([COM1_OPENED, COM1_LOST, "'\\\\.\\COM2' opened"], self.log_lines())
        finally:
            other.close()


class ClosingWhileLost(LostFixture):
    """Closing the sheet while the tool tries to open a lost port ends the process at
    once. Its windows are unmanaged here, so that the time is the tool's own and not
    Wine's wait for a window manager that Xvfb does not have."""
    unmanaged_windows = True

    def test_closing_while_lost_exits_within_a_second(self):
        self.lose_com1()
        time.sleep(1.5)  # a try or two have run
        start = time.monotonic()
        self.d("close")
        self.d("wait-exit", 5000)
        took = time.monotonic() - start
        print("closing while lost took %.0f ms" % (1000 * took), file=sys.stderr)
        self.assertLess(took, 1.0)


class OpenCloseUnderFlood(unittest.TestCase):
    """COM1 closed and opened again CYCLES times while the simulator floods controls
    frames: every choice returns, the process lives, its handles and memory stay flat."""

    def test_open_close_cycles(self):
        port = Port(1)
        tool = Running()
        flood = None
        try:
            self.assertTrue(port.wait(True, 10), "COM1 was not opened")
            flood = Flooder(port.master, 1000)
            tool.d("wait-text", 0, IDC_LOG_BOX, "Rx: C", 10000)
            process = tool_process()
            warm = min(20, CYCLES // 3)
            samples = []
            for cycle in range(CYCLES):
                tool.select(NONE)
                tool.select(COM1)
                time.sleep(0.02)
                if cycle + 1 == warm or cycle + 1 == CYCLES:
                    time.sleep(0.3)
                    working = int(tool.d("memory").split()[0])
                    samples.append((int(tool.d("handles")), working, fd_count(process)))
            self.assertIsNone(tool.process.poll(), "the tool ended")
            tool.d("wait-text", 0, IDC_LOG_BOX, "Rx: C", 5000)  # frames still come in
            (h0, m0, f0), (h1, m1, f1) = samples
            summary = ("%d cycles under %d frames written (%d refused while closed): handles "
                       "%d -> %d, working set %.1f -> %.1f MiB, fds %d -> %d"
                       % (CYCLES, flood.sent, flood.refused, h0, h1, m0 / 1048576, m1 / 1048576,
                          f0, f1))
            print(summary, file=sys.stderr)
            self.assertLessEqual(h1 - h0, 5, summary)
            self.assertLessEqual(f1 - f0, 5, summary)
            self.assertLess(m1 - m0, 4 * 1048576, summary)
        finally:
            if flood:
                flood.stop()
            tool.close()
            port.close()


class LogFileFixture(unittest.TestCase):
    """The tool on COM1, our end of it, and ZVL-Log.txt in its folder."""
    folder = TMP

    def setUp(self):
        self.log_file = os.path.join(self.folder, "ZVL-Log.txt")
        if os.path.exists(self.log_file):
            os.remove(self.log_file)
        self.port = Port(1)
        self.tool = Running(self.folder)
        self.assertTrue(self.port.wait(True, 10), "COM1 was not opened")

    def tearDown(self):
        self.tool.close()
        self.port.close()

    def flood(self, first, count):
        """Writes count numbered frames as fast as the pty takes them, while our end
        is drained of anything the tool sends."""
        frames = b"".join(numbered_controls(first + i) for i in range(count))
        done = threading.Event()

        def drain():
            while not done.is_set():
                if select.select([self.port.master], [], [], 0.05)[0]:
                    try:
                        os.read(self.port.master, 4096)
                    except OSError:
                        return
        reader = threading.Thread(target=drain)
        reader.start()
        try:
            view = memoryview(frames)
            while view:
                view = view[os.write(self.port.master, view[:4096]):]
        finally:
            done.set()
            reader.join()
        return [numbered_controls(first + i)[1:-1].decode() for i in range(count)]

    def notices(self):
        """The box's lines about the log file, without their times."""
        return re.findall(r"\t(ZVL-Log\.txt [^\r]*)\r\n", self.tool.log_text())

    def file_rx_lines(self):
        with open(self.log_file, "rb") as f:
            text = f.read().decode("ascii")
        return [m.group(1) for m in re.finditer(r"\tRx: (\S+)\r\n", text)]


class LogFileDuringFlood(LogFileFixture):
    def test_every_flooded_line_in_the_file_in_order(self):
        self.tool.d("click", 0, IDC_LOG_TO_FILE)
        self.assertEqual("1", self.tool.d("check-state", 0, IDC_LOG_TO_FILE))
        sent = self.flood(0, LOG_FRAMES)
        self.tool.d("wait-text", 0, IDC_LOG_BOX, "Rx: " + sent[-1], 60000)
        logged = self.file_rx_lines()
        lost = len(set(sent) - set(logged))
        self.assertEqual(sent, logged, "%d sent, %d in the file, %d lost"
                         % (len(sent), len(logged), lost))
        # Each line of the file: date, tab, time, tab, text, CR LF.
        with open(self.log_file, "rb") as f:
            for line in f.read().split(b"\r\n")[:-1]:
                self.assertEqual(2, line.count(b"\t"), line)

    def test_file_held_without_write_sharing_lines_go_to_the_box_only(self):
        self.tool.d("hold", wine_path(self.log_file), "read")  # others may read, not write
        self.tool.d("click", 0, IDC_LOG_TO_FILE)
        sent = self.flood(100, 50)
        self.tool.d("wait-text", 0, IDC_LOG_BOX, "Rx: " + sent[-1], 20000)
        self.assertTrue(self.tool.no_message_box(), "a box was shown")
        self.assertEqual(0, os.path.getsize(self.log_file), "lines reached a held file")
        # Said once in the box, after the first line that was lost.
        self.assertEqual(["ZVL-Log.txt not written: Sharing violation."],
                         self.notices(), "Wine's text for ERROR_SHARING_VIOLATION")
        # Released, the file takes the next lines again, and the box says how many
        # were lost meanwhile.
        self.tool.d("release")
        sent = self.flood(200, 5)
        self.tool.d("wait-text", 0, IDC_LOG_BOX, "Rx: " + sent[-1], 20000)
        self.assertEqual(sent, self.file_rx_lines())
        self.assertEqual("ZVL-Log.txt written again (50 lines missing)", self.notices()[-1])


class LogFileOnAFullDisk(LogFileFixture):
    """The tool's folder on a 64 KiB tmpfs, also mapped as drive X: as a small USB stick
    would be, filled by another file while frames pour in, then freed."""

    def setUp(self):
        self.folder = os.path.join(TMP, "small-disk")
        if not mount_small_disk(self.folder):
            self.skipTest("cannot mount a small tmpfs here")
        self.addCleanup(unmount_small_disk, self.folder)
        map_drive("X", self.folder)
        self.addCleanup(unmap_drive, "X")
        super().setUp()

    def test_lines_stay_whole_and_the_box_counts_what_was_lost(self):
        self.tool.d("click", 0, IDC_LOG_TO_FILE)
        sent = self.flood(0, 20)
        self.tool.d("wait-text", 0, IDC_LOG_BOX, "Rx: " + sent[-1], 20000)
        filler = os.path.join(self.folder, "filler")
        fill_disk(filler)  # to the last page the disk has
        # Ten at a time until the file's own last page is full too.
        while not self.notices() and len(sent) < 400:
            sent += self.flood(len(sent), 10)
            self.tool.d("wait-text", 0, IDC_LOG_BOX, "Rx: " + sent[-1], 20000)
        sent += self.flood(len(sent), 10)
        self.tool.d("wait-text", 0, IDC_LOG_BOX, "Rx: " + sent[-1], 20000)
        self.assertEqual(["ZVL-Log.txt not written: Disk full."], self.notices(),
                         "after %d lines; Wine's text for ERROR_DISK_FULL" % len(sent))
        self.assertTrue(self.tool.no_message_box(), "a box was shown")

        os.remove(filler)
        after = self.flood(len(sent), 5)
        self.tool.d("wait-text", 0, IDC_LOG_BOX, "Rx: " + after[-1], 20000)
        with open(self.log_file, "rb") as f:
            text = f.read().decode("ascii")
        # Every line whole: date, tab, time, tab, text, CR LF, and nothing after the last.
        line = r"[^\t\r\n]+\t[^\t\r\n]+\tRx: C002[0-9A-F]{10}\r\n"
        self.assertTrue(re.fullmatch("(%s)+" % line, text), "a torn line: %r" % text[-300:])
        kept = self.file_rx_lines()
        # The lines before the disk filled, then the five after it was freed.
        self.assertEqual(sent[:len(kept) - 5] + after, kept)
        missing = len(sent) - (len(kept) - 5)
        self.assertGreater(missing, 10)
        self.assertEqual("ZVL-Log.txt written again (%d lines missing)" % missing,
                         self.notices()[-1])


class Soak(LogFileFixture):
    """SOAK_SECONDS of 1,000 numbered frames a second with the log file on: every frame
    the pty took is in the file, in order, and the working set stays flat."""

    def test_flood_with_the_log_file_on(self):
        self.tool.d("click", 0, IDC_LOG_TO_FILE)
        process = tool_process()
        flood = Flooder(self.port.master, SOAK_RATE)
        try:
            time.sleep(min(5.0, SOAK_SECONDS / 3))
            first = int(self.tool.d("memory").split()[0]), rss_kib(process)
            time.sleep(SOAK_SECONDS - min(5.0, SOAK_SECONDS / 3))
        finally:
            flood.stop()
        last = log_text(numbered_controls(flood.written[-1]))
        self.tool.d("wait-text", 0, IDC_LOG_BOX, "Rx: " + last, 60000)
        end = int(self.tool.d("memory").split()[0]), rss_kib(process)
        sent = [log_text(numbered_controls(n)) for n in flood.written]
        logged = self.file_rx_lines()
        summary = ("%.0f s at %d frames/s: %d written, %d refused by a full pty, %d in the file, "
                   "%d lost; working set %.1f -> %.1f MiB, VmRSS %.1f -> %.1f MiB"
                   % (SOAK_SECONDS, SOAK_RATE, len(sent), flood.refused, len(logged),
                      len(set(sent) - set(logged)), first[0] / 1048576, end[0] / 1048576,
                      first[1] / 1024, end[1] / 1024))
        print(summary, file=sys.stderr)
        self.assertEqual(0, flood.refused, summary)
        self.assertTrue(sent == logged, summary)
        self.assertLess(end[0] - first[0], 4 * 1048576, summary)


class ConfigFiles(unittest.TestCase):
    """Opening and saving configuration files that cannot work: the right message each
    time, the page unchanged, and a previous file never lost by a failed save."""
    OPEN, SAVE, IO_ID = 1018, 1016, 1035
    OPEN_CAPTION, SAVE_CAPTION = "Open config file", "Save config file"

    def setUp(self):
        self.port = Port(1)
        self.tool = Running()
        self.d = self.tool.d
        self.d("page", 1)
        self.d("wait-text", 1, 1011, "Set to defaults", 5000)

    def tearDown(self):
        self.tool.close()
        self.port.close()

    def through_dialog(self, button, caption, path):
        self.assertEqual("pending", self.d("click", 1, button))
        try:
            self.d("file-dialog", caption, wine_path(path) if path.startswith("/") else path, 15000)
        except DriverError as e:
            if "unknown command" in str(e):
                self.skipTest("the driver has no file-dialog command")
            raise

    def message(self):
        """The error box's text, closed again; None when no box came."""
        try:
            shown = self.d("wait-window", ERROR_CAPTION, 3000)
        except DriverError:
            return None
        self.d("press", ERROR_CAPTION, "OK")
        self.d("wait-gone", ERROR_CAPTION, 5000)
        return shown.split("|")[0]

    def test_every_size_but_seven_is_refused_and_the_page_kept(self):
        typed = "21"
        self.d("set-text", 1, self.IO_ID, typed)
        wrong = []
        for size in CONFIG_SIZES:
            path = os.path.join(TMP, "size-%d.vtl" % size)
            with open(path, "wb") as f:
                f.write(bytes([0x05] * size))
            self.through_dialog(self.OPEN, self.OPEN_CAPTION, path)
            shown = self.message()
            expected = None if size == 7 else "Config file is wrong size"
            if shown != expected:
                wrong.append((size, shown))
            if size == 7:
                typed = "5"  # the file's record, IO ID 5, is on the page now
            # Otherwise left as it was: not a byte of the file.
            self.assertEqual(typed, self.d("text", 1, self.IO_ID), "after %d bytes" % size)
        self.assertEqual([], wrong, "%d sizes tried" % len(CONFIG_SIZES))

    def test_a_full_disk_keeps_the_previous_file(self):
        full = os.path.join(TMP, "full")
        if not mount_small_disk(full):
            self.skipTest("cannot mount a small tmpfs here")
        try:
            previous = bytes([0x3C, 0xBD, 0xBF, 0x12, 0x06, 0x00, 0x0D])
            with open(os.path.join(full, "kept.vtl"), "wb") as f:
                f.write(previous)
            fill_disk(os.path.join(full, "filler"))  # to the last page
            map_drive("X", full)
            self.d("set-text", 1, self.IO_ID, "33")
            self.through_dialog(self.SAVE, self.SAVE_CAPTION, "X:\\kept.vtl")
            self.assertEqual("Failed to create/open config file", self.message())
            with open(os.path.join(full, "kept.vtl"), "rb") as f:
                self.assertEqual(previous, f.read(), "the previous file was changed")
            self.assertEqual(["filler", "kept.vtl"], sorted(os.listdir(full)))
            self.assertEqual("33", self.d("text", 1, self.IO_ID))
        finally:
            unmap_drive("X")
            unmount_small_disk(full)


if __name__ == "__main__":
    unittest.main(verbosity=2)
