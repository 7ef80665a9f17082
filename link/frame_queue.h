#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "link/line_assembler.h"

// Hands accepted frames from the reader thread to the user-interface thread.
//
// The reader thread pushes an owned copy of each frame with the tick count at which it
// was received and never waits for a window. Push says when the consumer must be woken
// (the queue was empty), so one wake-up message serves a whole batch: a flood costs
// one message per batch, not one per frame, and the window's message queue can never
// overflow and lose frames. The consumer takes everything queued at once and handles
// the frames in the order they arrived. The lock is held only to move frames in or out.
//
// The queue is bounded: a line can bring frames far faster than the window takes them
// in (a loopback, a fast device on the wrong port), and an unbounded queue would grow
// without end and leave the window working through a backlog long after the flood.
// A frame that finds the queue full is dropped and counted; the frames kept stay in
// order, and every frame dropped came after every frame still queued.
struct ReceivedFrame {
  uint8_t bytes[LineAssembler::kCapacity];  // a frame is at most one assembled line
  uint8_t length;
  uint32_t tick;  // milliseconds, taken when the frame was received
};

class FrameQueue {
 public:
  // About half a second of what the window takes in under Wine (some 5,000 frames a
  // second with every frame logged: tests/bench/e2e_flood.py, docs/performance.md), 2,048 x 72 bytes of memory, and 200 times what the
  // 2400-baud line carries in a second.
  static constexpr size_t kDefaultCapacity = 2048;

  explicit FrameQueue(size_t capacity = kDefaultCapacity) : capacity(capacity) {}

  // Reader thread. Returns true when the consumer must be woken for this frame; a
  // frame dropped because the queue is full returns false (a wake-up is on its way).
  bool Push(const uint8_t* frame, uint8_t length, uint32_t tick);
  // Consumer thread: moves every queued frame into `out` (cleared first), oldest first,
  // and returns how many frames were dropped since the previous take. Those all came
  // after the frames taken now.
  uint32_t TakeAll(std::vector<ReceivedFrame>* out);
  // Forgets frames still queued and the count of dropped ones (nobody is left to take
  // or be told of them).
  void Clear();

 private:
  const size_t capacity;
  std::mutex mutex;
  std::vector<ReceivedFrame> frames;
  uint32_t dropped = 0;
};

// When frames were dropped the user is told once per episode, with how many. An
// episode runs from the first dropped frame until the window has caught up: a take
// with nothing dropped since the one before. Under a flood that never lets the window
// catch up, an episode is closed and told after kLongestEpisodeMs, and a new one begins.
// The count is then reset.
//
// Where the notice goes among the logged frames: frames dropped at a take came after
// the frames taken then, so an episode that ended because this take dropped nothing is
// told before this take's frames; one cut off by its length, after them.
class DropEpisode {
 public:
  static constexpr uint32_t kLongestEpisodeMs = 5000;

  struct Notice {
    uint32_t before = 0;  // frames to report before this take's frames, or 0
    uint32_t after = 0;   // frames to report after them, or 0
  };
  // One take of the queue at `now` (milliseconds), with `dropped` from TakeAll.
  Notice OnTake(uint32_t dropped, uint32_t now);
  // The port is closing: the frames this episode has counted so far (then reset).
  uint32_t Finish();

 private:
  uint32_t count = 0;
  uint32_t startedAt = 0;
};
