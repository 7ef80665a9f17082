#pragma once
// Rules about the operating system's names and texts that need no system call, so the
// native tests check them on every build (the calls are in system.h).
#include <string>

// The name CreateFile opens a COM port by: "COM12" becomes "\\.\COM12", a name that
// already has the prefix stays as it is. Without the prefix CreateFile finds COM1 to
// COM9 only (Win32 docs, "Naming a File": COM10 and up).
std::string ComDevicePath(const std::string& port);

// A whole decimal number of plain digits, nothing before or after, at most max; false
// (and *value untouched) for anything else: empty text, a sign, a blank, a number
// beyond max however many digits it has.
bool ParseDecimal(const std::string& text, unsigned long max, unsigned long* value);

// A time of day to the millisecond as the programs print it: "14:03:07.412".
std::string TimeOfDayText(unsigned hour, unsigned minute, unsigned second, unsigned ms);

// A system's message text without the line end (and blanks) it ends with: both
// FormatMessage and Wine's texts end in "\r\n".
std::string TrimSystemText(std::string text);
