#pragma once
// What vtl needs of the operating system beyond the serial port, one file per platform
// (platform_posix.cpp, platform_win32.cpp), chosen by the build.
#include <string>
#include <vector>

// The time of day and stop requests (Ctrl-C) are the programs' common ones.
#include "platform/system.h"

// The path SerialPort opens for a port name: on Windows "COM3" becomes "\\.\COM3"
// (names from COM10 up open only that way); elsewhere the name is the path.
std::string DevicePath(const std::string& port);

// The reason the system gave for the last failed call (errno or GetLastError).
std::string LastSystemError();

// The serial ports present, one name per entry.
std::vector<std::string> ListPorts();
