// The simulator's line on Windows: always an existing COM port, opened as the tool
// opens its own, by the device name "\\.\COMn".
#include "platform/system.h"
#include "platform/system_rules.h"
#include "tools/unit_sim/sim_line.h"
#include "tools/unit_sim/sim_options.h"

const bool kSimHasOwnLine = false;

std::string DeviceOpenFailure(const std::string&, int16_t status) {
  const unsigned long error = LastSystemErrorCode();
  std::string why = SystemErrorText(error);
  if (why.empty()) why = "system error";
  return why + " (error " + std::to_string(error) + ", step " + std::to_string(status) + ")";
}

SimLine* NewSimLine(const SimOptions& options, UnitSimulator* simulator) {
  // "COM5" as the user knows it; COM10 and above open only by the device name, so
  // every port is opened that way (Microsoft's CreateFile notes on COM ports).
  return NewDeviceLine(ComDevicePath(options.device), simulator);
}
