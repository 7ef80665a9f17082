#pragma once
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

// Hands accepted frames from the reader thread to the user-interface thread.
//
// The reader thread pushes an owned copy of each frame with the tick count at which it
// was received and never waits for a window. Push says when the consumer must be woken
// (the queue was empty), so one wake-up message serves a whole batch: a flood costs
// one message per batch, not one per frame, and the window's message queue can never
// overflow and lose frames. The consumer takes everything queued at once and handles
// the frames in the order they arrived. The lock is held only to move frames in or out.
struct ReceivedFrame {
  uint8_t bytes[64];
  uint8_t length;
  uint32_t tick;  // milliseconds, taken when the frame was received
};

class FrameQueue {
 public:
  // Reader thread. Returns true when the consumer must be woken for this frame.
  bool Push(const uint8_t* frame, uint8_t length, uint32_t tick);
  // Consumer thread: moves every queued frame into `out` (cleared first), oldest first.
  void TakeAll(std::vector<ReceivedFrame>* out);
  // Consumer thread: forgets frames still queued (the port was closed).
  void Clear();

 private:
  std::mutex mutex;
  std::vector<ReceivedFrame> frames;
};
