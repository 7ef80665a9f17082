#pragma once
// The simulator's end of the serial line: a device opened by path (a real serial port,
// one end of a null-modem pair, or a pseudo-terminal someone else made), or on Linux a
// pseudo-terminal pair of our own whose other end the tool opens.
//
// The device line is shared (sim_line.cpp, over the project's SerialPort); what differs
// per platform is in sim_line_posix.cpp and sim_line_win32.cpp.
#include <cstddef>
#include <cstdint>
#include <string>

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

// The device line over SerialPort at the link's 2400 baud, 8N1.
SimLine* NewDeviceLine(const std::string& path, UnitSimulator* simulator);

// Why SerialPort::Open of path failed with status, in the system's words; called at
// once after the failed Open, while the system's last error is still its own.
std::string DeviceOpenFailure(const std::string& path, int16_t status);
