"""What the end-to-end tests and the Wine benchmarks share: starting VTL_K4ZVL.exe under
Wine, talking to vtl-driver.exe, COM ports on pseudo-terminals of ours, and the unit
simulator behind a COM port.

Run inside the Wine harness (tests/e2e/run-e2e.sh, or tests/vtltest/bench_harness.py),
which provides WINEPREFIX (each suite's own), DISPLAY, VTL_WIN_BUILD (the Windows build
folder) and VTL_E2E_TMP (a scratch folder removed afterwards); VTL_NATIVE_BUILD names
the native build that holds vtl-unit-sim (or VTL_UNIT_SIM the program itself).
"""
import atexit
import ctypes
import os
import re
import select
import shutil
import struct
import subprocess
import threading
import time

BUILD = os.environ.get("VTL_WIN_BUILD", "")
TMP = os.environ.get("VTL_E2E_TMP", "/tmp")
EXE = os.path.join(BUILD, "VTL_K4ZVL.exe")
DRIVER = os.path.join(BUILD, "vtl-driver.exe")
CAPTION = "Vantrel (K4 to ZVL)"
ERROR_CAPTION = "Vantrel - Config K4-ZVL"
# The folder wine-env.sh maps an absent COM port to.
ABSENT = os.path.join(TMP, "absent")

WINE_ENV = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine", "wine-env.sh")


def wine_prefix():
    return os.environ["WINEPREFIX"]


# --- COM ports and drives -------------------------------------------------------------

def _wine_env(*call):
    """Runs one function of wine-env.sh, so that COM ports are mapped here exactly as
    every other Wine run maps them."""
    subprocess.run(["bash", "-c", 'source "$0" && WINE_ENV_TMP=$VTL_E2E_TMP "$@"', WINE_ENV]
                   + [str(w) for w in call], env=dict(os.environ, VTL_E2E_TMP=TMP), check=True)


_mapped = set()  # COM numbers whose registry values we set


def map_com(number, path):
    """COM<number> is the device at path from the next time a program opens it."""
    _wine_env("wine_env_com_map", number, path)
    _mapped.add(number)


def map_com_absent(number):
    """COM<number> names no device: it leads to the empty folder ABSENT (a missing link
    or value is not enough: Wine then falls back to /dev/ttyS<N-1>)."""
    _wine_env("wine_env_com_absent", number)
    _mapped.add(number)


@atexit.register
def _unmap_all():
    """Removes our registry values, as wine_env_cleanup does for the harness's own, so
    that a later wineserver start makes no links to ptys that are gone."""
    if _mapped:
        _wine_env("wine_env_ports", *[w for n in sorted(_mapped) for w in (n, "")])


def map_drive(letter, folder):
    """Drive <letter>: is the folder, until unmap_drive."""
    drive = os.path.join(wine_prefix(), "dosdevices", letter.lower() + ":")
    if os.path.lexists(drive):
        os.remove(drive)
    os.symlink(folder, drive)


def unmap_drive(letter):
    drive = os.path.join(wine_prefix(), "dosdevices", letter.lower() + ":")
    if os.path.lexists(drive):
        os.remove(drive)


def mount_small_disk(folder, size="64k"):
    """A tmpfs of `size` on folder, as a small USB stick would be; False where this
    machine does not let us mount one. Unmount with unmount_small_disk."""
    os.makedirs(folder, exist_ok=True)
    return subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", folder],
                          capture_output=True).returncode == 0


def unmount_small_disk(folder):
    subprocess.run(["umount", "-l", folder], check=False)


def fill_disk(path):
    """Writes zeros to path until the disk it is on is full, to its last page."""
    try:
        with open(path, "wb") as f:
            while True:
                f.write(b"\0" * 4096)
                f.flush()
    except OSError:
        pass


def wine_path(path):
    """The name Wine gives a Unix path: the Z: drive, with backslashes."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# --- the driver ---------------------------------------------------------------------

def unescape(text):
    """Undoes the driver's escapes: \\\\, \\n and \\r."""
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append({"n": "\n", "r": "\r"}.get(text[i + 1], text[i + 1]))
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def quote(word):
    """A word as the driver reads it: in quotes when it has spaces or is empty, and
    then with its backslashes and quotes escaped."""
    if word and " " not in word:
        return word
    return '"%s"' % word.replace("\\", "\\\\").replace('"', '\\"')


class DriverError(Exception):
    pass


