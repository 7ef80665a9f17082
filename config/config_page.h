#pragma once
// The "K4 Config" page: edits the unit's configuration record, exchanges it with the
// unit and with files, and shows the unit's answers in its status line.
//
// Threads: every member function runs on the user-interface thread; received frames
// reach OnFrame there, through the hand-off queue, with the tick count taken when the
// frame was received.
#include <windows.h>

#include <cstdint>

#include "config/config_form.h"

class ConfigPage {
 public:
  virtual ~ConfigPage() = default;

  BOOL OnInitDialog(HWND page);
  void OnCommand(HWND page, WPARAM wParam, LPARAM lParam);
  void OnFrame(const uint8_t* frame, uint8_t length, uint32_t receivedTick);

  HWND pageWindow = nullptr;
  ConfigForm form;  // the record, the pending requests and their time

 private:
  // The record onto the controls, and the controls into the record (shown again, as
  // stored).
  void ShowConfig();
  void ReadControls();
  // The commands of the page's buttons.
  void Write();
  void Read();
  void Tx(ConfigRequest request);
  void Save();
  void Open();
  // Shows what the core says follows a request's send.
  void ShowOutcome(const SendOutcome& outcome);
};

extern ConfigPage configPage;
