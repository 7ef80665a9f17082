// The simulator's line on Windows: always an existing COM port, opened as the tool
// opens its own, by the device name "\\.\COMn".
#include <windows.h>

#include "tools/unit_sim/sim_line.h"
#include "tools/unit_sim/sim_options.h"

const bool kSimHasOwnLine = false;

std::string DeviceOpenFailure(const std::string&, int16_t status) {
  const DWORD error = GetLastError();
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 error, 0, text, sizeof text, nullptr);
  std::string why(text, n);
  while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' ')) why.pop_back();
  if (why.empty()) why = "system error";
  return why + " (error " + std::to_string(error) + ", step " + std::to_string(status) + ")";
}

SimLine* NewSimLine(const SimOptions& options, UnitSimulator* simulator) {
  // "COM5" as the user knows it; COM10 and above open only by the device name, so
  // every port is opened that way (Microsoft's CreateFile notes on COM ports).
  const std::string& port = options.device;
  const bool bare = port.compare(0, 4, "\\\\.\\") != 0;
  return NewDeviceLine(bare ? "\\\\.\\" + port : port, simulator);
}
