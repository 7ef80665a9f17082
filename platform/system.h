#pragma once
// What the programs ask of the operating system beyond the serial port and the windows,
// one file per platform (system_posix.cpp, system_win32.cpp), chosen by the build.
#include <string>

// The code of the last failed call: GetLastError() on Windows, errno elsewhere.
unsigned long LastSystemErrorCode();
// The system's text for such a code, without its line end; empty where it has none.
std::string SystemErrorText(unsigned long code);

// The local time of day to the millisecond, "14:03:07.412".
std::string TimeOfDay();

// A request to stop (Ctrl-C; SIGTERM, Ctrl-Break or closing the console where there is
// one) is kept instead of ending the program. Called first, before any thread starts:
// on Linux the signals are then blocked in every thread and taken only by the calls
// below, so no other thread's call is interrupted by them.
void CatchStopSignals();
// Whether a stop has been asked for; does not wait.
bool StopRequested();
// Waits until a stop is asked for (true) or ms have passed (false).
constexpr unsigned kWaitForever = ~0u;
bool WaitForStop(unsigned ms);
