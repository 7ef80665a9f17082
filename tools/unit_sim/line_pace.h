#pragma once
// When bytes handed to a serial line have crossed it, one after another at the line's
// rate: a byte takes 10 bit times (start bit, 8 data bits, stop bit) and none starts
// before the one before it has ended. Every time is worked out from the steady clock
// at the moment the line was last idle and the count of bytes since, so a long run of
// bytes keeps the line's pace exactly, however late the caller wakes for each one.
//
// Threads: one owner per direction (the simulator's sender, or its line's reader).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

class LinePace {
 public:
  using Clock = std::chrono::steady_clock;
  // 2400 baud, 8N1: 240 bytes a second.
  static constexpr uint32_t kLinkBytesPerSecond = 240;

  explicit LinePace(uint32_t bytesPerSecond = kLinkBytesPerSecond)
      : bytesPerSecond(bytesPerSecond) {}

  // Hands `count` bytes to the line at `now`; returns, for each, the time its stop bit
  // has ended, when the far end has it.
  std::vector<Clock::time_point> Take(size_t count, Clock::time_point now) {
    if (now >= idleFrom) {  // the line was idle: a new run of bytes starts now
      runStart = now;
      runBytes = 0;
    }
    std::vector<Clock::time_point> ends(count);
    for (size_t i = 0; i < count; ++i) ends[i] = runStart + Duration(++runBytes);
    if (count) idleFrom = ends.back();
    return ends;
  }

 private:
  Clock::duration Duration(uint64_t bytes) const {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(bytes * 1000000000ull / bytesPerSecond));
  }

  const uint32_t bytesPerSecond;
  Clock::time_point runStart{};
  Clock::time_point idleFrom{};
  uint64_t runBytes = 0;
};
