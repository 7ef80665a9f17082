#pragma once
// Frame delivery: the frames the reader thread queued (LinkWiring) are handed to the
// pages on the "ZVL comms" page's window, the "K4 Config" page first, then the "ZVL
// comms" page, in the order they arrived. The rule of what one wake-up hands over, in
// slices, and where the notices of dropped frames go is FrameHandover's
// (link/frame_handover.h); this file gives it the window's clock, queue and messages:
// the wake-up message, the timer a wake-up waits for while input waits, and the slow
// sweep that catches a lost wake-up. The "ZVL comms" page takes in what is queued
// before its port's closing is logged (TakeInNow).
//
// Threads: the user-interface thread only. The reader thread only posts wake-ups.
#include <windows.h>

#include <cstdint>

#include "app/link_wiring.h"
#include "link/frame_handover.h"

class CommsPage;
class ConfigPage;

class FrameDelivery : private HandoverSteps {
 public:
  // The frames go to configPage (none in a test of the comms page alone), then to
  // commsPage, whose log takes the notices of dropped frames. Like the wiring, it only
  // refers to them until the first frame.
  FrameDelivery(LinkWiring& wiring, CommsPage& commsPage, ConfigPage* configPage)
      : wiring(wiring), commsPage(commsPage), configPage(configPage) {}

  // WM_INITDIALOG of the window that takes the frames: starts the sweep.
  void Start(HWND frameWindow);
  // kFramesReceivedMessage (see app/link_wiring.h).
  void OnFramesReceived();
  // The port has just been closed: its frames still queued are handed over now, and
  // any it had to drop are logged, before this returns.
  void TakeInNow() { Deliver(true); }
  // WM_TIMER: true when the timer was one of delivery's, which it has then handled.
  bool OnTimer(UINT_PTR timerId);

 private:
  void Deliver(bool portClosing) { handover.Deliver(*this, portClosing); }

  uint32_t Now() override { return GetTickCount(); }
  uint32_t Take(std::vector<ReceivedFrame>* out) override { return wiring.TakeReceived(out); }
  void BeginBatch() override;
  void EndBatch() override;
  void Hand(const ReceivedFrame& frame) override;
  void TellDropped(uint32_t count) override;
  void WakeAgain() override;

  LinkWiring& wiring;
  CommsPage& commsPage;
  ConfigPage* configPage;
  HWND window = nullptr;
  FrameHandover handover;
};

// The tool's one delivery (app/sheet.cpp).
extern FrameDelivery frameDelivery;
