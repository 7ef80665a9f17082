"""The far end of a COM port, played from Python on the master side of its pty:
frames built as the unit builds them, and a steady flood of them."""
import errno
import fcntl
import os
import select
import threading
import time


def framed(payload):
    """Line feed, payload, checksum digits (low nibble first), carriage return."""
    line = b"\n" + payload
    total = sum(line) & 0xFF
    digits = b"0123456789ABCDEF"
    return line + bytes([digits[total & 15], digits[total >> 4]]) + b"\r"


def numbered_controls(i):
    """A valid 32-bit "C" frame that carries the number i in its four bytes."""
    digits = b"".join(b"%X%X" % ((i >> (8 * k)) & 15, (i >> (8 * k + 4)) & 15) for k in range(4))
    return framed(b"C002" + digits)


def log_text(frame):
    """The frame as the message log shows it after "Rx: "."""
    return frame[1:-1].decode()


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
