#!/usr/bin/python3
"""Builds the Windows installer (cmake/installer.wxs) with msitools' wixl, the same bytes
from two builds of one commit. Run by the `msi` target of a Windows build
(cmake/packaging.cmake):

    make-msi.py --arch x64|x86 --version-file VTL_VERSION_CMAKE --stage DIR --output-dir DIR FILE...

writes OUTPUT-DIR/VTL_K4ZVL-<full version>-win64.msi (win32 for x86) holding FILE... .

The version: MSI product versions are numeric (Microsoft Learn, "ProductVersion
property"), so the product version is VERSION alone; the commit names the product code
and stands in the package's description. Another build of the same VERSION is a new
product code of the same version, which installer.wxs lets replace the one installed.

Reproducible: wixl 0.101 writes a random package code and the time of the build into the
summary information (its msi.vala) and each file's time into the cabinet. The files are
staged with the commit's time; the package code is then derived from the content of
every other stream and both times are set to the commit's, in place (python3-olefile).
"""
import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import uuid

import olefile

UPGRADE_CODE = uuid.UUID("7B3D30D9-0C3E-4C60-85AB-20EF8DA30D53")  # as in installer.wxs
WXS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "installer.wxs")
SUMMARY = "\x05SummaryInformation"
# Summary property IDs and types ([MS-OLEPS] 2.15 and 2.3; Microsoft Learn, "Summary
# Information Stream Property Set").
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64
FILETIME_1970 = 116444736000000000  # 100-ns steps from 1601 to 1970


def read_version(path):
    text = open(path).read()
    full = re.search(r"set\(VTL_VERSION_FULL (\S+)\)", text).group(1)
    commit_time = int(re.search(r"set\(VTL_COMMIT_TIME (\d+)\)", text).group(1))
    return full, commit_time


def guid(name):
    return "{%s}" % str(uuid.uuid5(UPGRADE_CODE, name)).upper()


def summary_values(stream):
    """{property ID: (type, offset of its value)} of the first section."""
    section = struct.unpack_from("<I", stream, 44)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    values = {}
    for i in range(count):
        pid, offset = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        at = section + offset
        values[pid] = (struct.unpack_from("<I", stream, at)[0], at + 4)
    return values


def settle_summary(msi, commit_time):
    """The package code from the content, both times the commit's."""
    ole = olefile.OleFileIO(msi, write_mode=True)
    try:
        content = hashlib.sha256()
        for entry in sorted(ole.listdir(streams=True, storages=False)):
            name = "/".join(entry)
            if name != SUMMARY:
                content.update(name.encode("utf-8") + b"\0" + ole.openstream(entry).read())
        stream = bytearray(ole.openstream(SUMMARY).read())
        values = summary_values(stream)
        kind, at = values[PID_REVNUMBER]
        assert kind == VT_LPSTR and struct.unpack_from("<I", stream, at)[0] == 39
        stream[at + 4:at + 42] = guid("package " + content.hexdigest()).encode("ascii")
        for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
            kind, at = values[pid]
            assert kind == VT_FILETIME
            struct.pack_into("<Q", stream, at, FILETIME_1970 + commit_time * 10_000_000)
        ole.write_stream(SUMMARY, bytes(stream))
    finally:
        ole.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", choices=("x64", "x86"), required=True)
    parser.add_argument("--version-file", required=True)
    parser.add_argument("--stage", required=True)
    parser.add_argument("--output-dir", required=True)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()

    full, commit_time = read_version(args.version_file)
    version = full.split("-")[0]
    kind = "win64" if args.arch == "x64" else "win32"
    shutil.rmtree(args.stage, ignore_errors=True)
    os.makedirs(args.stage)
    for path in args.files:
        staged = os.path.join(args.stage, os.path.basename(path))
        shutil.copyfile(path, staged)
        os.utime(staged, (commit_time, commit_time))

    output = os.path.abspath(os.path.join(args.output_dir, "VTL_K4ZVL-%s-%s.msi" % (full, kind)))
    partial = output + ".part"
    os.makedirs(args.output_dir, exist_ok=True)
    defines = {"Version": version, "FullVersion": full,
               "ProductCode": guid("product %s %s" % (full, args.arch)),
               "Win64": "yes" if args.arch == "x64" else "no"}
    command = ["wixl", "-a", args.arch, "-o", partial, WXS]
    for key, value in defines.items():
        command[1:1] = ["-D", "%s=%s" % (key, value)]
    # wixl finds the files named in installer.wxs in its current folder.
    subprocess.run(command, check=True, cwd=args.stage)
    settle_summary(partial, commit_time)
    os.replace(partial, output)
    print(output)


if __name__ == "__main__":
    sys.exit(main())
