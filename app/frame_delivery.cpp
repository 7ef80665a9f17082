#include "app/frame_delivery.h"

#include "app/resource.h"

namespace {
// SWEEP_NOTE
constexpr UINT kFrameSweepMs = 250;
}  // namespace

void FrameDelivery::Start(HWND frameWindow) {
  window = frameWindow;
  SetTimer(window, IDT_FRAME_SWEEP, kFrameSweepMs, nullptr);
}

void FrameDelivery::OnFramesReceived(WPARAM wParam) {
  const bool portClosing = wParam == kTakeFramesNow;
  // Posted messages are fetched before input and painting, timers after both (the order
  // GetMessage's documentation gives). The queue is not asked when the port closes:
  // GetQueueStatus also resets what counts as new in it.
  const bool waiting = !portClosing && HIWORD(GetQueueStatus(QS_INPUT | QS_PAINT)) != 0;
  if (FrameHandover::TakeNow(portClosing, waiting)) {
    Deliver(portClosing);
  } else {
    SetTimer(window, IDT_DEFERRED_FRAMES, USER_TIMER_MINIMUM, nullptr);
  }
}

bool FrameDelivery::OnTimer(UINT_PTR timerId) {
  if (timerId == IDT_FRAME_SWEEP) {
    Deliver(false);
    targets.checkPortLost();
    return true;
  }
  if (timerId == IDT_DEFERRED_FRAMES) {
    KillTimer(window, IDT_DEFERRED_FRAMES);
    Deliver(false);
    return true;
  }
  return false;
}

void FrameDelivery::WakeAgain() { PostMessageA(window, kFramesReceivedMessage, 0, 0); }
