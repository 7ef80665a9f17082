#include "app/link_wiring.h"

#include "app/shell.h"
#include "comms/comms_page.h"
#include "link/frame_codec.h"

bool LinkWiring::Respond() const { return page.respond.load(); }

void LinkWiring::OnFrame(const uint8_t* frame, uint8_t length) {
  if (!queue.Push(frame, length, GetTickCount())) return;  // a wake-up is already on its way
  // A null window must not reach PostMessage: that would post to this thread's own
  // queue, "succeed", and leave the frames waiting for a wake-up that never comes.
  const HWND window = page.pageWindow;
  if (!window || !PostMessageA(window, kFramesReceivedMessage, 0, 0)) {
    // No window to take them (the sheet is gone or not yet made): drop what is queued,
    // so that the next frame finds the queue empty and posts a wake-up of its own.
    queue.Clear();
  }
}

void LinkWiring::LogSent(const uint8_t* frame, uint8_t length) {
  // Acknowledgements are never logged; they are also the only frames the reader
  // thread sends, and that thread must not touch the log box.
  if (IsAckOrNak(frame, length)) return;
  page.log.LogSent(frame, length);
}

void LinkWiring::ShowOpenFailure(const char* message) {
  showMessage(messageOwner, message, kMessageCaption, MB_OK | MB_ICONERROR);
}

void LinkWiring::OnDeviceLost() {
  // Without a window there is no page to tell. If the message is lost (see the frame
  // sweep in app/frame_delivery.cpp), the sweep finds the loss all the same.
  if (const HWND window = page.pageWindow) PostMessageA(window, kDeviceLostMessage, 0, 0);
}
