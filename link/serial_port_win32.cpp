// Win32 half of SerialPort: a COM device opened for overlapped I/O, a reader thread
// that blocks in WaitCommEvent and ReadFile, and writes that wait for completion.
//
// Threads and who owns what:
// - `deviceHandle`, `threadHandle` and `readerEvent` are written by the owner thread
//   only, in Open and Close, and never while a reader thread runs. The reader thread
//   copies the device and its event at start and only reads them afterwards; Write,
//   from either thread, only reads `deviceHandle`.
// - `stopRequested` is written by the owner thread (cleared by Open before the thread
//   starts, set by Close) and read by the reader thread before each use of the device
//   and after each OnBytesReceived, so it is atomic.
// - `readerIo` is the reader thread's one OVERLAPPED record. Only the reader thread
//   issues I/O with it; Close passes its address to CancelIoEx, which reads nothing
//   the reader writes.
// - `waits` is counted by the reader thread and read by tests on the owner thread, so
//   it is atomic.
// - Each Write has its own event and OVERLAPPED record, so a write from the owner
//   thread and one from the reader thread (an ACK) may be under way at once.
//
// How Close and the reader never wait on each other: the reader blocks only in the
// driver, never on the owner thread. Close sets `stopRequested`, clears the event mask
// and cancels the reader's pending wait or read, then waits for the thread. The device
// is closed only after the thread has ended (or after the 10 s last resort).
//
// Two behaviours differ between Windows and Wine and the loop is written for both:
// with the reader's time-outs (MAXDWORD, 0, 0) Windows completes a read at once, even
// with 0 bytes, while Wine pends it until data arrives; and Wine completes an armed
// WaitCommEvent now and then with ERROR_OPERATION_ABORTED and an empty mask.
// So every wake-up is followed by a read whatever the mask holds: on Windows it
// returns 0 at once and the thread goes back to WaitCommEvent, under Wine it blocks
// until data comes. Either way the thread sleeps in the driver. Sources: Microsoft's
// COMMTIMEOUTS documentation for the read that returns at once; for Wine 8 both facts
// show in Win32SerialPort.QuietLineCostsTheReaderNoWakeUps (tests/win/
// serial_port_test.cpp), whose wait count finds the batch after a quiet stretch
// delivered by the read already pending, and which a reader that only re-arms its
// wait fails.
#include <windows.h>

#include <algorithm>
#include <atomic>

#include "link/serial_port.h"

struct SerialPort::Platform {
  HANDLE threadHandle = nullptr;
  std::atomic<bool> stopRequested{false};
  HANDLE deviceHandle = INVALID_HANDLE_VALUE;
  HANDLE readerEvent = nullptr;  // made by Open, handed to (and closed by) the reader
  OVERLAPPED readerIo = {};
  std::atomic<uint32_t> waits{0};  // waits and reads the reader has begun since Open
  DWORD baudRate = 0;  // written by Open only, read by Write

  static DWORD WINAPI ReaderThread(LPVOID parameter);
  void CloseDevice();
};

namespace {
constexpr DWORD kDriverQueueBytes = 4096;
constexpr DWORD kReadChunk = 1024;
constexpr DWORD kReaderEvents = EV_RXCHAR | EV_BREAK | EV_ERR;
constexpr DWORD kCloseWaitMs = 10000;
constexpr DWORD kCancelSliceMs = 20;
constexpr DWORD kLongestBackOffMs = 64;

static_assert(sizeof(DCB) == 28, "the device control block is 28 bytes");

// Errors by which drivers (and Wine, for a pty whose far end closed: 109 or 21, as
// tests/e2e/test_reliability.py's DeviceVanishes makes it) say the device is gone for good. ERROR_OPERATION_ABORTED is not one: it also marks a cancelled or
// re-armed wait.
bool DeviceGone(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_BROKEN_PIPE:
    case ERROR_DEVICE_NOT_CONNECTED:
      return true;
    default:
      return false;
  }
}

