#pragma once
// The simulator's end of the serial line: a device opened by path (a real COM port,
// one end of a null-modem pair, or a pseudo-terminal someone else made), or a
// pseudo-terminal pair of our own whose other end the tool opens.
#include <cstddef>
#include <cstdint>
#include <string>

class UnitSimulator;

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
  // True when output was thrown away since the last call because nobody is reading
  // the line (our own pseudo-terminal with no program attached).
  virtual bool TakeDroppedNote() { return false; }
};

SimLine* NewDeviceLine(const std::string& path, UnitSimulator* simulator);
SimLine* NewPtyLine(UnitSimulator* simulator);
