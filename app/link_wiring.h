#pragma once
// Joins the serial link to the pages. The frame codec calls the sink on the reader
// thread; everything that touches a page or a window happens on the user-interface
// thread, which takes the received frames from a queue when it is woken.
//
// Threads: the reader thread calls Respond, OnFrame, OnDeviceLost and (for ACK and NAK)
// LogSent; it only reads an atomic setting, pushes onto the queue (bounded: a frame that
// finds it full is dropped and counted) and posts wake-up messages, and never waits for a
// window. The user-interface thread takes the frames
// (TakeReceived), logs the frames it sent and shows open failures.
#include <windows.h>

#include <cstdint>
#include <vector>

#include "link/frame_queue.h"
#include "link/frame_sink.h"

class CommsPage;

// Posted to the frame window (the "ZVL comms" page) when the queue goes from empty to
// not empty.
constexpr UINT kFramesReceivedMessage = WM_APP + 1;
// Posted to the frame window when the open port's device has gone away.
constexpr UINT kDeviceLostMessage = WM_APP + 2;

class LinkWiring : public FrameSink {
 public:
  // The page whose answering setting the reader reads, whose window is woken for
  // received frames and whose log takes the "Tx: " lines; the window that owns the
  // open-failure box. Both are only referred to here: the wiring is made before them
  // (the static objects, app/main.cpp) and reaches them once a port opens.
  LinkWiring(CommsPage& page, const HWND& messageOwner) : page(page), messageOwner(messageOwner) {}

  bool Respond() const override;
  void OnFrame(const uint8_t* frame, uint8_t length) override;
  void LogSent(const uint8_t* frame, uint8_t length) override;
  void ShowOpenFailure(const char* message) override;
  void OnDeviceLost() override;

  // User-interface thread, on kFramesReceivedMessage: every frame queued so far,
  // oldest first, each stamped with the tick count at which it arrived. Returns how
  // many frames the full queue dropped since the last take (all after these).
  uint32_t TakeReceived(std::vector<ReceivedFrame>* out) { return queue.TakeAll(out); }

  // How the open-failure box is shown; tests put a recorder here.
  int(WINAPI* showMessage)(HWND, LPCSTR, LPCSTR, UINT) = MessageBoxA;

 private:
  CommsPage& page;
  const HWND& messageOwner;
  FrameQueue queue;
};

// The tool's one wiring, given to serialLink.
extern LinkWiring linkWiring;
