#include "link/frame_queue.h"

#include <algorithm>

bool FrameQueue::Push(const uint8_t* frame, uint8_t length, uint32_t tick) {
  ReceivedFrame copy;
  copy.length = std::min<uint8_t>(length, sizeof copy.bytes);
  std::memcpy(copy.bytes, frame, copy.length);
  copy.tick = tick;
  std::lock_guard<std::mutex> hold(mutex);
  frames.push_back(copy);
  return frames.size() == 1;
}

void FrameQueue::TakeAll(std::vector<ReceivedFrame>* out) {
  out->clear();
  std::lock_guard<std::mutex> hold(mutex);
  out->swap(frames);
}

void FrameQueue::Clear() {
  std::lock_guard<std::mutex> hold(mutex);
  frames.clear();
}
