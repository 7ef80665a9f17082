#pragma once
#include <cstdint>

// What the frame codec needs of the rest of the tool: where accepted frames go, whether
// controls and indications frames are answered, where sent frames are logged, and how a
// port that failed to open is reported. The tool wires it to the pages (through the
// hand-off to the user-interface thread); tests wire it to recorders.
class FrameSink {
 public:
  // Reader thread: whether "C" and "I" frames are answered with ACK or NAK.
  // Must be safe to call while the user-interface thread changes the setting.
  virtual bool Respond() const = 0;
  // Reader thread: one accepted frame, line feed through carriage return, valid
  // during the call only. Called in the order the frames arrived.
  virtual void OnFrame(const uint8_t* frame, uint8_t length) = 0;
  // Thread of the sender: a frame of which every byte was written (ACK and NAK included).
  virtual void LogSent(const uint8_t* frame, uint8_t length) = 0;
  // Owner thread: OpenPort failed; message is the text for the user.
  virtual void ShowOpenFailure(const char* message) = 0;
  // Reader thread, at most once per open port: its device has gone away. Only a notice:
  // it must not wait for the owner thread, which asks the codec (DeviceLost) whether
  // the port it has open now is the one that was lost.
  virtual void OnDeviceLost() {}

 protected:
  ~FrameSink() = default;
};
