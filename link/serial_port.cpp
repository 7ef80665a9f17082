// What both halves of SerialPort share: the texts for Open's results.
#include "link/serial_port.h"

#include <cstdio>

const char* SerialPort::OpenStatusText(int status) {
  switch (status) {
    case kOpened: return "opened";
    case kCreateFailed: return "the device could not be opened";
    case kTimeoutsFailed: return "its time-outs could not be set";
    case kStateFailed: return "its line settings could not be set";
    case kThreadFailed: return "its reader thread could not be started";
    default: return "";
  }
}

void FormatOpenFailure(char* buffer, unsigned size, const char* devicePath, int status) {
  std::snprintf(buffer, size, "Failed to open serial port '%s'\nError code %d", devicePath, status);
}
