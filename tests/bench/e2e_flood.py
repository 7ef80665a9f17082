#!/usr/bin/env python3
"""How many frames per second the running tool takes in, end to end.

VTL_K4ZVL.exe runs under Wine with COM1 on a pseudo-terminal whose far end we hold.
With "Respond to messages" and "Write to ZVL-Log.txt" ticked, we send valid controls
("C") frames as fast as the tool answers them, keeping at most --window frames
unanswered, for --seconds. Every frame must come back as one ACK, as one "Rx: " line
in ZVL-Log.txt (which copies the message log line for line), and the last one must be
the newest line of the log box and the "Controls" text.

Usage:
  tests/bench/e2e_flood.py [--seconds 30] [--width 32|64] [--window 64]
                           [--build build/win] [--no-log-file]
Starts its own Wine harness (a private prefix, VTL_WINE_PREFIX or build/wine-prefix-bench,
and an Xvfb display) unless run inside one (WINEPREFIX and DISPLAY set).

The last line of output holds the figures, as key=value pairs:
  frames_sent acks_received logged lost seconds fps line_fps ratio
lost is frames sent minus the fewest of ACKs and logged lines (0 when nothing was
lost); line_fps is what a 2400-baud line carries of these frames (10 bits a byte).
Exit status 0 when nothing was lost and the last frame was shown, 1 otherwise.
"""
import argparse
import os
import re
import select
import sys
import time

from vtltest.bench_harness import ROOT, run_in_harness
from vtltest.peer import ACK, bits, log_text, number_bytes, numbered_controls

IDC_CONTROLS, IDC_LOG, IDC_RESPOND, IDC_LOG_TO_FILE = 1004, 1016, 1019, 1094


def wait_until(check, timeout, step=0.05):
    end = time.time() + timeout
    while time.time() < end:
        result = check()
        if result:
            return result
        time.sleep(step)
    return check()


def measure(args):
    from vtltest import vtl_e2e  # reads VTL_WIN_BUILD at import

    workdir = os.path.join(vtl_e2e.TMP, "bench-flood")
    os.makedirs(workdir, exist_ok=True)
    log_file = os.path.join(workdir, "ZVL-Log.txt")
    if os.path.exists(log_file):
        os.remove(log_file)
    tool = vtl_e2e.Tool(cwd=workdir)
    d, port = tool.driver, tool.port
    try:
        if not port.wait(held=True, timeout=20):
            print("COM1 was never opened", file=sys.stderr)
            return 1
        d("wait-text", 0, IDC_LOG, "opened", 10000)
        d("click", 0, IDC_RESPOND)  # sends the indications packet at once
        if args.log_file:
            d("click", 0, IDC_LOG_TO_FILE)
        master = port.master
        # The packet sent on ticking, then nothing: the line is quiet before we start.
        wait_until(lambda: select.select([master], [], [], 0)[0], 5)
        time.sleep(0.3)
        port.drain()

        sent = acked = 0
        pending_out = b""
        received = b""
        last_data = None
        start = time.time()
        stop = start + args.seconds
        while True:
            now = time.time()
            sending = now < stop
            if sending and not pending_out and sent - acked < args.window:
                batch = []
                while sent - acked + len(batch) < args.window:
                    number = sent + len(batch) + 1
                    batch.append(numbered_controls(number, args.width))
                    last_data = number_bytes(number, args.width)
                pending_out = b"".join(batch)
                sent += len(batch)
            if not sending and acked >= sent:
                break
            if not sending and now > stop + 20:
                break  # the tool stopped answering
            writers = [master] if pending_out else []
            readable, writable, _ = select.select([master], writers, [], 0.2)
            if writable:
                n = os.write(master, pending_out)
                pending_out = pending_out[n:]
            if readable:
                received += os.read(master, 65536)
                acks = received.count(ACK)
                acked += acks
                received = received[received.rfind(ACK) + 3:] if acks else received[-2:]
        elapsed = time.time() - start
        # Counted at the far end: everything sent went out and came back as one ACK.
        # Counted at the tool: one "Rx: " line per frame in the log file.
        shown = d("wait-text", 0, IDC_CONTROLS, bits(last_data), 20000) == bits(last_data)
        last_line = log_text(numbered_controls(sent, args.width))
        box = wait_until(lambda: d("text", 0, IDC_LOG).rstrip("\r\n").endswith("Rx: " + last_line), 20)
        logged = -1
        if args.log_file:
            def rx_lines():
                with open(log_file, "rb") as f:
                    return len(re.findall(rb"\tRx: C", f.read()))
            wait_until(lambda: rx_lines() >= sent, 20)
            logged = rx_lines()
    finally:
        tool.close()

    fps = acked / elapsed if elapsed > 0 else 0.0
    frame_bytes = len(numbered_controls(1, args.width))
    line_fps = 2400 / 10 / frame_bytes
    counted = min(acked, logged) if args.log_file else acked
    lost = sent - counted
    ok = lost == 0 and acked == sent and shown and bool(box)
    print("frames_sent=%d acks_received=%d logged=%d lost=%d seconds=%.1f fps=%.0f line_fps=%.1f "
          "ratio=%.0f shown=%s" % (sent, acked, logged, lost, elapsed, fps, line_fps, fps / line_fps,
                                   "yes" if shown and box else "no"))
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--width", type=int, choices=(32, 64), default=64)
    parser.add_argument("--window", type=int, default=64,
                        help="most frames sent and not yet answered (default 64)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "win"),
                        help="Windows build folder holding VTL_K4ZVL.exe and vtl-driver.exe")
    parser.add_argument("--no-log-file", dest="log_file", action="store_false",
                        help="leave \"Write to ZVL-Log.txt\" clear (the tool's count is then not taken)")
    args = parser.parse_args()
    return run_in_harness(__file__, args, measure)


if __name__ == "__main__":
    sys.exit(main())
