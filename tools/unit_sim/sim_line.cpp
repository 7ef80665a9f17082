#include "tools/unit_sim/sim_line.h"

#include <cerrno>
#include <cstring>

#include "platform/system.h"
#include "tools/unit_sim/unit_simulator.h"

bool PortLine::Open(std::string* error) {
  if (ownPseudoTerminal) {
    const OpenStatus status = OpenPseudoTerminal(2400, &path);
    if (status == kOpened) return true;
    *error = std::string("cannot create a pseudo-terminal pair: ") +
             (status == kCreateFailed ? SystemErrorText(LastSystemErrorCode()) : OpenStatusText(status));
    return false;
  }
  const OpenStatus status = SerialPort::Open(path.c_str(), 2400);
  if (status == kOpened) return true;
  *error = "cannot open serial device '" + path + "': " + DeviceOpenFailure(path, status);
  return false;
}

void PortLine::OnBytesReceived(const uint8_t* bytes, uint32_t count) {
  simulator->OnBytes(bytes, count);
}

void PortLine::OnDeviceFailed() { simulator->OnLineFailed(); }

SimLine* NewDeviceLine(const std::string& path, UnitSimulator* simulator) {
  return new PortLine(path, simulator);
}
