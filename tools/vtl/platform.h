#pragma once
// What vtl needs of the operating system beyond the serial port, one file per platform
// (platform_posix.cpp, platform_win32.cpp), chosen by the build.
#include <string>
#include <vector>

// The path SerialPort opens for a port name: on Windows "COM3" becomes "\\.\COM3"
// (names from COM10 up open only that way); elsewhere the name is the path.
std::string DevicePath(const std::string& port);

// The reason the system gave for the last failed call (errno or GetLastError).
std::string LastSystemError();

// The serial ports present, one name per entry.
std::vector<std::string> ListPorts();

// Local time of day to the millisecond, "14:03:07.412".
std::string TimeOfDay();

// Moves a file over another, replacing it in one step (rename, MoveFileEx).
bool MoveIntoPlace(const std::string& from, const std::string& to);

// Ctrl-C (and SIGTERM where there is one) sets the flag instead of ending the program.
void CatchStopSignals();
bool StopRequested();
