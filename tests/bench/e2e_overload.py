#!/usr/bin/env python3
"""The running tool under floods far beyond what the line can carry.

VTL_K4ZVL.exe runs under Wine with COM1 on a pseudo-terminal whose far end we hold.
Two floods, each against a fresh tool:
  controls  valid "C" frames as fast as the pty takes them (megabytes a second),
            "Respond to messages" clear;
  polls     "R" frames as fast as the pty takes them, "Respond to messages" ticked;
            the tool's answers are read away.
During each flood "64 bits" is clicked every half second and the time until the page
has handled the click (the box's state and the "Indications" text both changed) is
taken; after the flood, the time until a click is handled again; then the flood starts
again and "Close" is pressed, and the time until the program has ended is taken. The
tool's memory (Linux VmRSS, and its high-water mark VmHWM) is read before and after.

Usage:
  tests/bench/e2e_overload.py [--seconds 10] [--flood controls|polls|both] [--build build/win]
Starts its own Wine harness (as e2e_flood.py does) unless run inside one.

Prints one line per flood, as key=value pairs:
  flood mbps frames_sent memory_growth_mib click_max_ms click_median_ms clicks
  after_flood_ms close_ms dropped_notice
memory_growth_mib is the peak (VmHWM) minus the working set once COM1 was open.
Exit status 0 when every goal was met (growth within 64 MiB, every click and the
answer after the flood within 1 s, Close within 5 s), 1 otherwise. dropped_notice says
whether the log told of dropped frames after the flood (it does when the flood brought
more than the window could take in).
"""
import argparse
import os
import statistics
import sys
import time

from vtltest.bench_harness import ROOT, run_in_harness
from vtltest.peer import Pour, frame

IDC_INDICATIONS, IDC_LOG, IDC_RESPOND, IDC_WIDE = 1022, 1016, 1019, 1093


def click_handled_ms(d, limit=10.0):
    """Clicks "64 bits" and waits until the page has handled it: the box's state and
    the width of the "Indications" text have both changed. Milliseconds, or None."""
    before = d("check-state", 0, IDC_WIDE)
    start = time.perf_counter()
    d("click", 0, IDC_WIDE)  # "pending" after 500 ms: the click is still queued
    width = 72 if before == "0" else 36
    while time.perf_counter() - start < limit:
        if d("check-state", 0, IDC_WIDE) != before and len(d("text", 0, IDC_INDICATIONS)) == width:
            return (time.perf_counter() - start) * 1000.0
        time.sleep(0.005)
    return None


def run_flood(name, chunk, respond, seconds):
    from vtltest import vtl_e2e  # reads VTL_WIN_BUILD at import
    from vtltest.processes import peak_rss_kib, rss_kib, tool_process

    tool = vtl_e2e.Tool()
    d, port = tool.driver, tool.port
    result = {"flood": name}
    pour = None
    try:
        if not port.wait(held=True, timeout=20):
            raise RuntimeError("COM1 was never opened")
        d("wait-text", 0, IDC_LOG, "opened", 10000)
        if respond:
            d("click", 0, IDC_RESPOND)
        time.sleep(0.3)
        port.drain()
        process = tool_process()
        start_kib = rss_kib(process)

        pour = Pour(port.master, chunk)
        began = time.perf_counter()
        pour.start()
        clicks = []
        while time.perf_counter() - began < seconds:
            time.sleep(0.5)
            clicks.append(click_handled_ms(d))
        pour.stop()
        flood_seconds = time.perf_counter() - began
        result["mbps"] = "%.1f" % (pour.sent / flood_seconds / 1e6)
        result["frames_sent"] = pour.sent // len(chunk.split(b"\r")[0] + b"\r")
        pour = None
        # The first click after the flood: the window has caught up with what it kept.
        after = click_handled_ms(d)
        # Once it has caught up, the log tells how many frames the flood cost.
        try:
            d("wait-text", 0, IDC_LOG, "dropped: the line is faster than the window", 10000)
            notice = "shown"
        except vtl_e2e.DriverError:
            notice = "none"
        peak_kib = peak_rss_kib(process)
        # A failed answer to an "R" frame shows a box, which holds the sheet (and Close).
        try:
            d("wait-window", vtl_e2e.ERROR_CAPTION, 100)
            result["error_box"] = "shown"
        except vtl_e2e.DriverError:
            result["error_box"] = "none"

        # Close while a second flood pours in.
        pour = Pour(port.master, chunk)
        pour.start()
        time.sleep(1.0)
        start = time.perf_counter()
        try:
            d("close")
            d("wait-exit", 20000)
            close_ms = (time.perf_counter() - start) * 1000.0
        except vtl_e2e.DriverError:
            close_ms = None

        handled = [c for c in clicks if c is not None]
        result.update({
            "memory_growth_mib": "%.1f" % ((peak_kib - start_kib) / 1024.0),
            "click_max_ms": "%.0f" % max(handled) if len(handled) == len(clicks) else "unhandled",
            "click_median_ms": "%.0f" % statistics.median(handled) if handled else "unhandled",
            "clicks": len(clicks),
            "after_flood_ms": "%.0f" % after if after is not None else "unhandled",
            "close_ms": "%.0f" % close_ms if close_ms is not None else "never",
            "dropped_notice": notice,
        })
        ok = ((peak_kib - start_kib) / 1024.0 <= 64 and len(handled) == len(clicks)
              and max(handled) <= 1000 and after is not None and after <= 1000
              and close_ms is not None and close_ms <= 5000)
    finally:
        if pour:
            pour.stop()
        tool.close()
    print(" ".join("%s=%s" % item for item in result.items()), flush=True)
    return ok


def measure(args):
    controls = b"".join(frame(b"C004" + b"%016X" % (n * 0x0101010101010101 & 0xFFFFFFFFFFFFFFFF))
                        for n in range(256))
    polls = frame(b"R") * 4096
    ok = True
    if args.flood in ("controls", "both"):
        ok = run_flood("controls", controls * 8, False, args.seconds) and ok
    if args.flood in ("polls", "both"):
        ok = run_flood("polls", polls, True, args.seconds) and ok
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--flood", choices=("controls", "polls", "both"), default="both")
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "win"),
                        help="Windows build folder holding VTL_K4ZVL.exe and vtl-driver.exe")
    args = parser.parse_args()
    return run_in_harness(__file__, args, measure)


if __name__ == "__main__":
    sys.exit(main())