// Finishes an overlapped call that `started` reports on: waits for it when it pended
// and takes its count from the completed operation. On failure *error holds the code.
bool Finish(HANDLE device, OVERLAPPED* io, BOOL started, DWORD* count, DWORD* error) {
  *error = ERROR_SUCCESS;
  if (!started) {
    *error = GetLastError();
    if (*error != ERROR_IO_PENDING) return false;
  }
  if (!GetOverlappedResult(device, io, count, TRUE)) {
    *error = GetLastError();
    return false;
  }
  return true;
}
}  // namespace

SerialPort::SerialPort() : platform(new Platform) {}

SerialPort::~SerialPort() { Close(); }

bool SerialPort::IsOpen() const { return platform->deviceHandle != INVALID_HANDLE_VALUE; }

uint32_t SerialPort::ReaderWaits() const { return platform->waits.load(); }

void SerialPort::OnBytesReceived(const uint8_t*, uint32_t) {}
void SerialPort::OnDeviceFailed() {}

void SerialPort::Platform::CloseDevice() {
  CloseHandle(deviceHandle);
  deviceHandle = INVALID_HANDLE_VALUE;
}

SerialPort::OpenStatus SerialPort::Open(const char* devicePath, int16_t baudRate) {
  Platform& p = *platform;
  if (p.deviceHandle != INVALID_HANDLE_VALUE) Close();
  // A rate of 0 would divide by zero below, and no device takes a negative one.
  if (baudRate <= 0) return kStateFailed;

  p.deviceHandle = CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (p.deviceHandle == INVALID_HANDLE_VALUE) return kCreateFailed;

  SetupComm(p.deviceHandle, kDriverQueueBytes, kDriverQueueBytes);

  // Reads return what the driver holds at once (the reader thread's loop, above).
  COMMTIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 11 / static_cast<DWORD>(baudRate) + 1;
  timeouts.WriteTotalTimeoutConstant = 1000;
  if (!SetCommTimeouts(p.deviceHandle, &timeouts)) {
    p.CloseDevice();
    return kTimeoutsFailed;
  }

  p.baudRate = static_cast<DWORD>(baudRate);

  DCB dcb = {};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = static_cast<DWORD>(baudRate);
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;  // RTS is driven with EscapeCommFunction
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  if (!SetCommState(p.deviceHandle, &dcb)) {
    p.CloseDevice();
    return kStateFailed;
  }

  // The reader's event is made here rather than in the thread, so that failing to
  // make it is reported like a thread that could not start.
  p.stopRequested = false;
  p.waits = 0;
  p.readerEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (p.readerEvent == nullptr) {
    p.CloseDevice();
    return kThreadFailed;
  }
  p.threadHandle = CreateThread(nullptr, 0, &Platform::ReaderThread, this, 0, nullptr);
  if (p.threadHandle == nullptr) {
    CloseHandle(p.readerEvent);
    p.readerEvent = nullptr;
    p.CloseDevice();
    return kThreadFailed;
  }

  EscapeCommFunction(p.deviceHandle, SETRTS);
  EscapeCommFunction(p.deviceHandle, SETDTR);
  return kOpened;
}

// Windows has no pseudo-terminals; a virtual COM-port pair stands in for one there.
SerialPort::OpenStatus SerialPort::OpenPseudoTerminal(int16_t, std::string*) {
  return kCreateFailed;
}

bool SerialPort::Close() {
  Platform& p = *platform;
  if (p.deviceHandle == INVALID_HANDLE_VALUE) return false;
  p.stopRequested = true;
  SetCommMask(p.deviceHandle, 0);

  if (p.threadHandle != nullptr) {
    // The reader may issue a new wait or read just after a cancel, so cancel again
    // on every slice until it has ended.
    const ULONGLONG deadline = GetTickCount64() + kCloseWaitMs;
    for (;;) {
      CancelIoEx(p.deviceHandle, &p.readerIo);
      if (WaitForSingleObject(p.threadHandle, kCancelSliceMs) != WAIT_TIMEOUT) break;
      if (GetTickCount64() >= deadline) break;
    }
    CloseHandle(p.threadHandle);
    p.threadHandle = nullptr;
  }
  p.readerEvent = nullptr;  // the reader closes it as it ends

  EscapeCommFunction(p.deviceHandle, CLRRTS);
  EscapeCommFunction(p.deviceHandle, CLRDTR);
  p.CloseDevice();
  return true;
}

