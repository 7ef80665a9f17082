"""The Linux processes of our Wine prefix, through psutil (Debian's python3-psutil, so
scripts that import this run under /usr/bin/python3): the tool's process and the
prefix's wineserver, their processor time, memory and open files."""
import os

import psutil


def _in_our_prefix(process):
    try:
        return process.environ().get("WINEPREFIX") == os.environ.get("WINEPREFIX", "")
    except psutil.Error:
        return False


def tool_process(name="VTL_K4ZVL.exe"):
    """The Linux process of the tool started in our prefix, or None."""
    for process in psutil.process_iter(["cmdline"]):
        if any(name in word for word in process.info["cmdline"] or ()) and _in_our_prefix(process):
            return process
    return None


def wineserver_process():
    """Our prefix's wineserver: it works in /tmp/.wine-UID/server-DEV-INODE of the
    prefix (Wine's server/request.c, create_server_dir), or None."""
    info = os.stat(os.environ["WINEPREFIX"])
    suffix = "/server-%x-%x" % (info.st_dev, info.st_ino)
    for process in psutil.process_iter():
        try:
            if process.cwd().endswith(suffix):
                return process
        except psutil.Error:
            pass
    return None


def cpu_seconds(processes):
    """User and system time the processes have used so far, together."""
    total = 0.0
    for process in processes:
        times = process.cpu_times()
        total += times.user + times.system
    return total


def rss_kib(process):
    return process.memory_info().rss // 1024


def peak_rss_kib(process):
    """The process's peak resident size (VmHWM). psutil gives no peak on Linux, so it
    is read where the kernel keeps it (proc(5), /proc/PID/status)."""
    with open("/proc/%d/status" % process.pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def fd_count(process):
    return process.num_fds()
