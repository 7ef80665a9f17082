"""`vtl test` at the line's own pace: the production example against simulators that send
and take bytes at 240 bytes a second (--line-rate). Prints FIGURE lines for ./bench.sh.

(a) One unit: the runner's wall time against the time the plan needs at the least: the
    bytes of its requests and answers on the wire at 240 B/s, the waits it asks for
    (wait_ms), and the time the unit took to send the controls and polls the expect
    steps wait for (the unit's own periods, as the steps measured them).
(b) 16 units side by side, each with a simulator of its own: wall time against one
    unit's, and the runner's processor time per unit.

    VTL_NATIVE_BUILD=build/native python3 tests/bench/runner_figures.py"""
import json
import os
import subprocess
import tempfile
import time
import tomllib

from vtltest.vtl_e2e import Simulator

HERE = os.path.dirname(os.path.abspath(__file__))

BUILD = os.path.abspath(os.environ.get("VTL_NATIVE_BUILD", "build/native"))
VTL = os.path.join(BUILD, "vtl")
PLAN = os.path.join(HERE, "..", "..", "examples", "production.toml")
LINE_BYTES_PER_S = 240.0
ACK = 3
# The bytes on the wire of each request and its answers, both ways: request frame, the
# unit's ACK, for a read its 24-byte response and the tool's ACK of it.
READ_BYTES = 6 + ACK + 24 + ACK
WRITE_BYTES = 20 + ACK
TX_BYTES = 6 + ACK
SIM_OPTIONS = ["--line-rate", "--controls-period", "500", "--poll-period", "1000",
               "--controls-pattern", "fixed:0100000000000000"]


def wire_bytes(step):
    if step.get("read"):
        return READ_BYTES
    if "write" in step or step.get("default"):
        return WRITE_BYTES + (READ_BYTES if step.get("verify") else 0) + \
            (READ_BYTES if isinstance(step.get("write"), dict) else 0)
    if "tx" in step:
        return TX_BYTES
    return 0


def run(count):
    """Runs the plan against `count` fresh simulators; wall seconds, processor seconds of
    the runner, and its JSON objects."""
    sims = [Simulator(*SIM_OPTIONS, program=os.path.join(BUILD, "vtl-unit-sim"), com=None)
            for _ in range(count)]
    try:
        args = [a for sim in sims for a in ("--port", sim.path)]
        start = time.monotonic()
        with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
            runner = subprocess.Popen([VTL, "test", PLAN, "--json"] + args, stdout=out,
                                      stderr=err, text=True)
            # Reaped here, for the runner's own processor time (RUSAGE_CHILDREN would also
            # count any other child reaped meanwhile).
            _, status, usage = os.wait4(runner.pid, 0)
            runner.returncode = os.waitstatus_to_exitcode(status)
            out.seek(0)
            err.seek(0)
            stdout, stderr = out.read(), err.read()
        wall = time.monotonic() - start
    finally:
        for sim in sims:
            sim.close()
    cpu = usage.ru_utime + usage.ru_stime
    objects = [json.loads(line) for line in stdout.splitlines()]
    if runner.returncode != 0:
        raise RuntimeError("vtl test failed:\n" + stdout + stderr)
    return wall, cpu, objects


def main():
    with open(PLAN, "rb") as f:
        plan = tomllib.load(f)
    steps = plan["step"]
    wire_s = sum(wire_bytes(s) for s in steps) / LINE_BYTES_PER_S
    waits_s = sum(s.get("wait_ms", 0) for s in steps) / 1000.0

    wall, cpu, objects = run(1)
    results = [o for o in objects if o["event"] == "step"]
    expect_s = sum(r["time_ms"] for r, s in zip(results, steps)
                   if "expect_controls" in s or "expect_poll" in s) / 1000.0
    needed = wire_s + waits_s + expect_s
    print("FIGURE one_unit_wall_s %.3f" % wall)
    print("FIGURE one_unit_needed_s %.3f (wire %.3f s for %d bytes, waits %.3f s, unit's "
          "controls and polls %.3f s)" % (needed, wire_s, sum(wire_bytes(s) for s in steps),
                                          waits_s, expect_s))
    print("FIGURE one_unit_over_pct %.1f" % (100.0 * (wall - needed) / needed))
    steps_s = sum(r["time_ms"] for r in results) / 1000.0
    print("FIGURE one_unit_steps_s %.3f (the steps' own times; the rest is start and end)" % steps_s)

    wall16, cpu16, objects16 = run(16)
    units = [o for o in objects16 if o["event"] == "unit"]
    print("FIGURE sixteen_units_wall_s %.3f (%d units passed)" %
          (wall16, sum(1 for u in units if u["result"] == "PASS")))
    print("FIGURE sixteen_vs_one_pct %.1f" % (100.0 * (wall16 - wall) / wall))
    print("FIGURE cpu_per_unit_ms %.1f (16 units: %.3f s in all; one unit alone: %.1f ms)" %
          (1000.0 * cpu16 / 16, cpu16, 1000.0 * cpu))


if __name__ == "__main__":
    main()
