#pragma once
#include <atomic>
#include <cstdint>

#include "link/frame_format.h"
#include "link/frame_sink.h"
#include "link/line_assembler.h"
#include "link/serial_port.h"

// The link's frame format, both ways: received bytes are cut into lines, checked,
// answered with ACK or NAK by their type character and handed to the sink; outgoing
// payloads are wrapped into frames and written.
//
// The frame's format (frame_format.h) is shared with the unit simulator and vtl; what
// is the tool's own here is the line state and the answering policy.
//
// Threads: the line (`line`) belongs to the reader thread. SendFrame and
// SendRaw may run on either thread; `opened` is written by the owner thread only.
// The sink is set before the port is opened and not changed while it is open.
class FrameCodec : public SerialPort {
 public:
  static constexpr uint8_t kLineCapacity = LineAssembler::kCapacity;
  static constexpr uint8_t kMaxPayload = 251;  // frame lengths are 8-bit quantities
  static constexpr uint32_t kLinkBaud = 2400;

  explicit FrameCodec(FrameSink* sink = nullptr);
  ~FrameCodec() override;

  // Set before the port is first opened.
  void SetSink(FrameSink* newSink) { sink = newSink; }

  // Opens the device at 2400 baud, 8N1. On failure the sink is shown
  // "Failed to open serial port '<path>'\nError code <status>" and false is returned.
  bool OpenPort(const char* devicePath);
  // The same, but a failure is only returned, never shown: for the quiet tries to open
  // a port again after its device went away.
  bool OpenPortQuietly(const char* devicePath);
  // Closes the device if OpenPort opened it.
  void ClosePort();
  // Whether the link is meant to be up: true from a successful OpenPort until
  // ClosePort. Unlike SerialPort::IsOpen (a device is open at this moment) it stays
  // true through a lost device and through a failed OpenPort of another path, while
  // every send fails; the pages go by it to know whether they have a port to close.
  bool IsOpened() const { return opened.load(); }
  // True from the moment the reader found the open port's device gone until the port
  // is closed or another is opened; so a late notice of an earlier port reads false.
  bool DeviceLost() const { return deviceLost.load(); }

  // Wraps 1 to 251 payload bytes into a frame and writes it in one write; true when
  // every byte went out. Nothing is written for an empty or over-long payload.
  bool SendFrame(const uint8_t* payload, uint32_t length);
  // Writes the bytes as they are; true when all were written (then they are logged).
  bool SendRaw(const uint8_t* bytes, uint32_t length);

  // The line assembler: feeds received bytes, dispatching each line ended by a
  // carriage return before the next byte is looked at.
  void OnBytesReceived(const uint8_t* bytes, uint32_t count) override;
  // Checks one complete line and applies the policy of its type character.
  void DispatchFrame(const uint8_t* line, uint8_t length);

 protected:
  void OnDeviceFailed() override;
  // Reader thread: the answer to a "C" or "I" frame while answering, ACK when its
  // checksum held, else NAK. vtl overrides it to misbehave on purpose (tools/vtl/faults.h).
  virtual void AnswerZvlFrame(bool valid) { SendRaw(valid ? kAckFrame : kNakFrame, 3); }

 private:
  OpenStatus OpenLinkDevice(const char* devicePath);

  FrameSink* sink;
  LineAssembler line;
  // Read by the reader thread when it answers a frame, so atomic.
  std::atomic<bool> opened{false};
  // Set by the reader thread, cleared by the owner thread once that reader has ended.
  std::atomic<bool> deviceLost{false};
};