uint32_t SerialPort::Write(const uint8_t* bytes, uint32_t count) {
  const HANDLE device = platform->deviceHandle;
  if (device == INVALID_HANDLE_VALUE || bytes == nullptr || count == 0) return 0;
  OVERLAPPED io = {};
  io.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (io.hEvent == nullptr) return 0;
  DWORD written = 0;
  if (!WriteFile(device, bytes, count, &written, &io)) {
    if (GetLastError() == ERROR_IO_PENDING) {
      // A line that does not take the bytes in about their own time (the far end has
      // stopped reading, or a loopback is full) must not hold the writer, often the
      // window, for the driver's full time-out: the write is cancelled (CancelIoEx, as
      // for the reader) and counts what went out before.
      if (WaitForSingleObject(io.hEvent, WriteTimeLimitMs(count, platform->baudRate)) ==
          WAIT_TIMEOUT) {
        CancelIoEx(device, &io);
      }
      // Sets the count even when the operation failed or was cancelled.
      GetOverlappedResult(device, &io, &written, TRUE);
    } else {
      written = 0;
    }
  }
  CloseHandle(io.hEvent);
  return written;
}

DWORD WINAPI SerialPort::Platform::ReaderThread(LPVOID parameter) {
  SerialPort& port = *static_cast<SerialPort*>(parameter);
  Platform& p = *port.platform;
  const HANDLE device = p.deviceHandle;
  const HANDLE event = p.readerEvent;
  if (device == INVALID_HANDLE_VALUE) {
    CloseHandle(event);
    return 0;
  }
  OVERLAPPED& io = p.readerIo;

  SetCommMask(device, kReaderEvents);

  uint8_t buffer[kReadChunk];
  DWORD backOffMs = 0;
  bool failed = false;  // the device has gone
  while (!p.stopRequested && !failed) {
    bool troubled = false;  // some call of this pass failed
    bool received = false;

    io = OVERLAPPED{};
    io.hEvent = event;
    DWORD mask = 0;
    DWORD count = 0;
    DWORD error = ERROR_SUCCESS;
    ++p.waits;
    if (!Finish(device, &io, WaitCommEvent(device, &mask, &io), &count, &error)) {
      troubled = true;
      failed = DeviceGone(error);
    }
    if (p.stopRequested || failed) break;

    DWORD commErrors = 0;
    if (!ClearCommError(device, &commErrors, nullptr)) {
      troubled = true;
      failed = DeviceGone(GetLastError());
      if (failed) break;
    }

    // Drain the driver whatever the mask says (see the note at the top).
    while (!p.stopRequested) {
      io = OVERLAPPED{};
      io.hEvent = event;
      count = 0;
      ++p.waits;
      if (!Finish(device, &io, ReadFile(device, buffer, kReadChunk, &count, &io), &count,
                  &error)) {
        troubled = true;
        failed = DeviceGone(error);
        break;
      }
      if (count == 0 || p.stopRequested) break;
      received = true;
      port.OnBytesReceived(buffer, count);
    }

    // A run of passes that fail without delivering anything would spin a core; wait a
    // little longer after each, so a device in trouble costs next to nothing.
    if (troubled && !received && !failed && !p.stopRequested) {
      backOffMs = backOffMs == 0 ? 1 : std::min(backOffMs * 2, kLongestBackOffMs);
      Sleep(backOffMs);
    } else {
      backOffMs = 0;
    }
  }

  if (failed && !p.stopRequested) port.OnDeviceFailed();
  CloseHandle(event);
  return 0;
}
