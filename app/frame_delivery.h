#pragma once
// Frame delivery: the frames the reader thread queued (LinkWiring) are handed to the
// pages on the "ZVL comms" page's window, the "K4 Config" page first, then the "ZVL
// comms" page, in the order they arrived. The rule of what one wake-up hands over, in
// slices, and where the notices of dropped frames go is FrameHandover's
// (link/frame_handover.h); this file gives it the window's clock, queue and messages:
// the wake-up message, the timer a wake-up waits for while input waits, and the slow
// sweep that catches a lost wake-up.
//
// Threads: the user-interface thread only. The reader thread only posts wake-ups.
#include <windows.h>

#include <cstdint>

#include "app/link_wiring.h"
#include "link/frame_handover.h"

// Where delivery reaches the pages. Plain functions, as for LinkTargets.
struct DeliveryTargets {
  void (*beginFrames)();                      // around the frames of one slice
  void (*endFrames)();
  void (*onFrame)(const ReceivedFrame& frame);  // to both pages
  void (*logDropped)(uint32_t count);         // the log's notice, count > 0
  void (*checkPortLost)();                    // the sweep's look at the link's loss flag
};

class FrameDelivery : private HandoverSteps {
 public:
  FrameDelivery(LinkWiring* wiring, const DeliveryTargets& targets)
      : wiring(wiring), targets(targets) {}

  // WM_INITDIALOG of the window that takes the frames: starts the sweep.
  void Start(HWND frameWindow);
  // kFramesReceivedMessage (see app/link_wiring.h).
  void OnFramesReceived(WPARAM wParam);
  // WM_TIMER: true when the timer was one of delivery's, which it has then handled.
  bool OnTimer(UINT_PTR timerId);

 private:
  void Deliver(bool portClosing) { handover.Deliver(*this, portClosing); }

  uint32_t Now() override { return GetTickCount(); }
  uint32_t Take(std::vector<ReceivedFrame>* out) override { return wiring->TakeReceived(out); }
  void BeginBatch() override { targets.beginFrames(); }
  void EndBatch() override { targets.endFrames(); }
  void Hand(const ReceivedFrame& frame) override { targets.onFrame(frame); }
  void TellDropped(uint32_t count) override { targets.logDropped(count); }
  void WakeAgain() override;

  LinkWiring* wiring;
  DeliveryTargets targets;
  HWND window = nullptr;
  FrameHandover handover;
};
