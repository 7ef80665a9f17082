"""Figures of the running tool under Wine: answer latencies, start-up time, the time
to close a port while frames flood in, the exe's size and the process's memory.

Run by ./bench.sh inside the Wine harness (WINEPREFIX, DISPLAY, VTL_WIN_BUILD and
VTL_E2E_TMP set, as tests/e2e/run-e2e.sh sets them); VTL_NATIVE_BUILD names the native
build with the unit simulator. With the argument "close", only the close figure is taken.
Prints one line per figure:
    FIGURE <name> <value> <unit> <detail>
and nothing else on stdout, so bench.sh can gather them into its table.
"""
import os
import select
import statistics
import sys
import time

from vtltest.peer import Flooder, frame
from vtltest.processes import peak_rss_kib, tool_process
from vtltest.vtl_e2e import EXE, Port, Tool

IDC_PORT_COMBO, IDC_RESPOND = 1012, 1019
SAMPLES = int(os.environ.get("VTL_BENCH_SAMPLES", "300"))


def figure(name, value, unit, detail=""):
    print("FIGURE %s %s %s %s" % (name, value, unit, detail), flush=True)


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(share * (len(ordered) - 1))))]


def read_frame(fd, timeout=2.0):
    """Bytes from the tool up to and including a carriage return; the time the first
    one was seen."""
    end = time.monotonic() + timeout
    data, first = b"", None
    while time.monotonic() < end:
        if not select.select([fd], [], [], max(0.0, end - time.monotonic()))[0]:
            break
        if first is None:
            first = time.perf_counter()
        data += os.read(fd, 256)
        if b"\r" in data:
            break
    return first, data


def answer_latency(port, frame, expect, samples):
    """Milliseconds from our last byte of `frame` written to the first byte of the
    answer read back, `samples` times, with a short random pause between."""
    fd = port.master
    times, wrong = [], 0
    for i in range(samples):
        port.drain()
        os.write(fd, frame)
        written = time.perf_counter()
        first, data = read_frame(fd)
        if first is None or not data.startswith(expect):
            wrong += 1
            continue
        times.append((first - written) * 1000.0)
        time.sleep(0.01 + (i % 7) * 0.003)
    return times, wrong


def start_tool(port_ready):
    """The tool started as the tests start it, COM1 left as mapped; its process and
    driver."""
    tool = Tool(com1=False)
    if port_ready is not None and not port_ready():
        tool.close()
        raise RuntimeError("the tool did not open COM1")
    return tool.process, tool.driver


def stop_tool(process, driver):
    try:
        driver("close")
        driver("wait-exit", 15000)
    finally:
        driver.close()
        process.wait(15)


def latencies():
    port = Port(1)
    process, driver = start_tool(lambda: port.wait(True, 10))
    try:
        time.sleep(0.5)
        port.drain(0.05)
        times, wrong = answer_latency(port, frame(b"~r3105C3DBFB216000D0"), b"\n+\r", SAMPLES)
        figure("ack_latency_median", "%.2f" % statistics.median(times), "ms",
               "%d samples, %d without the right answer" % (len(times), wrong))
        figure("ack_latency_p99", "%.2f" % percentile(times, 0.99), "ms",
               "max %.2f ms" % max(times))

        driver("click", 0, IDC_RESPOND)  # answers at once with the indications packet
        time.sleep(0.3)
        port.drain(0.05)
        times, wrong = answer_latency(port, frame(b"R"), b"\nI", SAMPLES)
        figure("r_answer_latency_median", "%.2f" % statistics.median(times), "ms",
               "%d samples, %d without the right answer; p99 %.2f ms"
               % (len(times), wrong, percentile(times, 0.99)))

        linux = tool_process()
        working, peak, private = map(int, driver("memory").split())
        figure("peak_working_set", "%.1f" % (peak / 1048576.0), "MiB",
               "after the latency runs; Windows' figure (Wine); now %.1f MiB, private %.1f MiB; "
               "Linux VmHWM of the process %.1f MiB"
               % (working / 1048576.0, private / 1048576.0,
                  (peak_rss_kib(linux) / 1024.0) if linux else 0.0))
        figure("handle_count", driver("handles"), "handles", "after the latency runs")
    finally:
        stop_tool(process, driver)
        port.close()


def start_up(runs=9):
    """Launch to the sheet on screen, the Wine server already running and warm."""
    port = Port(1)
    times = []
    try:
        for i in range(runs + 1):
            started = time.perf_counter()
            process, driver = start_tool(None)
            shown = time.perf_counter()
            if i > 0:  # the first launch warms Wine's caches and is not counted
                times.append((shown - started) * 1000.0)
            port.wait(True, 10)
            stop_tool(process, driver)
    finally:
        port.close()
    figure("start_up_median", "%.0f" % statistics.median(times), "ms",
           "%d launches after one warm-up; min %.0f, max %.0f; found by polling every 20 ms"
           % (len(times), min(times), max(times)))


def close_while_flooding(rate=2000, cycles=20):
    """Frames flood in at `rate` per second; "None" is chosen and then COM1 again, and
    the time the page takes to close the port (until the combo's notification has been
    handled) is measured inside the driver."""
    port = Port(1)
    process, driver = start_tool(lambda: port.wait(True, 10))
    flood = Flooder(port.master, rate)
    try:
        driver("wait-text", 0, 1016, "Rx:", 15000)
        times, pending = [], 0
        for _ in range(cycles):
            time.sleep(0.3)  # let the flood run
            answer = driver("timed", "combo-select", 0, IDC_PORT_COMBO, 0).split()
            if len(answer) > 1 and answer[1] == "pending":
                pending += 1
            times.append(int(answer[0]) / 1000.0)
            driver("wait-text", 0, IDC_PORT_COMBO, "None", 5000)
            driver("combo-select", 0, IDC_PORT_COMBO, 1)
            driver("wait-text", 0, IDC_PORT_COMBO, "COM1", 5000)
        figure("close_while_flooding_median", "%.1f" % statistics.median(times), "ms",
               "%d closes at %d frames/s; max %.1f ms; %d over 500 ms"
               % (len(times), rate, max(times), pending))
    finally:
        flood.stop()
        stop_tool(process, driver)
        port.close()


def main():
    if sys.argv[1:] == ["close"]:  # the close figure alone (bench.sh, Wine's default theme)
        close_while_flooding()
        return
    figure("exe_size", "%.1f" % (os.path.getsize(EXE) / 1024.0), "KiB", os.path.basename(EXE))
    latencies()
    start_up()
    close_while_flooding()


if __name__ == "__main__":
    main()
