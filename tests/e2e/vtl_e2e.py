"""What the end-to-end tests share: starting VTL_K4ZVL.exe under Wine with its COM1 on
a pseudo-terminal of ours, and talking to vtl-driver.exe.

Run inside tests/e2e/run-e2e.sh, which provides WINEPREFIX, DISPLAY, VTL_WIN_BUILD
(the Windows build folder) and VTL_E2E_TMP (a scratch folder removed afterwards).
"""
import atexit
import os
import select
import shutil
import subprocess
import time

BUILD = os.environ.get("VTL_WIN_BUILD", "")
TMP = os.environ.get("VTL_E2E_TMP", "/tmp")
EXE = os.path.join(BUILD, "VTL_K4ZVL.exe")
DRIVER = os.path.join(BUILD, "vtl-driver.exe")
CAPTION = "Vantrel (K4 to ZVL)"
ERROR_CAPTION = "Vantrel - Config K4-ZVL"


WINE_ENV = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine", "wine-env.sh")


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
    """COM<number> names no device."""
    _wine_env("wine_env_com_absent", number)
    _mapped.add(number)


@atexit.register
def _unmap_all():
    """Removes our registry values, as wine_env_cleanup does for the harness's own, so
    that a later wineserver start makes no links to ptys that are gone."""
    if _mapped:
        _wine_env("wine_env_ports", *[w for n in sorted(_mapped) for w in (n, "")])


def wine_path(path):
    """The name Wine gives a Unix path: the Z: drive, with backslashes."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


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
                                        stdout=subprocess.PIPE, text=True, bufsize=1)

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

    def drain(self):
        try:
            while select.select([self.master], [], [], 0)[0]:
                if not os.read(self.master, 4096):
                    break
        except OSError:
            pass

    def close(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None


class Tool:
    """VTL_K4ZVL.exe under Wine with COM1 on a Port, and a driver that has found its sheet."""

    def __init__(self, exe=EXE, cwd=None):
        self.port = Port(1)
        self.process = subprocess.Popen(["wine", exe], cwd=cwd or TMP,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.driver = Driver()
        self.driver("find-sheet", CAPTION, 30000)

    def exit_status(self, timeout=20):
        """The tool's exit status as Windows reports it."""
        return int(self.driver("wait-exit", timeout * 1000))

    def close(self):
        """Ends the tool if a test left it running, so the next test finds only its own."""
        try:
            if self.driver("page-created", 0) is not None:
                self.driver("close")
                self.driver("wait-exit", 10000)
        except DriverError:
            pass
        self.driver.close()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            subprocess.run(["wineserver", "-k"], check=False)
            self.process.wait()
        self.port.close()


def copy_exe_alone(folder):
    os.makedirs(folder, exist_ok=True)
    target = os.path.join(folder, "VTL_K4ZVL.exe")
    shutil.copy(EXE, target)
    return target
