"""What Linux knows of the Wine processes of our prefix: the tool's process and the
prefix's wineserver, their processor time and memory, read from /proc."""
import os

TICKS = os.sysconf("SC_CLK_TCK")


def _ours(pid):
    """True when the process runs in our Wine prefix."""
    prefix = os.environ.get("WINEPREFIX", "").encode()
    try:
        with open("/proc/%d/environ" % pid, "rb") as f:
            return b"WINEPREFIX=" + prefix + b"\0" in f.read() + b"\0"
    except OSError:
        return False


def tool_pid(name=b"VTL_K4ZVL.exe"):
    """The Linux process of the tool started in our prefix, or None."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if name not in f.read():
                    continue
        except OSError:
            continue
        if _ours(int(entry)):
            return int(entry)
    return None


def wineserver_pid():
    """Our prefix's wineserver: it works in /tmp/.wine-UID/server-DEV-INODE of the prefix."""
    info = os.stat(os.environ["WINEPREFIX"])
    suffix = "/server-%x-%x" % (info.st_dev, info.st_ino)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/cwd" % entry).endswith(suffix):
                return int(entry)
        except OSError:
            pass
    return None


def cpu_seconds(pid):
    """User and system time the process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def status_kib(pid, key):
    """A memory figure of /proc/PID/status (VmRSS, VmHWM, ...) in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))
