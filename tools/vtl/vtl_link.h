#pragma once
// vtl's end of the serial link: the tool's own frame codec (framing, checksum, the
// ACK/NAK policy) on the platform's SerialPort, with what a console program needs
// around it: accepted frames queued with their tick for the main thread to wait on,
// every received line shown to an observer before the codec acts on it, and the
// device's loss noticed.
//
// Threads: the reader thread runs OnBytesReceived, the observers and OnFrame, and
// pushes to the queue; the main thread opens, closes, sends and waits. The queue and
// `lost` are guarded by `mutex`; the observers are set before the port is opened.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "link/frame_codec.h"
#include "link/frame_queue.h"

class VtlLink : public FrameCodec, private FrameSink {
 public:
  using LineObserver = std::function<void(const uint8_t* line, uint8_t length)>;

  VtlLink();
  ~VtlLink() override;

  // Opens the port at 2400 baud 8N1, DTR and RTS raised. On failure *reason says why,
  // with the system's own words.
  bool Open(const std::string& port, std::string* reason);
  void Close();

  // Milliseconds of a steady clock, the ticks frames are stamped with.
  static uint32_t Now();

  enum class Next { kFrame, kDeadline, kLost };
  // The next accepted frame, waiting until the tick `deadline` at most. Frames queued
  // before the deadline passed are still handed out after it, so the caller judges
  // every answer by its own tick, not by when this thread woke up.
  Next NextFrame(uint32_t deadline, ReceivedFrame* frame);
  bool Lost();
  // The system's words for the loss, taken by the reader thread when it found the
  // device gone; empty while the port is not lost.
  std::string LostReason();

  // Reader thread: every received line, as the line assembler cuts it, before the codec
  // answers it (so a line shows before its ACK or NAK). Set before Open.
  LineObserver onLine;
  // Thread of the sender: every frame written, ACK and NAK included.
  LineObserver onSent;
  // Reader thread: every accepted frame, stamped with the tick of its last byte; it is
  // queued for NextFrame only when this returns true. Unset: every frame is queued.
  std::function<bool(const ReceivedFrame& frame)> onAccepted;
  // Whether controls and indications frames are answered (monitor --respond).
  std::atomic<bool> respond{false};

 private:
  void OnBytesReceived(const uint8_t* bytes, uint32_t count) override;
  void OnDeviceFailed() override;
  bool Respond() const override { return respond; }
  void OnFrame(const uint8_t* frame, uint8_t length) override;
  void LogSent(const uint8_t* frame, uint8_t length) override;
  void ShowOpenFailure(const char* message) override;

  LineAssembler observed;  // reader thread only
  std::string openFailure;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<ReceivedFrame> frames;
  bool lost = false;
  std::string lostReason;
};
