#pragma once
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

// One serial device, its reader thread and its writer.
//
// Threads: Open, Close and the destructor run on one owner thread (the user-interface
// thread in the tool). Open starts one reader thread per open device; it blocks in the
// driver and hands every non-empty read to OnBytesReceived, on the reader thread, in
// order. Write may be called from the owner thread and from the reader thread at the
// same time: each call has its own completion state. Close stops the reader thread and
// waits for it; once Close returns no OnBytesReceived call is running or will start,
// so an override may touch its own state without a lock as long as the owner thread
// does not touch the same state while the port is open.
//
// The platform half (Win32 overlapped I/O, or POSIX termios and poll) is chosen by the
// build; both report the same status codes.
class SerialPort {
 public:
  // What Open reports. The numbers are shown to users ("Error code -1"), so they
  // never change; OpenStatusText words each one.
  enum OpenStatus : int16_t {
    kOpened = 1,
    kCreateFailed = -1,    // the device could not be opened
    kTimeoutsFailed = -2,  // its time-outs could not be set
    kStateFailed = -3,     // its line settings could not be set
    kThreadFailed = -4,    // the reader thread could not be started
  };
  // The words for a status, as the programs built on the port describe an open:
  // "its line settings could not be set". "opened" for kOpened, "" for a number that
  // is no status.
  static const char* OpenStatusText(int status);

  SerialPort();
  virtual ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens and configures the device (8 data bits, no parity, 1 stop bit: the link's
  // framing) and starts the reader thread. An open device is closed first. DTR and RTS
  // are raised while the device is open.
  OpenStatus Open(const char* devicePath, int16_t baudRate);
  // Makes a new pseudo-terminal and opens its controlling end as this device, as Open
  // does; *otherEnd is the path another program opens. That end is held open here too,
  // so the line stays up while the other program closes and reopens it. Only POSIX
  // systems have pseudo-terminals: on Windows this returns kCreateFailed.
  OpenStatus OpenPseudoTerminal(int16_t baudRate, std::string* otherEnd);
  // Stops the reader thread, lowers RTS and DTR and closes the device; false when no
  // device was open.
  bool Close();
  // Writes count bytes and waits for them to go out; returns how many did (0 on refusal).
  // A write the line has not taken within WriteTimeLimitMs is given up and returns the
  // bytes that went out before, so a stalled line never holds the writer for long.
  uint32_t Write(const uint8_t* bytes, uint32_t count);
  // Whether a device is open at this moment: true from a successful Open until Close,
  // and still true after the device has gone away (its writes then fail); false after
  // a failed Open, even one that followed a successful one. Compare FrameCodec's
  // IsOpened, which says whether the link is meant to be up.
  bool IsOpen() const;

  // For tests: how many times the reader thread of the open port has begun to wait on
  // the device (counted from Open). A reader that sleeps in the driver begins a wait
  // once or twice per batch of bytes, however long the line stays quiet; one that spins
  // begins thousands a second. Owner thread, while the port is open or after Close.
  uint32_t ReaderWaits() const;

  // How long a write of `count` bytes may take at `baudRate`: the bytes' own time on
  // the line (10 bit times each: start bit, 8 data bits, stop bit) and an allowance for
  // the driver and the scheduler. 204 ms for a 25-byte frame at 2400 baud.
  static constexpr uint32_t kWriteAllowanceMs = 100;
  static constexpr uint32_t WriteTimeLimitMs(uint32_t count, uint32_t baudRate) {
    const uint64_t lineMs = baudRate == 0 ? 0 : (uint64_t{count} * 10 * 1000 + baudRate - 1) / baudRate;
    // Capped below INFINITE (0xFFFFFFFF), which a wait would take as "no limit".
    return static_cast<uint32_t>(std::min<uint64_t>(lineMs + kWriteAllowanceMs, 0xFFFFFFFEu));
  }

 protected:
  // Reader thread: one batch of 1 to 1024 received bytes, valid during the call only.
  virtual void OnBytesReceived(const uint8_t* bytes, uint32_t count);
  // Reader thread, at most once per Open: the device has gone away (unplugged, or the
  // far end of a virtual line closed). The reader thread ends after it; the device
  // stays open until Close, and writes to it fail.
  virtual void OnDeviceFailed();

 private:
  struct Platform;  // the handles and the reader thread, per platform
  // POSIX half: sets up the device just opened and starts its reader thread.
  OpenStatus Start(int16_t baudRate);
  std::unique_ptr<Platform> platform;
};

// The text the tool shows when a device cannot be opened:
// "Failed to open serial port '<path>'\nError code <status>".
void FormatOpenFailure(char* buffer, unsigned size, const char* devicePath, int status);
