"""The compiled resources: the four dialog templates with every control at its place,
with its ID, style and tab order, the icon and the version block. They are read out of
the built exe with pefile (Debian's python3-pefile: run under /usr/bin/python3), so what
is checked is what the resource compiler made of the .rc (its defaults included) and
the linker put in the program.

    test_resources.py VTL_K4ZVL.EXE
"""
import struct
import sys
import unittest

import pefile

WS_TABSTOP, WS_GROUP = 0x00010000, 0x00020000
CLASSES = {0x80: "Button", 0x81: "Edit", 0x82: "Static", 0x85: "ComboBox"}
RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION = 3, 5, 14, 16


class Reader:
    def __init__(self, data, at=0):
        self.data, self.at = data, at

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def align(self):
        self.at = (self.at + 3) & ~3

    def name(self):
        """A string or an ordinal (0xFFFF then the number)."""
        first = self.take("H")
        if first == 0xFFFF:
            return self.take("H")
        chars = []
        while first:
            chars.append(chr(first))
            first = self.take("H")
        return "".join(chars)


def read_resources(exe):
    """{(type, name): data} of the exe's resources, the first language of each."""
    pe = pefile.PE(exe, fast_load=True)
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    resources = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            data = name.directory.entries[0].data.struct
            key = (kind.id, name.id if name.id is not None else str(name.name))
            resources[key] = pe.get_data(data.OffsetToData, data.Size)
    return resources


def read_dialog(data):
    r = Reader(data)
    extended = r.take("HH")[1] == 0xFFFF
    if extended:
        r.take("I")  # help ID
        _, style = r.take("II")
    else:
        r.at = 0
        style, _ = r.take("II")
    count, x, y, cx, cy = r.take("Hhhhh")
    r.name()  # menu
    r.name()  # class
    caption = r.name()
    font = None
    if style & 0x40:  # DS_SETFONT
        size = r.take("H")
        if extended:
            r.take("HBB")
        font = (r.name(), size)
    controls = []
    for _ in range(count):
        r.align()
        if extended:
            _, _, cstyle, x, y, w, h, cid = r.take("IIIhhhhi")
        else:
            cstyle, _, x, y, w, h, cid = r.take("IIhhhhH")
        kind, text = r.name(), r.name()
        extra = r.take("H")
        r.at += extra
        # Classes come as ordinals or as names in any case, depending on the compiler.
        if isinstance(kind, str):
            kind = {v.lower(): v for v in CLASSES.values()}.get(kind.lower(), kind)
        controls.append(dict(id=cid, kind=CLASSES.get(kind, kind), text=text,
                             rect=(x, y, w, h), style=cstyle))
    return dict(extended=extended, style=style, size=(cx, cy), caption=caption, font=font,
                controls=controls)


# (ID, class, text, position, tab stop); -1 (0xFFFF in a standard template) is "none".
COMMS_PAGE = [
    (-1, "Static", "Serial port", (17, 7, 32, 8), False),
    (1012, "ComboBox", "", (17, 18, 51, 185), True),
    (1019, "Button", "Respond to messages", (107, 7, 87, 10), True),
    (1018, "Button", "Set Indications", (107, 21, 50, 14), True),
    (1093, "Button", "64 bits", (165, 23, 37, 10), True),
    (-1, "Static", "Controls", (7, 39, 77, 8), False),
    (1004, "Edit", "", (7, 50, 195, 14), True),
    (-1, "Static", "Indications", (7, 70, 77, 8), False),
    (1022, "Edit", "", (7, 81, 195, 14), True),
    (-1, "Static", "Message log", (7, 101, 77, 8), False),
    (1016, "Edit", "", (7, 112, 195, 115), True),
    (1094, "Button", "Write to ZVL-Log.txt", (121, 99, 81, 10), True),
]
CONFIG_PAGE = [
    (-1, "Button", "IDs", (7, 7, 87, 86), False),
    (1000, "Button", "IO", (12, 23, 23, 10), True),
    (1035, "Edit", "", (46, 20, 40, 14), True),
    (1001, "Button", "ZVL", (12, 40, 31, 10), True),
    (1039, "Edit", "", (46, 37, 40, 14), True),
    (1004, "Button", "Split ZVL", (12, 57, 46, 10), True),
    (1095, "Edit", "", (60, 54, 26, 14), True),
    (1002, "Button", "ADCs", (12, 74, 34, 10), True),
    (1037, "Edit", "", (46, 71, 40, 14), True),
    (-1, "Button", "ZVL Protocol", (7, 97, 87, 68), False),
    (1003, "Button", "32 bits", (12, 111, 37, 10), True),
    (1092, "Button", "64 bits", (12, 122, 37, 10), False),
    (1009, "Button", "Use Avail. (EC5)", (12, 138, 67, 10), True),
    (1012, "Button", "Don't buffer controls", (12, 151, 79, 10), True),
    (-1, "Button", "K4 Protocol", (104, 7, 99, 37), False),
    (1031, "Button", "No CTRL byte", (112, 19, 61, 10), True),
    (1033, "Button", "NRZ", (112, 30, 31, 10), True),
    (-1, "Button", "VF", (104, 50, 99, 72), False),
    (1027, "Button", "V.22 Tx high/Rx low", (112, 62, 81, 10), True),
    (1017, "Button", "Rx audio equalisation", (112, 73, 81, 10), True),
    (-1, "Static", "Preamble", (113, 86, 31, 8), False),
    (-1, "Static", "Postamble", (160, 86, 34, 8), False),
    (1007, "Edit", "", (113, 99, 23, 14), True),
    (-1, "Static", "mS", (140, 102, 11, 8), False),
    (1008, "Edit", "", (160, 99, 23, 14), True),
    (-1, "Static", "mS", (187, 102, 11, 8), False),
    (-1, "Button", "Baud rate", (104, 127, 99, 39), False),
    (-1, "Static", "Async\\Sync", (115, 138, 43, 8), False),
    (1025, "ComboBox", "", (115, 148, 81, 72), True),
    (-1, "Button", "Daughter board", (7, 170, 196, 23), False),
    (1014, "Static", "", (13, 180, 183, 8), False),
    (1011, "Static", "", (7, 201, 196, 8), False),
    (1013, "Button", "Tx on", (7, 213, 22, 14), True),
    (1015, "Button", "Tx off", (31, 213, 22, 14), True),
    (1016, "Button", "Save", (88, 213, 24, 14), True),
    (1018, "Button", "Open", (62, 213, 24, 14), True),
    (1010, "Button", "Default", (121, 213, 26, 14), True),
    (1006, "Button", "Read", (149, 213, 26, 14), True),
    (1005, "Button", "Write", (177, 213, 26, 14), True),
]
BOX_IDS = [1020, 1021, 1023, 1024, 1026, 1028, 1029, 1030,
           1032, 1034, 1036, 1038, 1040, 1041, 1042, 1043] + [1027 + n for n in range(17, 65)]


