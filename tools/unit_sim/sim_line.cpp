#include "tools/unit_sim/sim_line.h"

#include "link/serial_port.h"
#include "tools/unit_sim/unit_simulator.h"

namespace {

class DeviceLine : public SimLine, private SerialPort {
 public:
  DeviceLine(const std::string& path, UnitSimulator* simulator)
      : path(path), simulator(simulator) {}
  ~DeviceLine() override { DeviceLine::Close(); }

  bool Open(std::string* error) override {
    const OpenStatus status = SerialPort::Open(path.c_str(), 2400);
    if (status == kOpened) return true;
    *error = "cannot open serial device '" + path + "': " + DeviceOpenFailure(path, status);
    return false;
  }
  void Close() override { SerialPort::Close(); }
  size_t Write(const uint8_t* bytes, size_t count) override {
    return SerialPort::Write(bytes, static_cast<uint32_t>(count));
  }
  std::string Path() const override { return path; }

 private:
  void OnBytesReceived(const uint8_t* bytes, uint32_t count) override {
    simulator->OnBytes(bytes, count);
  }
  void OnDeviceFailed() override { simulator->OnLineFailed(); }

  const std::string path;
  UnitSimulator* const simulator;
};

}  // namespace

SimLine* NewDeviceLine(const std::string& path, UnitSimulator* simulator) {
  return new DeviceLine(path, simulator);
}
