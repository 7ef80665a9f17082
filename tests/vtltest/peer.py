"""The far end of a serial line, played from Python: frames built as the unit builds
them, their texts, and floods of them. Bytes only: no Wine, no window, nothing beyond
the standard library, so the tests of the native programs use it too."""
import errno
import fcntl
import os
import select
import threading
import time

HEX = b"0123456789ABCDEF"
ACK, NAK = b"\n+\r", b"\n-\r"


def frame(payload, checksum_delta=0):
    """Line feed, payload, checksum digits (low nibble first), carriage return; a
    non-zero delta spoils the checksum."""
    line = b"\n" + payload
    total = (sum(line) + checksum_delta) & 0xFF
    return line + bytes([HEX[total & 15], HEX[total >> 4]]) + b"\r"


def digits(data):
    """Bytes as the link carries them: two hex digits each, low nibble first."""
    return b"".join(bytes([HEX[b & 15], HEX[b >> 4]]) for b in data)


def bits(data):
    """Bytes as the "Controls" and "Indications" boxes show them: bit 0 first, a space
    after each byte."""
    return "".join("".join("1" if b >> k & 1 else "0" for k in range(8)) + " " for b in data)


def number_bytes(number, width=32):
    """The bytes of a 32- or 64-bit controls frame that carry `number`, byte 0 lowest."""
    return [(number >> (8 * k)) & 0xFF for k in range(8 if width == 64 else 4)]


def numbered_controls(number, width=32):
    """A valid "C" frame of that width that carries `number` in its bytes, so that
    consecutive frames differ."""
    return frame((b"C004" if width == 64 else b"C002") + digits(number_bytes(number, width)))


def log_text(raw):
    """The frame as the message log shows it after "Rx: ": its bytes between the line
    feed and the carriage return."""
    return raw[1:-1].decode()


class Flooder:
    """Writes numbered "C" frames to `fd` at `rate` per second from a thread of its own,
    and reads away whatever the tool sends. A frame the pty does not take at once
    (nobody has the port open, or its buffer is full) is counted as refused, not
    retried, so the flood keeps its pace while the tool closes and opens the port."""

    def __init__(self, fd, rate):
        self.fd, self.rate = fd, rate
        self.sent = self.refused = 0
        self.written = []  # the numbers of the frames the pty took, in order
        flags = fcntl.fcntl(fd, fcntl.F_GETFL)
        fcntl.fcntl(fd, fcntl.F_SETFL, flags | os.O_NONBLOCK)
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        start, number = time.monotonic(), 0
        while not self.stopping.is_set():
            due = int((time.monotonic() - start) * self.rate)
            while number < due:
                try:
                    os.write(self.fd, numbered_controls(number))
                    self.sent += 1
                    self.written.append(number)
                except OSError as e:
                    if e.errno not in (errno.EAGAIN, errno.EIO):
                        return
                    self.refused += 1
                number += 1
            try:
                while select.select([self.fd], [], [], 0)[0]:
                    if not os.read(self.fd, 4096):
                        break
            except OSError:
                pass
            time.sleep(0.005)

    def stop(self):
        self.stopping.set()
        self.thread.join()


class Pour(threading.Thread):
    """Writes `chunk` to `fd` over and over, as fast as it is taken, and reads away
    whatever the tool sends, counting its ACKs, until stopped. Start it with start()."""

    def __init__(self, fd, chunk):
        super().__init__(daemon=True)
        self.fd, self.chunk = fd, chunk
        self.sent = 0  # bytes the pty took
        self.acks = 0
        self.stopping = threading.Event()
        os.set_blocking(fd, False)

    def run(self):
        pending = b""
        while not self.stopping.is_set():
            if not pending:
                pending = self.chunk
            try:
                readable, writable, _ = select.select([self.fd], [self.fd], [], 0.05)
                if writable:
                    n = os.write(self.fd, pending)
                    self.sent += n
                    pending = pending[n:]
                if readable:
                    self.acks += os.read(self.fd, 65536).count(ACK)
            except BlockingIOError:
                pass
            except OSError:
                time.sleep(0.005)  # the far end is closed just now

    def stop(self):
        self.stopping.set()
        self.join(5)
