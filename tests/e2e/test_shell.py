"""The application shell seen from outside: the sheet as it opens, its tabs and
buttons, the lazily made "K4 Config" page, help, and closing."""
import os
import shutil
import subprocess
import time
import unittest

from vtltest.vtl_e2e import (BUILD, CAPTION, ERROR_CAPTION, TMP, DriverError, Tool,
                     copy_exe_alone, wine_path)

IDOK, IDCANCEL, IDAPPLY, IDHELP = 1, 2, 0x3021, 9
IDC_STATUS = 1011  # "K4 Config" status line


class SheetAtStart(unittest.TestCase):
    def setUp(self):
        self.tool = Tool()
        self.d = self.tool.driver

    def tearDown(self):
        self.tool.close()

    def test_caption_tabs_and_start_page(self):
        self.assertEqual(CAPTION, self.d("caption", "sheet"))
        self.assertEqual("ZVL comms|K4 Config", self.d("tabs"))
        self.assertEqual("0", self.d("cursel"))

    def test_one_command_button_close_no_ok_no_apply(self):
        children = [c.split(":", 3) for c in self.d("children", "sheet").split(";")]
        visible_buttons = {int(i): text for i, cls, shown, text in children
                           if cls.lower() == "button" and shown == "1"}
        self.assertEqual("Close", visible_buttons.get(IDCANCEL))
        self.assertNotIn(IDOK, visible_buttons)
        self.assertNotIn(IDAPPLY, visible_buttons)
        # The platform may add Help for pages that have help; nothing else may show.
        self.assertLessEqual(set(visible_buttons), {IDCANCEL, IDHELP})
        self.assertEqual("0", self.d("enabled", "sheet", IDOK))

    def test_centred_on_the_screen(self):
        left, top, right, bottom = map(int, self.d("rect", "sheet").split())
        _, _, work_left, work_top, work_right, work_bottom = map(int, self.d("screen").split())
        self.assertAlmostEqual((work_left + work_right) / 2, (left + right) / 2, delta=2)
        self.assertAlmostEqual((work_top + work_bottom) / 2, (top + bottom) / 2, delta=2)

    def test_config_page_made_when_first_selected_and_kept(self):
        self.assertEqual("0", self.d("page-created", 1))
        self.d("page", 1)
        self.assertEqual("1", self.d("cursel"))
        self.assertEqual("1", self.d("page-created", 1))
        first = self.d("rect", 1)
        page_window = self.d("children", "sheet")
        self.d("page", 0)
        self.assertEqual("0", self.d("cursel"))
        self.d("page", 1)
        # Same window on the second visit: it was not made (and initialised) again.
        self.assertEqual(page_window, self.d("children", "sheet"))
        self.assertEqual(first, self.d("rect", 1))
        self.assertEqual("Set to defaults", self.d("wait-text", 1, IDC_STATUS, "Set to defaults", 3000))


class Closing(unittest.TestCase):
    """Each way of closing ends the program with PropertySheetA's result (0: nothing
    was applied), also when "K4 Config" was never opened."""

    def test_every_way_of_closing(self):
        ways = [("Close button", ("click", "sheet", IDCANCEL)),
                ("Esc", ("key", "ESC")),
                ("close box", ("close",))]
        for name, command in ways:
            with self.subTest(name):
                tool = Tool()
                try:
                    self.assertEqual("0", tool.driver("page-created", 1))
                    tool.driver(*command)
                    self.assertEqual(0, tool.exit_status())
                finally:
                    tool.close()

    def test_closing_with_the_port_open_releases_it(self):
        tool = Tool()
        try:
            # The comms page opens COM1 by itself shortly after start.
            self.assertTrue(tool.port.wait(held=True, timeout=10), "COM1 was never opened")
            tool.driver("click", "sheet", IDCANCEL)
            self.assertTrue(tool.port.wait(held=False, timeout=10), "COM1 was not released")
            self.assertEqual(0, tool.exit_status())
        finally:
            tool.close()


# A folder name outside the ANSI code page (1252 in Wine's English locale): Greek, CJK
# and an emoji (two UTF-16 units).
WIDE_NAME = "Ωμέγα 設定 😀"


