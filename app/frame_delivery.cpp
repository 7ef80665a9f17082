#include "app/frame_delivery.h"

#include "app/resource.h"
#include "comms/comms_page.h"
#include "comms/log_text.h"
#include "config/config_page.h"

namespace {
// The wake-up for received frames can be lost. Wine's dialog loop (DIALOG_DoDialogBox,
// dlls/user32/dialog.c) neither dispatches nor puts back the posted message its
// GetMessage returns when a sent message handled inside that call ended the dialog: a
// BM_CLICK sent by another program to "Done" of Set indications, or to a message box's
// OK. The queue then never empties, no further wake-up is posted, and the page stops
// taking frames in. A dialog ended by the user's own click or key is not affected (the
// input is dispatched, and the loop ends before it fetches again), but an automation or
// accessibility tool, and our end-to-end driver, end dialogs by sent clicks: with the
// sweep off, tests/e2e/test_comms.py's Set indications cases stop seeing frames at the
// first "Done" (test_config.py and test_reliability.py pass without it). A device loss
// whose notice was dropped the same way is found by the same sweep. When nothing waits
// it costs one look at an empty queue and the loss flag.
constexpr UINT kFrameSweepMs = 250;
}  // namespace

void FrameDelivery::Start(HWND frameWindow) {
  window = frameWindow;
  SetTimer(window, IDT_FRAME_SWEEP, kFrameSweepMs, nullptr);
}

void FrameDelivery::OnFramesReceived() {
  // Posted messages are fetched before input and painting, timers after both (the order
  // GetMessage's documentation gives). (TakeInNow does not ask the queue: GetQueueStatus
  // also resets what counts as new in it.)
  const bool waiting = HIWORD(GetQueueStatus(QS_INPUT | QS_PAINT)) != 0;
  if (FrameHandover::TakeNow(false, waiting)) {
    Deliver(false);
  } else {
    SetTimer(window, IDT_DEFERRED_FRAMES, USER_TIMER_MINIMUM, nullptr);
  }
}

bool FrameDelivery::OnTimer(UINT_PTR timerId) {
  if (timerId == IDT_FRAME_SWEEP) {
    Deliver(false);
    commsPage.CheckPortLost();
    return true;
  }
  if (timerId == IDT_DEFERRED_FRAMES) {
    KillTimer(window, IDT_DEFERRED_FRAMES);
    Deliver(false);
    return true;
  }
  return false;
}

void FrameDelivery::BeginBatch() { commsPage.BeginFrames(); }

void FrameDelivery::EndBatch() { commsPage.EndFrames(); }

void FrameDelivery::Hand(const ReceivedFrame& frame) {
  if (configPage) configPage->OnFrame(frame.bytes, frame.length, frame.tick);
  commsPage.OnFrame(frame.bytes, frame.length);
}

void FrameDelivery::TellDropped(uint32_t count) {
  commsPage.log.Append("%s", DroppedFramesText(count).c_str());
}

void FrameDelivery::WakeAgain() { PostMessageA(window, kFramesReceivedMessage, 0, 0); }
