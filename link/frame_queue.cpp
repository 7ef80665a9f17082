#include "link/frame_queue.h"

#include <algorithm>

bool FrameQueue::Push(const uint8_t* frame, uint8_t length, uint32_t tick) {
  ReceivedFrame copy;
  copy.length = std::min<uint8_t>(length, sizeof copy.bytes);
  std::memcpy(copy.bytes, frame, copy.length);
  copy.tick = tick;
  std::lock_guard<std::mutex> hold(mutex);
  if (frames.size() >= capacity) {
    ++dropped;
    return false;
  }
  frames.push_back(copy);
  return frames.size() == 1;
}

uint32_t FrameQueue::TakeAll(std::vector<ReceivedFrame>* out) {
  out->clear();
  std::lock_guard<std::mutex> hold(mutex);
  out->swap(frames);
  const uint32_t lost = dropped;
  dropped = 0;
  return lost;
}

void FrameQueue::Clear() {
  std::lock_guard<std::mutex> hold(mutex);
  frames.clear();
  dropped = 0;
}

DropEpisode::Notice DropEpisode::OnTake(uint32_t dropped, uint32_t now) {
  Notice notice;
  if (dropped == 0) {
    notice.before = Finish();  // caught up: the episode, if any, is over
    return notice;
  }
  if (count == 0) startedAt = now;
  count += dropped;
  // Unsigned difference: right across the tick count's wrap.
  if (now - startedAt >= kLongestEpisodeMs) notice.after = Finish();
  return notice;
}

uint32_t DropEpisode::Finish() {
  const uint32_t total = count;
  count = 0;
  return total;
}