class Resources(unittest.TestCase):
    resources = {}

    def dialog(self, number):
        return read_dialog(self.resources[(RT_DIALOG, number)])

    def test_pages(self):
        for number, caption, table in ((105, "ZVL comms", COMMS_PAGE), (104, "K4 Config", CONFIG_PAGE)):
            with self.subTest(caption):
                d = self.dialog(number)
                self.assertTrue(d["extended"])
                self.assertEqual(0x48C00040, d["style"])
                self.assertEqual((210, 234), d["size"])
                self.assertEqual(caption, d["caption"])
                self.assertEqual(("MS Sans Serif", 8), d["font"])
                shown = [(c["id"] if c["id"] not in (0xFFFF, -1) else -1, c["kind"], c["text"],
                          c["rect"], bool(c["style"] & WS_TABSTOP)) for c in d["controls"]]
                self.assertEqual(table, shown)

    def test_config_page_groups_and_edits(self):
        controls = {c["id"]: c["style"] for c in self.dialog(104)["controls"]}
        for starts_group in (1003, 1009, 1012):
            self.assertTrue(controls[starts_group] & WS_GROUP, starts_group)
        ES_RIGHT, ES_READONLY, ES_NUMBER = 0x2, 0x800, 0x2000
        for edit in (1035, 1039, 1095, 1037, 1007, 1008):
            self.assertEqual(ES_NUMBER | ES_RIGHT, controls[edit] & (ES_NUMBER | ES_RIGHT), edit)
            self.assertEqual(edit == 1095, bool(controls[edit] & ES_READONLY), edit)

    def test_set_indications_dialogs(self):
        for number, boxes, height, done_y in ((103, 32, 90, 69), (106, 64, 149, 128)):
            with self.subTest(number):
                d = self.dialog(number)
                self.assertFalse(d["extended"])
                self.assertEqual(0x90C808C0, d["style"])
                self.assertEqual((161, height), d["size"])
                self.assertEqual("Set indications", d["caption"])
                self.assertEqual(("MS Sans Serif", 8), d["font"])
                done, rest = d["controls"][0], d["controls"][1:]
                self.assertEqual((2, "Done", (104, done_y, 50, 14), 0x50010000),
                                 (done["id"], done["text"], done["rect"], done["style"]))
                expected = [(BOX_IDS[n - 1], "%02d" % n,
                             (7 + 19 * ((n - 1) % 8), 7 + 15 * ((n - 1) // 8), 14, 10), 0x50011003)
                            for n in range(1, boxes + 1)]
                self.assertEqual(expected, [(c["id"], c["text"], c["rect"], c["style"]) for c in rest])

    def test_icon_is_one_32_by_32_image_in_16_colours(self):
        group = self.resources[(RT_GROUP_ICON, 102)]
        _, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((1, 1), (kind, count))
        width, height, colours, _, _, bits = struct.unpack_from("<BBBBHH", group, 6)
        self.assertEqual((32, 32, 16, 4), (width, height, colours, bits))

    def test_version_block_names_the_program(self):
        version = self.resources[(RT_VERSION, 1)].decode("utf-16-le", "replace")
        self.assertIn("VTL_K4ZVL.exe", version)


def main():
    Resources.resources = read_resources(sys.argv[1])
    unittest.main(argv=sys.argv[:1], verbosity=2)


if __name__ == "__main__":
    main()
