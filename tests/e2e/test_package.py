"""The Windows packages as a user gets them: the zip that `cmake --build BUILD --target
package` makes, its entries, the PE facts of every exe in it (read with pefile), and the
tool from the zip starting under Wine; the installer (`--target msi`) installed, started,
upgraded and removed under Wine. Debian's python3 (/usr/bin/python3) has pefile, olefile
and pylnk (python3-liblnk).

    VTL_WIN_BUILD=BUILD test_package.py Package     the zip and the installer; needs no Wine
    run-e2e.sh test_package.py BUILD PackageStarts PlantedDll   the tool from the zip, under Wine
    run-e2e.sh test_package.py BUILD Installer      the installer under Wine
"""
import datetime
import hashlib
import os
import re
import shutil
import struct
import subprocess
import time
import unittest
import xml.etree.ElementTree as ElementTree
import zipfile
import zlib

import olefile
import pefile
import pylnk

from test_config import OPEN, OPEN_CAPTION, READ, ConfigTool
from vtltest.vtl_e2e import BUILD, CAPTION, ERROR_CAPTION, TMP, DriverError, Tool, wine_path

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


# What each shipped exe loads. At its start only the system's known DLLs, which the
# loader takes from the system folder wherever the exe is, and comctl32, which the
# manifest takes from the side-by-side store (Microsoft Learn, "Dynamic-link library
# search order"); later, delay-loaded once app/dll_search_win32.cpp has restricted the
# search to the system folder, the file dialogs and the shell.
PE_FACTS = {  # exe: (imported at start, delay-loaded)
    "VTL_K4ZVL.exe": ({"comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "user32.dll"},
                      {"comdlg32.dll", "shell32.dll"}),
    # shell32: CommandLineToArgvW, for arguments outside the ANSI code page.
    "vtl.exe": ({"advapi32.dll", "kernel32.dll", "msvcrt.dll"}, {"shell32.dll"}),
    "vtl-unit-sim.exe": ({"kernel32.dll", "msvcrt.dll"}, {"shell32.dll"}),
}
# ASLR with the full 64-bit range on win64, and DEP (Microsoft Learn, "PE Format",
# "DLL Characteristics"): every one of these flags the exe has, and no other.
DLL_CHARACTERISTICS = {
    "win64": {"IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA", "IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE",
              "IMAGE_DLLCHARACTERISTICS_NX_COMPAT"},
    "win32": {"IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE", "IMAGE_DLLCHARACTERISTICS_NX_COMPAT"},
}
NM = {"win64": "x86_64-w64-mingw32-nm", "win32": "i686-w64-mingw32-nm"}


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


def delay_loaded(pe):
    """{DLL: [function names]} of the exe's delay-import descriptors. GNU ld 2.40 leaves
    the delay-import entry of the data directory empty (measured here), so each
    descriptor is found by what it starts with: attributes 1, then the RVA of its DLL's
    name (Microsoft Learn, "PE Format", "The Delay-Load Directory Table")."""
    found = {}
    for name in re.finditer(rb"[A-Za-z0-9_]+\.dll\0", pe.__data__):
        name_rva = pe.get_rva_from_offset(name.start())
        descriptor = pe.__data__.find(struct.pack("<II", 1, name_rva))
        if name_rva is None or descriptor < 0:
            continue
        for entry in pe.parse_delay_import_directory(pe.get_rva_from_offset(descriptor), 32) or []:
            found[entry.dll.decode().lower()] = sorted(i.name.decode() for i in entry.imports)
    return found


def first_tls_callback(pe):
    """The address of the first TLS callback the loader calls."""
    table = pe.DIRECTORY_ENTRY_TLS.struct.AddressOfCallBacks - pe.OPTIONAL_HEADER.ImageBase
    if pe.FILE_HEADER.Machine == MACHINES["win64"]:
        return pe.get_qword_at_rva(table)
    return pe.get_dword_at_rva(table)


def symbol_address(kind, exe, text):
    """The address of the symbol holding `text`, from the unstripped exe."""
    symbols = subprocess.run([NM[kind], exe], capture_output=True, text=True, check=True).stdout
    return [int(line.split()[0], 16) for line in symbols.splitlines() if text in line]


def pe_table_row(kind, name, pe):
    """One exe's PE facts as the table lists them; ends with the first TLS callback's
    symbol (looked up in the unstripped exe of the build folder)."""
    imported = sorted(e.dll.decode().lower() for e in pe.DIRECTORY_ENTRY_IMPORT)
    delayed = delay_loaded(pe)
    flags = sorted(f[len("IMAGE_DLLCHARACTERISTICS_"):] for f, on in pefile.retrieve_flags(
        pefile.DLL_CHARACTERISTICS, "IMAGE_DLLCHARACTERISTICS_") if pe.OPTIONAL_HEADER.DllCharacteristics & on)
    first = first_tls_callback(pe)
    restrict = symbol_address(kind, os.path.join(BUILD, name), "RestrictDllSearch")
    return (name, " ".join(imported), " ".join("%s(%s)" % (d, ",".join(f)) for d, f in sorted(delayed.items())),
            " ".join(flags), "RestrictDllSearch" if [first] == restrict else hex(first))


def msi_table(msi, table):
    """The rows of an installer's table, as msitools' msiinfo exports them."""
    lines = subprocess.run(["msiinfo", "export", msi, table], capture_output=True, text=True,
                           check=True).stdout.splitlines()
    return [line.split("\t") for line in lines[3:]]  # after the names, types and key lines


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
                       b"Failed to open serial port '\\\\.\\COM1'", b"Program Files",
                       b"Downloads", b"%LOCALAPPDATA%\\Programs\\Vantrel Configurator"):
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

    def test_exes_load_only_system_dlls_at_start_and_restrict_the_search_first(self):
        rows = []
        for name in self.programs:
            with self.subTest(name):
                pe = pefile.PE(data=self.zip.read(name))
                at_start, later = PE_FACTS[name]
                self.assertEqual(at_start, {e.dll.decode().lower() for e in pe.DIRECTORY_ENTRY_IMPORT})
                self.assertEqual(later, set(delay_loaded(pe)))
                # Looked up, not imported: an import would stop the exe from starting on
                # Vista and 7 without update KB2533623.
                kernel32 = [e for e in pe.DIRECTORY_ENTRY_IMPORT if e.dll.lower() == b"kernel32.dll"]
                self.assertNotIn(b"SetDefaultDllDirectories", [i.name for i in kernel32[0].imports])
                flags = {f for f, on in pefile.retrieve_flags(pefile.DLL_CHARACTERISTICS, "IMAGE_DLLCHARACTERISTICS_")
                         if pe.OPTIONAL_HEADER.DllCharacteristics & on}
                self.assertEqual(DLL_CHARACTERISTICS[self.kind], flags)
                # ASLR moves only an image that keeps its relocations.
                self.assertGreater(pe.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size, 0, "no .reloc")
                row = pe_table_row(self.kind, name, pe)
                self.assertEqual("RestrictDllSearch", row[-1], "the first TLS callback")
                rows.append(row)
        header = ("%s exe" % self.kind, "imported at start", "delay-loaded (functions)",
                  "DLL characteristics", "first TLS callback")
        widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
        table = "\n".join("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in [header] + rows)
        with open(os.path.join(BUILD, "pe-table.txt"), "w") as f:
            f.write(table + "\n")
        print("\n" + table)

    def test_installer_is_per_user_holds_the_zip_and_builds_to_the_same_bytes(self):
        msi = os.path.join(BUILD, "VTL_K4ZVL-%s-%s.msi" % (self.version, self.kind))
        made = []
        for _ in range(2):
            subprocess.run(["cmake", "--build", BUILD, "--target", "msi"], check=True, stdout=subprocess.DEVNULL)
            made.append(read_bytes(msi))
        self.assertEqual(made[0], made[1], "two builds of one commit differ")
        ole = olefile.OleFileIO(msi)
        try:
            summary = ole.get_metadata()
        finally:
            ole.close()
        # Word count 10: compressed (2), no elevation needed (8) (Microsoft Learn, "Word
        # Count Summary"); the times are the commit's.
        self.assertEqual(10, summary.num_words)
        self.assertEqual({"win64": b"x64;1033", "win32": b"Intel;1033"}[self.kind], summary.template)
        commit = datetime.datetime.fromtimestamp(self.commit_time, datetime.timezone.utc).replace(tzinfo=None)
        self.assertEqual((commit, commit), (summary.create_time, summary.last_saved_time))
        properties = dict(msi_table(msi, "Property"))
        self.assertEqual(self.version.split("-")[0], properties["ProductVersion"])
        self.assertNotIn("ALLUSERS", properties)  # a per-user install
        files = {row[2]: int(row[3]) for row in msi_table(msi, "File")}
        self.assertEqual({i.filename: i.file_size for i in self.zip.infolist()}, files)

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


class PlantedDll(ZipOfThisBuild):
    """The tool unpacked into a folder holding a DLL under the name of one it loads later,
    as a web page may leave one in Downloads. Wine takes its own builtin comdlg32 and
    shell32 before a file of that name (measured here: a program that loads them by name
    gets the builtin); with "n,b" for them it takes the file found first, as Windows does
    for a DLL that is not a known DLL, and that shows the difference."""
    PLANTED = ("comdlg32.dll", "shell32.dll")

    def setUp(self):
        self.folder = os.path.join(TMP, "Downloads")
        self.zip.extractall(self.folder)
        # Without the guide, help goes through the shell and ends in a box of ours.
        os.remove(os.path.join(self.folder, "VTL_K4ZVL.pdf"))
        for name in self.PLANTED:
            shutil.copy(os.path.join(BUILD, "vtl-planted.dll"), os.path.join(self.folder, name))
        shutil.copy(os.path.join(BUILD, "vtl-load-by-name.exe"), self.folder)
        overrides = os.environ["WINEDLLOVERRIDES"]
        self.addCleanup(os.environ.__setitem__, "WINEDLLOVERRIDES", overrides)
        os.environ["WINEDLLOVERRIDES"] = overrides + ";comdlg32,shell32=n,b"

    def loaded(self):
        return sorted(n for n in self.PLANTED if os.path.exists(os.path.join(self.folder, n + ".loaded")))

    def test_the_dialogs_and_the_shell_come_from_the_system_folder(self):
        # Loaded by name from a program that does not restrict the search, each planted
        # DLL is loaded: without the restriction the tool would load them too.
        for name in self.PLANTED:
            subprocess.run(["wine", os.path.join(self.folder, "vtl-load-by-name.exe"), name],
                           cwd=self.folder, check=True)
            os.remove(os.path.join(self.folder, name + ".loaded"))
        tool = Tool(exe=os.path.join(self.folder, "VTL_K4ZVL.exe"), cwd=self.folder)
        try:
            d = tool.driver
            d("page", 1)
            d("click", 1, OPEN)  # the file dialog: comdlg32
            try:
                d("wait-window", OPEN_CAPTION, 15000)
            except DriverError:  # the planted DLL, which has no dialog, was loaded?
                self.assertEqual([], self.loaded())
                raise
            d("press", OPEN_CAPTION, "Cancel")
            d("wait-gone", OPEN_CAPTION, 5000)
            d("focus", 1, OPEN)
            d("key", "F1")  # help: shell32
            self.assertIn("Failed to open", d("wait-window", ERROR_CAPTION, 5000))
            d("press", ERROR_CAPTION, "OK")
            d("wait-gone", ERROR_CAPTION, 5000)
            self.assertEqual([], self.loaded())
            d("close")
            self.assertEqual(0, tool.exit_status())
        finally:
            tool.close()


def wine_run(*command, check=True):
    done = subprocess.run(["wine"] + list(command), capture_output=True, text=True)
    if check and done.returncode:
        raise AssertionError("%s: exit %d\n%s" % (command, done.returncode, done.stdout + done.stderr))
    return done


def unix_path(windows_path):
    return subprocess.run(["winepath", "-u", windows_path], capture_output=True, text=True,
                          check=True).stdout.strip()


class Installer(unittest.TestCase):
    """The installer of this build, and two more made from the same files by
    cmake/make-msi.py (another commit of the same version, and the next version), run
    under Wine's msiexec in this test's fresh prefix. WINEDLLOVERRIDES has
    winemenubuilder.exe disabled (tests/wine/wine-env.sh), so no entry is made in this
    machine's own menus."""
    NAME = "Vantrel Configurator"
    SHORTCUTS = {"Vantrel Configurator.lnk": "VTL_K4ZVL.exe",
                 "Vantrel Configurator user guide.lnk": "VTL_K4ZVL.pdf"}

    @classmethod
    def setUpClass(cls):
        subprocess.run(["cmake", "--build", BUILD, "--target", "msi"], check=True, stdout=subprocess.DEVNULL)
        cls.kind = package_kind()
        cls.version, commit_time = read_version()
        cls.msi = os.path.join(BUILD, "VTL_K4ZVL-%s-%s.msi" % (cls.version, cls.kind))
        stage = os.path.join(BUILD, "msi-stage")
        cls.files = sorted(os.listdir(stage))
        numbers = [int(n) for n in cls.version.split("-")[0].split(".")]
        cls.same_version = "%d.%d.%d-0000000000" % tuple(numbers)
        cls.newer = "%d.%d.%d-0000000000" % (numbers[0], numbers[1], numbers[2] + 1)
        cls.other = {}
        for version in (cls.same_version, cls.newer):
            folder = os.path.join(TMP, "msi", version)
            os.makedirs(folder)
            version_file = os.path.join(folder, "vtl_version.cmake")
            with open(version_file, "w") as f:
                f.write("set(VTL_VERSION_FULL %s)\nset(VTL_COMMIT_TIME %d)\n" % (version, commit_time))
            made = subprocess.run(
                ["/usr/bin/python3", os.path.join(os.path.dirname(__file__), "..", "..", "cmake", "make-msi.py"),
                 "--arch", "x64" if cls.kind == "win64" else "x86", "--version-file", version_file,
                 "--stage", os.path.join(folder, "stage"), "--output-dir", folder]
                + [os.path.join(stage, f) for f in cls.files], check=True, capture_output=True, text=True)
            cls.other[version] = made.stdout.strip()
        cls.folder = unix_path(wine_run("cmd", "/c", "echo", "%LOCALAPPDATA%").stdout.strip()
                               + "\\Programs\\" + cls.NAME)
        cls.roaming = unix_path(wine_run("cmd", "/c", "echo", "%APPDATA%").stdout.strip())
        cls.start_menu = os.path.join(cls.roaming, "Microsoft", "Windows", "Start Menu", "Programs")

    def msiexec(self, action, msi):
        """msiexec's exit status, quietly, as Wine reports it (the low byte: 1603 is 67)."""
        return wine_run("msiexec", action, wine_path(msi), "/qn", check=False).returncode

    def entries(self):
        """{product code: (name, version, uninstall command)} of the uninstall entries
        named after the product. Wine writes them under HKLM, even for a per-user install."""
        found = {}
        for root in ("HKLM", "HKCU"):
            text = wine_run("reg", "query", root + "\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                            "/s", check=False).stdout.replace("\r", "")
            for key in text.split("\n\n"):
                values = dict(re.findall(r"^[ \t]+(\w+)[ \t]+REG_\w+[ \t]*(.*)$", key, re.M))
                if values.get("DisplayName") == self.NAME:
                    code = re.search(r"Uninstall\\(\{[0-9A-F-]+\})", key).group(1)
                    found[code] = (values["DisplayVersion"], values["UninstallString"], values.get("NoModify"))
        return found

    @staticmethod
    def shortcut(path):
        """(target, "Start in", arguments, description) of a .lnk file."""
        link = pylnk.file()
        link.open(path)
        try:
            return (link.local_path, link.working_directory, link.command_line_arguments, link.description)
        finally:
            link.close()

    def profile(self):
        """Every file and folder of the user's profile but Temp, with the bytes of each file;
        of a shortcut, what it says: Wine's msiexec writes the shortcuts again when the
        same installer runs again, with the target's times of that moment in their header
        (measured here)."""
        top = os.path.dirname(os.path.dirname(os.path.dirname(self.folder)))  # users/<name>
        state = {}
        for folder, folders, files in os.walk(top):
            folders[:] = [f for f in folders if f != "Temp"]
            state[folder] = None
            for name in files:
                path = os.path.join(folder, name)
                state[path] = (self.shortcut(path) if name.endswith(".lnk")
                               else hashlib.sha256(read_bytes(path)).hexdigest())
        return state

    def check_installed(self, version):
        (code, (shown, uninstall, no_modify)), = self.entries().items()
        self.assertEqual(version.split("-")[0], shown)
        self.assertEqual("MsiExec.exe /X" + code, uninstall)
        self.assertEqual("0x1", no_modify)
        self.assertEqual(self.files, sorted(os.listdir(self.folder)))
        for name in self.files:
            self.assertEqual(read_bytes(os.path.join(BUILD, "msi-stage", name)),
                             read_bytes(os.path.join(self.folder, name)), name)
        for link, target in self.SHORTCUTS.items():
            path, start_in, arguments, _ = self.shortcut(os.path.join(self.start_menu, link))
            self.assertEqual(os.path.join(self.folder, target), unix_path(path))
            # "Start in": the install folder, where ZVL-Log.txt can be made.
            self.assertEqual(self.folder, unix_path(start_in).rstrip("/"))
            self.assertIsNone(arguments)
        return code

    maxDiff = None

    def test_install_start_again_replace_refuse_remove(self):
        self.assertIn("winemenubuilder.exe=d", os.environ["WINEDLLOVERRIDES"])
        before = self.profile()

        self.assertEqual(0, self.msiexec("/i", self.msi))
        code = self.check_installed(self.version)
        # Started as its shortcut starts it, it reads the unit's record on COM1.
        tool = ConfigTool(exe=os.path.join(self.folder, "VTL_K4ZVL.exe"), cwd=self.folder)
        try:
            tool.click(READ)
            tool.wait_status("Read complete (F/W v1.3)")
        finally:
            tool.close()

        # The same installer again: nothing changes.
        installed = self.profile()
        self.assertEqual(0, self.msiexec("/i", self.msi))
        self.assertEqual({code: self.entries()[code]}, self.entries())
        self.assertEqual(installed, self.profile())

        # Another build of the same version, then the next version: each replaces the one
        # installed; then this one, older, is refused and changes nothing.
        for version in (self.same_version, self.newer):
            with self.subTest(version):
                self.assertEqual(0, self.msiexec("/i", self.other[version]))
                self.assertNotIn(code, self.entries())
                code = self.check_installed(version)
        newest = self.profile()
        self.assertEqual(1603 & 0xFF, self.msiexec("/i", self.msi))
        self.assertEqual(newest, self.profile())
        self.check_installed(self.newer)

        # Removed: every file, folder, shortcut and registry value it made.
        self.assertEqual(0, self.msiexec("/x", self.other[self.newer]))
        self.assertEqual({}, self.entries())
        # Windows Installer's own folder for the products' icons stays, empty.
        after = self.profile()
        cache = os.path.join(self.roaming, "Microsoft", "Installer")
        self.assertEqual([], os.listdir(cache))
        after.pop(cache)
        self.assertEqual(before, after)
        self.assertNotEqual(0, wine_run("reg", "query", "HKCU\\Software\\Vantrel", check=False).returncode)


if __name__ == "__main__":
    unittest.main(verbosity=2)
