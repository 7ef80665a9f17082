#pragma once
// How a run of the simulator ends, per platform (sim_end_posix.cpp, sim_end_win32.cpp):
// SIGINT or SIGTERM on Linux, Ctrl-C or Ctrl-Break on Windows, or --run-for.

// Called first, before any thread starts.
void PrepareForEnd();
// Returns when the run is asked to end, or once runForMs have passed (0: no limit).
void WaitForEnd(unsigned runForMs);
// Stopping waits for the sender, which may be blocked printing to a pipe that nobody
// reads any more: unless disarmed within ms, the guard ends the process, as the
// request to end asked.
void ArmStopGuard(unsigned ms);
void DisarmStopGuard();