class Driver:
    """vtl-driver.exe: one command a line in, one answer a line out."""

    def __init__(self):
        self.process = subprocess.Popen(["wine", DRIVER], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, encoding="utf-8", bufsize=1)

    def __call__(self, *words):
        line = " ".join(quote(str(w)) for w in words)
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline().rstrip("\n")
        if answer == "ok":
            return ""
        if answer.startswith("ok "):
            return unescape(answer[3:])
        raise DriverError("%s -> %s" % (line, answer or "(driver ended)"))

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.flush()
                self.process.wait(10)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        self.process.stdin.close()
        self.process.stdout.close()


# --- a COM port of ours ---------------------------------------------------------------

class Port:
    """A pseudo-terminal whose far end the tool sees as COM<n>. We keep the master; the
    tool opening or closing the port shows as the master's hang-up clearing or coming."""

    def __init__(self, number):
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        os.close(slave)  # hung up until the tool opens it
        map_com(number, self.path)

    def held_open(self):
        """True while some program holds the far end open."""
        events = select.poll()
        events.register(self.master, select.POLLIN | select.POLLHUP)
        for _, flags in events.poll(0):
            if flags & select.POLLHUP:
                return False
        return True

    def wait(self, held, timeout):
        end = time.time() + timeout
        while time.time() < end:
            if self.held_open() == held:
                return True
            self.drain()
            time.sleep(0.05)
        return self.held_open() == held

    def send(self, data):
        os.write(self.master, data)

    def take(self, timeout=0.0):
        """Everything the tool has written so far; waits up to timeout for a first byte,
        then reads on until nothing more comes for 50 ms."""
        data = b""
        wait = timeout
        while select.select([self.master], [], [], wait)[0]:
            try:
                chunk = os.read(self.master, 4096)
            except OSError:
                break
            if not chunk:
                break
            data += chunk
            wait = 0.05
        return data

    def take_exactly(self, count, timeout=10):
        data = b""
        end = time.time() + timeout
        while len(data) < count and time.time() < end:
            if select.select([self.master], [], [], 0.1)[0]:
                data += os.read(self.master, count - len(data))
        return data

    def drain(self, quiet=0.0):
        """Reads away what the tool has sent, until nothing has come for `quiet` s."""
        try:
            while select.select([self.master], [], [], quiet)[0]:
                if not os.read(self.master, 4096):
                    break
        except OSError:
            pass

    def close(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None


class FolderOpens:
    """Counts the times a folder is opened, through Linux's inotify (inotify(7): an
    IN_OPEN event for the watched folder itself). Wine's server opens the folder an
    absent COM port leads to, read-only after EISDIR, before it fails the open (Wine's
    server/fd.c, open_fd), so each try of the tool at such a port is one event here;
    test_reliability.py's tries while lost show it."""
    IN_OPEN = 0x20
    _libc = ctypes.CDLL(None, use_errno=True)

    def __init__(self, folder):
        os.makedirs(folder, exist_ok=True)
        self.fd = self._libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0 or self._libc.inotify_add_watch(self.fd, folder.encode(), self.IN_OPEN) < 0:
            raise OSError(ctypes.get_errno(), "inotify on " + folder)
        self.count = 0

    def wait(self, count, timeout):
        """Waits until the folder has been opened `count` times since we began to watch;
        returns the number of opens seen."""
        end = time.monotonic() + timeout
        while self.count < count:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                break
            data = os.read(self.fd, 4096)
            at = 0
            while at < len(data):  # struct inotify_event: wd, mask, cookie, len, name
                _, mask, _, length = struct.unpack_from("iIII", data, at)
                self.count += bool(mask & self.IN_OPEN)
                at += 16 + length
        return self.count

    def close(self):
        os.close(self.fd)


# --- the unit simulator ---------------------------------------------------------------

def unit_sim_binary():
    """The native vtl-unit-sim, as the build hands it to the tests."""
    if os.environ.get("VTL_UNIT_SIM"):
        return os.environ["VTL_UNIT_SIM"]
    if not os.environ.get("VTL_NATIVE_BUILD"):
        raise RuntimeError("VTL_NATIVE_BUILD (the native build folder) or VTL_UNIT_SIM is needed")
    return os.path.join(os.environ["VTL_NATIVE_BUILD"], "vtl-unit-sim")


class Simulator:
    """vtl-unit-sim (or `program`) on a pty of its own, mapped as the prefix's COM<com>
    unless com is None, quiet unless told otherwise (no controls, no polls); its output
    is kept line by line. With windows_port, vtl-unit-sim.exe under Wine on that COM
    port instead."""

    def __init__(self, *options, com=1, windows_port=None, program=None):
        quiet = ["--controls-period", "0", "--poll-period", "0"] + list(options)
        if windows_port:
            command = ["wine", os.path.join(BUILD, "vtl-unit-sim.exe"), "--device", windows_port] + quiet
        else:
            command = [program or unit_sim_binary()] + quiet
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True, bufsize=1)
        # Our own pty's path comes first; a COM port's simulator starts with its unit line.
        self.path = self.process.stdout.readline().strip()
        if not (self.path.startswith("/") or " unit K4-ZVL " in self.path):
            raise RuntimeError("simulator did not start: " + self.path + self.process.stdout.read())
        self.lines = []
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        if not windows_port and com is not None:
            map_com(com, self.path)

    def _read(self):
        for line in self.process.stdout:
            with self.lock:
                self.lines.append(line.rstrip("\n"))

    def log(self):
        with self.lock:
            return list(self.lines)

    def received(self):
        """The frames the unit received, as printed, in order; the tool's ACKs and NAKs
        of the unit's frames left out."""
        found = (re.search(r' rx ("(?:[^"\\]|\\.)*")', line) for line in self.log())
        return [m.group(1) for m in found if m and m.group(1) not in ('"\\n+\\r"', '"\\n-\\r"')]

    def wait_for(self, text, timeout=10, after=0):
        """Waits for a log line (from line number `after` on) holding `text`; returns its number."""
        end = time.time() + timeout
        while time.time() < end:
            lines = self.log()
            for number in range(after, len(lines)):
                if text in lines[number]:
                    return number
            time.sleep(0.05)
        raise AssertionError("simulator never logged %r; log:\n%s" % (text, "\n".join(self.log())))

    def sent_after(self, number, what, timeout=10):
        """The first frame the unit sent after log line `number` whose note is `what`
        ("controls", "ACK", ...), as the tool's message log shows it."""
        found = self.wait_for('" ' + what, timeout, after=number + 1)
        quoted = re.search(r' tx "((?:[^"\\]|\\.)*)" ', self.log()[found]).group(1)
        return quoted.replace("\\n", "").replace("\\r", "")

    def kill(self):
        self.process.kill()
        self.process.wait()

    # `with Simulator(...) as sim:` ends it however the block ends.
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.kill()
        self.reader.join(5)
        self.process.stdout.close()