class Help(unittest.TestCase):
    def test_missing_help_file_is_reported_with_its_path_from_either_page(self):
        for name in ("help missing", "help missing " + WIDE_NAME):
            with self.subTest(folder=name):
                folder = os.path.join(TMP, name)
                exe = copy_exe_alone(folder)
                # Started from elsewhere: the file is looked for beside the exe, not here.
                tool = Tool(exe=exe, cwd=TMP)
                try:
                    expected = "Failed to open %s\\VTL_K4ZVL.pdf|icon=information" % wine_path(folder)
                    for page in (0, 1):
                        tool.driver("page", page)
                        tool.driver("focus", page, 1018)  # a button on either page
                        tool.driver("key", "F1")
                        self.assertEqual(expected, tool.driver("wait-window", ERROR_CAPTION, 5000), page)
                        tool.driver("press", ERROR_CAPTION, "OK")
                        tool.driver("wait-gone", ERROR_CAPTION, 5000)
                finally:
                    tool.close()

    def test_help_file_is_opened_from_the_exe_folder_whatever_the_current_folder(self):
        folder = os.path.join(TMP, "with help " + WIDE_NAME)
        exe = copy_exe_alone(folder)
        shutil.copy(os.path.join(BUILD, "VTL_K4ZVL.pdf"), folder)
        record = os.path.join(TMP, "opened.txt")
        # The prefix has no PDF viewer: for this test PDF files "open" by writing the
        # path they were opened with to a file, in UTF-16 (cmd's /u), so that every
        # character of the folder's name is kept.
        def reg(*words, check=True):
            return subprocess.run(["wine", "reg"] + list(words), check=check, capture_output=True,
                                  text=True).stdout
        # Wine's own association is put back afterwards.
        previous = [line.split("REG_SZ", 1)[1].strip()
                    for line in reg("query", "HKCR\\.pdf", "/ve", check=False).splitlines() if "REG_SZ" in line]
        reg("add", "HKCR\\.pdf", "/ve", "/d", "VtlTestPdf", "/f")
        reg("add", "HKCR\\VtlTestPdf\\shell\\open\\command", "/ve", "/d",
            'cmd.exe /u /c echo %%1> "%s"' % wine_path(record), "/f")
        tool = Tool(exe=exe, cwd=TMP)
        try:
            tool.driver("focus", 0, 1018)
            tool.driver("key", "F1")
            # cmd makes the file before echo writes the line into it: wait for the line end.
            end, written = time.time() + 10, b""
            while time.time() < end and not written.endswith("\n".encode("utf-16-le")):
                time.sleep(0.1)
                if os.path.exists(record):
                    with open(record, "rb") as opened:
                        written = opened.read()
            self.assertEqual(wine_path(os.path.join(folder, "VTL_K4ZVL.pdf")),
                             written.decode("utf-16-le").strip())
            with self.assertRaises(DriverError):
                tool.driver("wait-window", ERROR_CAPTION, 500)
        finally:
            tool.close()
            reg("delete", "HKCR\\VtlTestPdf", "/f")
            if previous:
                reg("add", "HKCR\\.pdf", "/ve", "/d", previous[0], "/f")
            else:
                reg("delete", "HKCR\\.pdf", "/f")


class CurrentFolder(unittest.TestCase):
    def test_log_file_keeps_its_name_and_ascii_lines_in_a_folder_of_any_name(self):
        port_combo, log_box, log_to_file = 1012, 1016, 1094  # "ZVL comms" controls
        folder = os.path.join(TMP, "current " + WIDE_NAME)
        os.makedirs(folder, exist_ok=True)
        log_file = os.path.join(folder, "ZVL-Log.txt")
        tool = Tool(cwd=folder)
        try:
            tool.driver("wait-text", 0, log_box, "COM1' opened", 15000)
            tool.driver("click", 0, log_to_file)
            tool.driver("combo-select", 0, port_combo, 0)  # "None": "Port closed" is logged
            end, written = time.time() + 10, b""
            while time.time() < end and not written.endswith(b"Port closed\r\n"):
                time.sleep(0.1)
                if os.path.exists(log_file):
                    with open(log_file, "rb") as f:
                        written = f.read()
            self.assertTrue(written.endswith(b"Port closed\r\n"), written)
            self.assertTrue(written.isascii(), written)
            self.assertEqual(["ZVL-Log.txt"], os.listdir(folder))
        finally:
            tool.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
