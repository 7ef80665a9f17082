#pragma once
// The "ZVL comms" page: port choice, answering behaviour, indication width, the
// controls and indications texts and the message log.
//
// Threads: every member function runs on the user-interface thread. Received frames
// reach OnFrame there, through the hand-off queue, in the order they arrived; a queue
// drained at one wake-up is handed over between BeginFrames and EndFrames, so the log
// box and the two texts are updated once per batch instead of once per frame. The only
// member the reader thread reads is `respond` (whether "C" and "I" frames are
// answered), so it is atomic.
#include <windows.h>

#include <cstdint>
#include <string>

#include "comms/comms_state.h"
#include "comms/message_log.h"

class CommsPage : public CommsState {
 public:
  virtual ~CommsPage() = default;

  BOOL OnInitDialog(HWND page);
  void OnCommand(HWND page, WPARAM wParam, LPARAM lParam);
  BOOL OnTimer(HWND page, UINT_PTR timerId);
  HBRUSH OnCtlColor(HWND page, HDC dc, HWND control);

  // A frame the codec accepted, after the "K4 Config" page has had it.
  void OnFrame(const uint8_t* frame, uint8_t length);
  // Around the OnFrame calls of one batch of received frames. They nest.
  void BeginFrames();
  void EndFrames();

  // Rewrites the "Controls" (1004) or "Indications" (1022) text.
  void ShowBits(BitSet which);
  // Sends the indications packet; a failure is shown in a box owned by the page.
  void SendIndications();
  // Sends the indications packet in answer to an "R" frame. With the port open a
  // failure is a write the line did not take in time: it is logged, not boxed.
  void AnswerPoll();
  // Opens the port the combo shows, or closes the port for "None".
  void SelectPort(HWND page, HWND combo);
  // After the link's notice that a device went away, and on the shell's slow sweep:
  // if the open port's device is gone, closes the port, logs its loss and starts the
  // quiet tries to open it again (see PortWatch).
  void CheckPortLost();

  MessageLog log;
  HWND pageWindow = nullptr;
  // How error boxes are shown; tests put a recorder here.
  int(WINAPI* showMessage)(HWND, LPCSTR, LPCSTR, UINT) = MessageBoxA;

 private:
  UnsentAnswerNotices unsentAnswers;
  void RetryLostPort();
  void LogPortEvent(PortEvent event, const std::string& devicePath);
  // Shows the bits now, or, inside a batch, marks them owed for its end.
  void ShowBitsOrOweThem(BitSet which, bool* owed);

  PortWatch portWatch;
  int frameBatchDepth = 0;
  bool controlsChanged = false;     // redraws owed at the end of a batch
  bool indicationsChanged = false;
};

extern CommsPage commsPage;
