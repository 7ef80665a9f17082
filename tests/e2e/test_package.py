"""The Windows package as a user gets it: the zip that `cmake --build BUILD --target
package` makes, its entries, the PE facts of every exe in it (read with pefile), and the
tool from the zip starting under Wine. Debian's python3 (/usr/bin/python3) has pefile.

    VTL_WIN_BUILD=BUILD test_package.py Package     the zip itself; needs no Wine
    run-e2e.sh test_package.py BUILD PackageStarts  the tool from the zip, under Wine
"""
import os
import re
import subprocess
import time
import unittest
import xml.etree.ElementTree as ElementTree
import zipfile
import zlib

import pefile

from vtltest.vtl_e2e import BUILD, CAPTION, TMP, Tool

SHIP = os.path.join(BUILD, "ship")
# The programs that go into the package once the tree builds them; the tool always.
PROGRAMS = ["VTL_K4ZVL.exe", "vtl-unit-sim.exe", "vtl.exe"]
MACHINES = {"win64": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"],
            "win32": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]}
RT_MANIFEST = 24
ASM_V1, ASM_V3 = "urn:schemas-microsoft-com:asm.v1", "urn:schemas-microsoft-com:asm.v3"
COMPAT = "urn:schemas-microsoft-com:compatibility.v1"
# Vista, 7, 8, 8.1, 10 and 11 (Microsoft Learn, "Application manifests": supportedOS).
SUPPORTED_OS = {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_version():
    """(full version, commit time) as the build wrote them (cmake/version.cmake)."""
    text = read_bytes(os.path.join(BUILD, "version", "vtl_version.cmake")).decode()
    full = re.search(r"set\(VTL_VERSION_FULL (\S+)\)", text).group(1)
    commit_time = int(re.search(r"set\(VTL_COMMIT_TIME (\d+)\)", text).group(1))
    return full, commit_time


def package_kind():
    """win64 or win32, as cmake/packaging.cmake told CPack."""
    config = read_bytes(os.path.join(BUILD, "CPackConfig.cmake")).decode()
    return re.search(r'set\(CPACK_SYSTEM_NAME "(win64|win32)"\)', config).group(1)


def section_name(pe, section):
    """A section's name; names longer than 8 bytes stand in the COFF string table."""
    raw = section.Name.rstrip(b"\0").decode()
    if not raw.startswith("/"):
        return raw
    table = pe.FILE_HEADER.PointerToSymbolTable + 18 * pe.FILE_HEADER.NumberOfSymbols
    start = table + int(raw[1:])
    return pe.__data__[start:pe.__data__.index(b"\0", start)].decode()


class ZipOfThisBuild(unittest.TestCase):
    """The package of the build in VTL_WIN_BUILD, made afresh, so that what is checked
    is what the current build packs."""
    @classmethod
    def setUpClass(cls):
        subprocess.run(["cmake", "--build", BUILD, "--target", "package"], check=True,
                       stdout=subprocess.DEVNULL)
        cls.kind = package_kind()
        cls.version, cls.commit_time = read_version()
        cls.zip = zipfile.ZipFile(os.path.join(BUILD, "VTL_K4ZVL-%s-%s.zip" % (cls.version, cls.kind)))
        cls.programs = [p for p in PROGRAMS if os.path.exists(os.path.join(SHIP, p))]

    @classmethod
    def tearDownClass(cls):
        cls.zip.close()


class Package(ZipOfThisBuild):

    def test_entries_are_the_programs_guide_and_readme(self):
        expected = set(self.programs) | {"VTL_K4ZVL.pdf", "README.txt"}
        self.assertIn("VTL_K4ZVL.exe", self.programs)
        self.assertEqual(expected, set(self.zip.namelist()))
        self.assertEqual(len(expected), len(self.zip.namelist()), "no entry twice")

    def test_every_entry_has_the_commit_time(self):
        # DOS times count in 2-second steps, in local time.
        expected = time.localtime(self.commit_time - self.commit_time % 2)[:6]
        for info in self.zip.infolist():
            self.assertEqual(expected, info.date_time, info.filename)

    def test_guide_is_the_built_one(self):
        data = self.zip.read("VTL_K4ZVL.pdf")
        self.assertTrue(data.startswith(b"%PDF-"))
        self.assertEqual(read_bytes(os.path.join(BUILD, "VTL_K4ZVL.pdf")), data)

    def test_readme_has_crlf_line_ends_and_names_what_it_must(self):
        text = self.zip.read("README.txt")
        self.assertNotRegex(text, rb"(?<!\r)\n", "a line ends in a bare LF")
        self.assertTrue(text.endswith(b"\r\n"))
        for needed in (b"cmake --build build/win --target package",
                       b"cmake --build build/win32 --target package",
                       b"vtl-unit-sim.exe --device COM6", b"COM15", b"ZVL-Log.txt",
                       b"Failed to open serial port '\\\\.\\COM1'", b"Program Files"):
            self.assertIn(needed, text)

    def test_exes_are_the_stripped_ones_of_this_machine_with_manifest_and_version(self):
        for name in self.programs:
            with self.subTest(name):
                data = self.zip.read(name)
                self.assertEqual(read_bytes(os.path.join(SHIP, name)), data,
                                 "the zip holds the exe in ship/")
                pe = pefile.PE(data=data)
                self.check_header(pe)
                self.check_stripped(pe, os.path.join(SHIP, name[:-4] + ".debug"))
                self.check_manifest(pe, gui=name == "VTL_K4ZVL.exe")
                self.check_version(pe)

    def check_header(self, pe):
        self.assertEqual(MACHINES[self.kind], pe.FILE_HEADER.Machine)
        h = pe.OPTIONAL_HEADER
        self.assertEqual((6, 0), (h.MajorSubsystemVersion, h.MinorSubsystemVersion))
        self.assertEqual((6, 0), (h.MajorOperatingSystemVersion, h.MinorOperatingSystemVersion))
        self.assertEqual(0, pe.FILE_HEADER.TimeDateStamp, "no link time")

    def check_stripped(self, pe, debug_file):
        names = [section_name(pe, s) for s in pe.sections]
        self.assertEqual([], [n for n in names if n.startswith(".debug")])
        self.assertEqual(0, pe.FILE_HEADER.NumberOfSymbols)
        # .gnu_debuglink: the debug file's name, padded to 4 bytes, then its CRC-32.
        link = pe.sections[names.index(".gnu_debuglink")].get_data()
        file_name = link[:link.index(b"\0")].decode()
        self.assertEqual(os.path.basename(debug_file), file_name)
        crc_at = (len(file_name) + 4) & ~3
        crc = int.from_bytes(link[crc_at:crc_at + 4], "little")
        self.assertEqual(zlib.crc32(read_bytes(debug_file)), crc)

    def check_manifest(self, pe, gui):
        manifests = [e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == RT_MANIFEST]
        self.assertEqual(1, len(manifests))
        self.assertEqual([1], [e.id for e in manifests[0].directory.entries])
        data_entry = manifests[0].directory.entries[0].directory.entries[0].data.struct
        xml = pe.get_data(data_entry.OffsetToData, data_entry.Size)
        root = ElementTree.fromstring(xml)
        level = root.find(".//{%s}requestedExecutionLevel" % ASM_V3)
        self.assertEqual("asInvoker", level.get("level"))
        self.assertEqual(SUPPORTED_OS, {e.get("Id") for e in root.iter("{%s}supportedOS" % COMPAT)})
        if gui:
            aware = root.find(".//{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware")
            self.assertEqual("true", aware.text)
            controls = [a for a in root.iter("{%s}assemblyIdentity" % ASM_V1)
                        if a.get("name") == "Microsoft.Windows.Common-Controls"]
            self.assertEqual(["6.0.0.0"], [a.get("version") for a in controls])

    def check_version(self, pe):
        strings = {}
        for info in pe.FileInfo[0]:
            for table in getattr(info, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
        self.assertEqual(self.version, strings.get("FileVersion"))
        self.assertEqual(self.version, strings.get("ProductVersion"))
        fixed = pe.VS_FIXEDFILEINFO[0]
        numbers = [int(n) for n in self.version.split("-")[0].split(".")] + [0]
        self.assertEqual(numbers, [fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
                                   fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF])



class PackageStarts(ZipOfThisBuild):
    def test_tool_from_the_zip_starts_and_shows_the_sheet(self):
        folder = os.path.join(TMP, "unpacked")
        self.zip.extractall(folder)
        tool = Tool(exe=os.path.join(folder, "VTL_K4ZVL.exe"), cwd=folder)
        try:
            d = tool.driver
            self.assertEqual(CAPTION, d("caption", "sheet"))
            self.assertEqual("ZVL comms|K4 Config", d("tabs"))
            d("page", 1)
            d("wait-text", 1, 1011, "Set to defaults", 5000)
            d("close")
            self.assertEqual(0, tool.exit_status())
        finally:
            tool.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
