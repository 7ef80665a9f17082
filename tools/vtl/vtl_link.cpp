#include "tools/vtl/vtl_link.h"

#include <chrono>
#include <cstring>

#include "tools/vtl/platform.h"

VtlLink::VtlLink() : FrameCodec(nullptr) { SetSink(this); }

// The reader thread calls this object's overrides, so it is stopped while they exist.
VtlLink::~VtlLink() { Close(); }

uint32_t VtlLink::Now() {
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

bool VtlLink::Open(const std::string& port, std::string* reason) {
  {
    std::lock_guard<std::mutex> hold(mutex);
    lost = false;
    lostReason.clear();
    frames.clear();
  }
  openFailure.clear();
  const std::string path = DevicePath(port);
  if (OpenPort(path.c_str())) return true;
  *reason = openFailure;
  return false;
}

void VtlLink::Close() { ClosePort(); }

void VtlLink::ShowOpenFailure(const char* message) {
  // Taken at once, before anything else can change errno or the last error.
  const std::string system = LastSystemError();
  std::string text(message);
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  openFailure = text + ": " + system;
}

void VtlLink::OnBytesReceived(const uint8_t* bytes, uint32_t count) {
  // Byte by byte, so that each line is shown before the codec answers it.
  for (uint32_t i = 0; i < count; ++i) {
    if (observed.Feed(bytes[i]) && onLine) onLine(observed.line(), observed.length());
    FrameCodec::OnBytesReceived(&bytes[i], 1);
  }
}

void VtlLink::OnDeviceFailed() {
  // Taken first, before anything else on this thread can change errno or the last error.
  const std::string reason = LastSystemError();
  std::lock_guard<std::mutex> hold(mutex);
  lost = true;
  lostReason = reason;
  changed.notify_all();
}

bool VtlLink::Lost() {
  std::lock_guard<std::mutex> hold(mutex);
  return lost;
}

std::string VtlLink::LostReason() {
  std::lock_guard<std::mutex> hold(mutex);
  return lostReason;
}

void VtlLink::OnFrame(const uint8_t* frame, uint8_t length) {
  ReceivedFrame received{};
  received.tick = Now();
  std::memcpy(received.bytes, frame, length);
  received.length = length;
  if (onAccepted && !onAccepted(received)) return;
  std::lock_guard<std::mutex> hold(mutex);
  frames.push_back(received);
  changed.notify_all();
}

void VtlLink::LogSent(const uint8_t* frame, uint8_t length) {
  if (onSent) onSent(frame, length);
}

VtlLink::Next VtlLink::NextFrame(uint32_t deadline, ReceivedFrame* frame) {
  std::unique_lock<std::mutex> hold(mutex);
  for (;;) {
    if (!frames.empty()) {
      *frame = frames.front();
      frames.pop_front();
      return Next::kFrame;
    }
    if (lost) return Next::kLost;
    const int32_t left = static_cast<int32_t>(deadline - Now());
    if (left <= 0) return Next::kDeadline;
    changed.wait_for(hold, std::chrono::milliseconds(left));
  }
}
