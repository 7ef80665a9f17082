#include "link/frame_codec.h"

FrameCodec::FrameCodec(FrameSink* sink) : sink(sink) {}

FrameCodec::~FrameCodec() {
  ClosePort();
  // The reader thread calls our override, so it must be stopped before this
  // object stops being a FrameCodec, not later in ~SerialPort.
  Close();
}

SerialPort::OpenStatus FrameCodec::OpenLinkDevice(const char* devicePath) {
  // Open would close an open device itself; closing it here first ends its reader
  // before the loss flag is cleared, so that reader's loss is never taken for the
  // new port's. `opened` keeps its value on failure, as callers expect.
  Close();
  deviceLost = false;
  // Set before Open starts the reader: frames already waiting in the line are read at
  // once, and their ACKs must not be refused as sends on a port not yet opened.
  const bool wasOpened = opened.exchange(true);
  const OpenStatus status = Open(devicePath, static_cast<int16_t>(kLinkBaud));
  if (status != kOpened) opened = wasOpened;
  return status;
}

bool FrameCodec::OpenPortQuietly(const char* devicePath) {
  return OpenLinkDevice(devicePath) == kOpened;
}

bool FrameCodec::OpenPort(const char* devicePath) {
  const OpenStatus status = OpenLinkDevice(devicePath);
  if (status == kOpened) return true;
  // The device paths the tool builds are at most 11 characters, so 64 is ample; a
  // longer path is cut rather than overrun.
  char message[64];
  FormatOpenFailure(message, sizeof message, devicePath, status);
  if (sink) sink->ShowOpenFailure(message);
  return false;
}

void FrameCodec::ClosePort() {
  if (!opened) return;
  Close();
  opened = false;
  deviceLost = false;  // its reader has ended: the loss has been dealt with
}

void FrameCodec::OnDeviceFailed() {
  deviceLost = true;
  if (sink) sink->OnDeviceLost();
}

bool FrameCodec::SendRaw(const uint8_t* bytes, uint32_t length) {
  if (!opened || bytes == nullptr || length == 0) return false;
  if (Write(bytes, length) != length) return false;
  if (sink) sink->LogSent(bytes, static_cast<uint8_t>(length));
  return true;
}

bool FrameCodec::SendFrame(const uint8_t* payload, uint32_t length) {
  if (payload == nullptr || length == 0 || length > kMaxPayload) return false;
  uint8_t frame[kMaxPayload + kFrameOverhead];
  return SendRaw(frame, BuildFrame(payload, length, frame));
}

void FrameCodec::OnBytesReceived(const uint8_t* bytes, uint32_t count) {
  line.Feed(bytes, count, [this](const uint8_t* l, uint8_t length) { DispatchFrame(l, length); });
}

void FrameCodec::DispatchFrame(const uint8_t* line, uint8_t length) {
  if (!IsFrameLine(line, length)) return;
  const auto passOn = [&] {
    if (sink) sink->OnFrame(line, length);
  };
  switch (line[1]) {
    case '+':
    case '-':
    case 'B':
    case 'R':
      passOn();
      return;
    case 'A':
      SendRaw(kAckFrame, sizeof kAckFrame);
      passOn();
      return;
    case 'C':
    case 'I': {
      const bool valid = FrameChecksumValid(line, length);
      if (sink && sink->Respond()) AnswerZvlFrame(valid);
      if (valid) passOn();
      return;
    }
    case '~': {
      const bool valid = FrameChecksumValid(line, length);
      SendRaw(valid ? kAckFrame : kNakFrame, 3);
      if (valid) passOn();
      return;
    }
    default:
      return;  // not a type of this link: dropped without a reply
  }
}