# --- the tool -----------------------------------------------------------------------

class Tool:
    """VTL_K4ZVL.exe under Wine and a driver that has found its sheet. With com1 (the
    default) COM1 is a Port of ours, made before the tool starts; without, COM1 is left
    as the test mapped it (a simulator, an absent port, a Port of its own)."""

    def __init__(self, exe=EXE, cwd=None, com1=True):
        self.port = Port(1) if com1 else None
        self.process = subprocess.Popen(["wine", exe], cwd=cwd or TMP,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.driver = Driver()
        try:
            self.driver("find-sheet", CAPTION, 30000)
        except BaseException:
            Tool.close(self)
            raise

    def exit_status(self, timeout=20):
        """The tool's exit status as Windows reports it."""
        return int(self.driver("wait-exit", timeout * 1000))

    def no_box(self, caption, wait_ms):
        """True when no window with that caption comes within wait_ms."""
        try:
            self.driver("wait-window", caption, wait_ms)
        except DriverError:
            return True
        return False

    def settle(self):
        """Returns once the tool's window thread has finished what it was doing when we
        asked and come back to waiting for messages. A thread takes in messages sent
        from another thread only while it waits for messages (Microsoft Learn,
        "SendMessage"): the first query may still be answered by a message box that is
        closing; the second only by the loop the thread went on to, so a box that its
        handler opens next exists by then."""
        self.driver("page-created", 0)
        self.driver("page-created", 0)

    def close(self):
        """Ends the tool if a test left it running, so the next test finds only its own."""
        try:
            self.driver("close")
            self.driver("wait-exit", 15000)
        except DriverError:
            pass
        self.driver.close()
        try:
            self.process.wait(15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if self.port:
            self.port.close()


def copy_exe_alone(folder):
    os.makedirs(folder, exist_ok=True)
    target = os.path.join(folder, "VTL_K4ZVL.exe")
    shutil.copy(EXE, target)
    return target
