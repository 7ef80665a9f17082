#pragma once
// The read loop and the write with a deadline that every POSIX end of the link uses:
// SerialPort's POSIX half (the simulator's device line, vtl, the native tests) and the
// simulator's own pseudo-terminal line.
//
// Threads: Start and Stop run on one owner thread; the reader thread they start blocks
// in poll on the device and on a wake-up pipe, so Stop never waits for received data.
// `stopRequested` and `waits` are written by one thread and read by the other, so
// they are atomic; the descriptors are written by the owner only, never while the
// reader runs.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

class PollReader {
 public:
  // Reader thread: one batch of 1 to 1024 received bytes, valid during the call only.
  using OnBytes = std::function<void(const uint8_t* bytes, uint32_t count)>;
  // Reader thread, at most once per Start: the far end has gone. The reader ends after
  // it instead of spinning on the hang-up.
  using OnFailed = std::function<void()>;

  PollReader() = default;
  ~PollReader() { Stop(); }
  PollReader(const PollReader&) = delete;
  PollReader& operator=(const PollReader&) = delete;

  // Makes the wake-up pipe. False (errno set) when it cannot be made; nothing runs then.
  bool MakeWakePipe();
  // Starts reading `device` (non-blocking, open until Stop returns). MakeWakePipe first.
  void Start(int device, OnBytes onBytes, OnFailed onFailed);
  // Wakes the reader, waits for it to end and closes the pipe; nothing when idle.
  void Stop();
  bool Running() const { return reader.joinable(); }
  // How many times the reader has begun to wait in poll since MakeWakePipe.
  uint32_t Waits() const { return waits.load(); }

 private:
  void Loop(int device, const OnBytes& onBytes, const OnFailed& onFailed);

  int wakePipe[2] = {-1, -1};
  std::thread reader;
  std::atomic<bool> stopRequested{false};
  std::atomic<uint32_t> waits{0};
};

// Writes count bytes to the non-blocking `device`, waiting for room as needed but no
// longer than limitMs in all; returns how many went out (fewer on an error or when
// the line has not taken them in time).
size_t WriteWithin(int device, const uint8_t* bytes, size_t count, uint32_t limitMs);
