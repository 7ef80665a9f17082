#pragma once
// The "ZVL comms" page: port choice, answering behaviour, indication width, the
// controls and indications texts and the message log.
//
// Threads: every member function runs on the user-interface thread. Received frames
// reach OnFrame there, through the hand-off queue, in the order they arrived. The only
// member the reader thread reads is `respond` (whether "C" and "I" frames are
// answered), so it is atomic.
#include <windows.h>

#include <atomic>
#include <cstdint>

class CommsPage {
 public:
  virtual ~CommsPage() = default;

  BOOL OnInitDialog(HWND page);
  void OnCommand(HWND page, WPARAM wParam, LPARAM lParam);
  BOOL OnTimer(HWND page, UINT_PTR timerId);
  HBRUSH OnCtlColor(HWND page, HDC dc, HWND control);
  // A frame the codec accepted, after the "K4 Config" page has had it.
  void OnFrame(const uint8_t* frame, uint8_t length);

  std::atomic<bool> respond{false};
  HWND pageWindow = nullptr;
};

extern CommsPage commsPage;
