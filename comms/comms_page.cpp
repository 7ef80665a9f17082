#include "comms/comms_page.h"

#include "app/frame_delivery.h"
#include "app/resource.h"
#include "app/shell.h"
#include "comms/indications_dialog.h"
#include "link/frame_codec.h"

namespace {
constexpr UINT kAutoOpenDelayMs = 200;
}  // namespace

BOOL CommsPage::OnInitDialog(HWND page) {
  for (const char* name : kPortEntries) {
    SendDlgItemMessageA(page, IDC_PORT_COMBO, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
  }
  SendDlgItemMessageA(page, IDC_PORT_COMBO, CB_SETCURSEL, kNoPortEntry, 0);
  CheckDlgButton(page, IDC_WIDE_INDICATIONS, wideIndications ? BST_CHECKED : BST_UNCHECKED);
  pageWindow = page;
  log.pageWindow = page;
  ShowBits(BitSet::kControls);
  ShowBits(BitSet::kIndications);
  // COM1 is tried once the sheet is on screen, so its error box has something to sit on.
  SetTimer(pageWindow, IDT_AUTO_OPEN, kAutoOpenDelayMs, nullptr);
  return TRUE;
}

BOOL CommsPage::OnTimer(HWND page, UINT_PTR timerId) {
  if (timerId == IDT_REOPEN) {
    RetryLostPort();
    return TRUE;
  }
  if (timerId != IDT_AUTO_OPEN) return FALSE;
  KillTimer(page, IDT_AUTO_OPEN);
  SendDlgItemMessageA(page, IDC_PORT_COMBO, CB_SETCURSEL, kFirstTriedPortEntry, 0);
  SelectPort(page, GetDlgItem(page, IDC_PORT_COMBO));
  return TRUE;
}

void CommsPage::OnCommand(HWND page, WPARAM wParam, LPARAM lParam) {
  const int id = LOWORD(wParam);
  const int code = HIWORD(wParam);
  switch (id) {
    case IDC_PORT_COMBO:
      if (code == CBN_SELCHANGE) SelectPort(page, reinterpret_cast<HWND>(lParam));
      return;
    case IDC_SET_INDICATIONS: {
      const int dialogId = wideIndications ? IDD_INDICATIONS_64 : IDD_INDICATIONS_32;
      const INT_PTR result =
          DialogBoxParamA(appInstance, MAKEINTRESOURCEA(dialogId), pageWindow,
                          IndicationsDialogProc, reinterpret_cast<LPARAM>(this));
      // Enter rebuilt the bytes without showing or sending them; "Done" and a failed
      // dialog leave nothing to do, every click has already done both.
      if (result == 1) {
        ShowBits(BitSet::kIndications);
        if (respond) SendIndications();
      }
      return;
    }
    case IDC_RESPOND:
      OutputDebugStringA(":");
      if (code != BN_CLICKED) return;
      if (IsDlgButtonChecked(page, IDC_RESPOND) == BST_CHECKED) {
        respond = true;
        SendIndications();
      } else {
        respond = false;
      }
      return;
    case IDC_WIDE_INDICATIONS:
      if (code != BN_CLICKED) return;
      wideIndications = IsDlgButtonChecked(page, IDC_WIDE_INDICATIONS) == BST_CHECKED;
      ShowBits(BitSet::kIndications);
      ShowBits(BitSet::kControls);
      return;
    default:
      return;  // "Write to ZVL-Log.txt" is read afresh whenever a line is logged
  }
}

HBRUSH CommsPage::OnCtlColor(HWND, HDC dc, HWND control) {
  int colour;
  switch (GetDlgCtrlID(control)) {
    case IDC_CONTROLS_TEXT:
    case IDC_INDICATIONS_TEXT:
      colour = COLOR_WINDOW;  // read-only, yet drawn like ordinary edit boxes
      break;
    case IDC_LOG_BOX:
      colour = COLOR_BTNFACE;
      break;
    default:
      return nullptr;
  }
  SetBkColor(dc, GetSysColor(colour));
  return GetSysColorBrush(colour);
}

void CommsPage::SelectPort(HWND, HWND combo) {
  char name[kMaxPortNameLength + 1] = {};
  GetWindowTextA(combo, name, sizeof name);
  const std::string path = PortDevicePath(name);
  // Any choice ends the tries at a lost port.
  KillTimer(pageWindow, IDT_REOPEN);
  portWatch.Chosen();
  if (IsNoPort(name)) {
    // The port's last frames and its closing reach the box in one update, not two:
    // each costs tens of milliseconds under Wine's default theme (see MessageLog).
    log.HoldBox();
    serialLink.ClosePort();
    frameDelivery.TakeInNow();  // its last frames before its closing in the log
    LogPortEvent(PortEvent::kClosed, path);
    log.ReleaseBox();
    return;
  }
  // Opening would close the old port itself; closing it here first lets its last
  // frames in before the new port's line.
  if (serialLink.IsOpened()) {
    serialLink.ClosePort();
    frameDelivery.TakeInNow();
  }
  if (serialLink.OpenPort(path.c_str())) {
    portWatch.Opened(path);
    LogPortEvent(PortEvent::kOpened, path);
  } else {
    // CB_SETCURSEL does not notify, so this does not come back here.
    SendMessageA(combo, CB_SETCURSEL, kNoPortEntry, 0);
    LogPortEvent(PortEvent::kOpenFailed, path);
  }
}

void CommsPage::CheckPortLost() {
  // The notice may come late, after this port was closed or another opened; the link
  // says whether the port open now is the one whose device went away.
  if (!serialLink.DeviceLost()) return;
  // Windows keeps a surprise-removed device until its last handle is closed (WDK,
  // "Handling an IRP_MN_SURPRISE_REMOVAL Request"), so the port is closed for the
  // device to come back under its name; sends fail meanwhile, as with no port.
  serialLink.ClosePort();
  frameDelivery.TakeInNow();
  if (!portWatch.Lose()) return;
  LogPortEvent(PortEvent::kLost, portWatch.DevicePath());
  SetTimer(pageWindow, IDT_REOPEN, PortWatch::kRetryPeriodMs, nullptr);
}

void CommsPage::RetryLostPort() {
  if (!portWatch.Retrying()) {
    KillTimer(pageWindow, IDT_REOPEN);
    return;
  }
  const std::string path = portWatch.DevicePath();
  if (!serialLink.OpenPortQuietly(path.c_str())) return;  // the next tick tries again
  KillTimer(pageWindow, IDT_REOPEN);
  portWatch.Opened(path);
  LogPortEvent(PortEvent::kOpened, path);
}

void CommsPage::LogPortEvent(PortEvent event, const std::string& devicePath) {
  log.Append("%s", PortEventText(event, devicePath).c_str());
}

void CommsPage::OnFrame(const uint8_t* frame, uint8_t length) {
  if (frame == nullptr || length == 0) return;
  log.LogReceived(frame, length);  // ACK and NAK are left out there
  switch (Receive(frame, length)) {
    case FrameEffect::kShowControls:
      ShowBitsOrOweThem(BitSet::kControls, &controlsChanged);
      return;
    case FrameEffect::kShowIndications:
      ShowBitsOrOweThem(BitSet::kIndications, &indicationsChanged);
      return;
    case FrameEffect::kSendIndications:
      AnswerPoll();
      return;
    case FrameEffect::kNone:
      return;
  }
}

void CommsPage::BeginFrames() {
  ++frameBatchDepth;
  log.BeginBatch();
}

void CommsPage::EndFrames() {
  if (frameBatchDepth == 0) return;
  log.EndBatch();
  if (--frameBatchDepth > 0) return;
  if (controlsChanged) ShowBits(BitSet::kControls);
  if (indicationsChanged) ShowBits(BitSet::kIndications);
  controlsChanged = indicationsChanged = false;
}

void CommsPage::ShowBitsOrOweThem(BitSet which, bool* owed) {
  if (frameBatchDepth > 0) {
    *owed = true;
  } else {
    ShowBits(which);
  }
}

void CommsPage::ShowBits(BitSet which) {
  const int id = which == BitSet::kControls ? IDC_CONTROLS_TEXT : IDC_INDICATIONS_TEXT;
  SetDlgItemTextA(pageWindow, id, BitsText(which).c_str());
}

void CommsPage::AnswerPoll() {
  if (!serialLink.IsOpen()) {
    SendIndications();  // no port: the box, as for any other send
    return;
  }
  uint8_t payload[kMaxPayload];
  const unsigned length = IndicationsPayload(payload);
  const std::string notice = unsentAnswers.AfterAnswer(serialLink.SendFrame(payload, length));
  if (!notice.empty()) log.Append("%s", notice.c_str());
}

void CommsPage::SendIndications() {
  uint8_t payload[kMaxPayload];
  const unsigned length = IndicationsPayload(payload);
  if (serialLink.SendFrame(payload, length)) return;
  // The box runs a modal loop: what the log owes goes out first, so that it shows
  // everything up to the failure while the box is up.
  log.Flush();
  showMessage(pageWindow, kIndicationsNotSentText, kMessageCaption, MB_OK | MB_ICONERROR);
}
