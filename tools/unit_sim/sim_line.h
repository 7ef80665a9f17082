#pragma once
// The simulator's end of the serial line: a device opened by path (a real serial port,
// one end of a null-modem pair, or a pseudo-terminal someone else made), or on Linux a
// pseudo-terminal pair of our own whose other end the tool opens.
//
// Both go through the project's SerialPort (PortLine, sim_line.cpp); what differs per
// platform is in sim_line_posix.cpp and sim_line_win32.cpp.
#include <cstddef>
#include <cstdint>
#include <string>

#include "link/serial_port.h"

class UnitSimulator;
struct SimOptions;

class SimLine {
 public:
  virtual ~SimLine() = default;
  // Starts delivering received bytes to the simulator. *error says why on failure.
  virtual bool Open(std::string* error) = 0;
  virtual void Close() = 0;
  // Writes all bytes or reports how many went out.
  virtual size_t Write(const uint8_t* bytes, size_t count) = 0;
  // The path of the end the tool opens.
  virtual std::string Path() const = 0;
  // The path and where else the line is known, for the output.
  virtual std::string Describe() const { return Path(); }
  // True when output was thrown away since the last call because nobody is reading
  // the line (our own pseudo-terminal with no program attached).
  virtual bool TakeDroppedNote() { return false; }
  // False while we can tell that no program has opened the tool's end yet (our own
  // pseudo-terminal); true once one has, and always where we cannot tell.
  virtual bool PeerOpened() { return true; }
};

// The line the options ask for: --device, or our own pseudo-terminal (Linux).
SimLine* NewSimLine(const SimOptions& options, UnitSimulator* simulator);

// The device line: a PortLine on `path`.
SimLine* NewDeviceLine(const std::string& path, UnitSimulator* simulator);

// The line over SerialPort at the link's 2400 baud, 8N1: the device at `path`, or with
// an empty path (POSIX only) a pseudo-terminal of SerialPort's own making, whose other
// end the tool opens and whose path Path() gives once it is open.
class PortLine : public SimLine, protected SerialPort {
 public:
  PortLine(const std::string& path, UnitSimulator* simulator)
      : path(path), ownPseudoTerminal(path.empty()), simulator(simulator) {}
  ~PortLine() override { PortLine::Close(); }

  bool Open(std::string* error) override;
  void Close() override { SerialPort::Close(); }
  size_t Write(const uint8_t* bytes, size_t count) override {
    return SerialPort::Write(bytes, static_cast<uint32_t>(count));
  }
  std::string Path() const override { return path; }

 private:
  void OnBytesReceived(const uint8_t* bytes, uint32_t count) override;
  void OnDeviceFailed() override;

  std::string path;
  const bool ownPseudoTerminal;
  UnitSimulator* const simulator;
};

// Why SerialPort::Open of path failed with status, in the system's words; called at
// once after the failed Open, while the system's last error is still its own.
std::string DeviceOpenFailure(const std::string& path, int16_t status);
