#include "app/sheet.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "app/dialog_template.h"
#include "app/link_wiring.h"
#include "app/shell.h"
#include "comms/comms_page.h"
#include "comms/log_text.h"
#include "config/config_page.h"

namespace {
// DS_CENTER centres the sheet at the size of its own template; Wine's sheet then grows
// to fit the pages without moving (SWP_NOMOVE), which leaves it well below the middle.
// By PSCB_INITIALIZED the sheet has its final size, so it is centred again here; where
// DS_CENTER already did it this moves nothing.
void CentreOnWorkArea(HWND sheet) {
  RECT work, window;
  if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0) || !GetWindowRect(sheet, &window)) return;
  const int width = window.right - window.left, height = window.bottom - window.top;
  SetWindowPos(sheet, nullptr, work.left + (work.right - work.left - width) / 2,
               work.top + (work.bottom - work.top - height) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
}  // namespace

int CALLBACK SheetCallback(HWND sheet, UINT message, LPARAM lParam) {
  switch (message) {
    case PSCB_PRECREATE:
      if (lParam) SetCentreStyle(reinterpret_cast<void*>(lParam));
      break;
    case PSCB_INITIALIZED: {
      sheetWindow = sheet;
      CentreOnWorkArea(sheet);
      // One command button: "Close". OK is hidden (and disabled, so Enter cannot
      // reach it); Apply is never made (PSH_NOAPPLYNOW).
      if (HWND ok = GetDlgItem(sheet, IDOK)) {
        EnableWindow(ok, FALSE);
        ShowWindow(ok, SW_HIDE);
      }
      if (HWND cancel = GetDlgItem(sheet, IDCANCEL)) SetWindowTextA(cancel, "Close");
      break;
    }
    default:
      break;
  }
  return 0;
}

void OnNotify(HWND, UINT_PTR, const NMHDR* header) {
  if (header && header->code == static_cast<UINT>(PSN_HELP)) ShowHelp();
}

namespace {
// The frames the reader thread queued, handed to both pages in the order they
// arrived: the "K4 Config" page first, then the "ZVL comms" page. Frames the full
// queue dropped are told in the log once per episode, where they went missing.
//
// One wake-up takes what is queued at that moment and no more: frames that arrive
// meanwhile post a wake-up of their own. Taking them here as well would, under a
// steady stream, never return to the message loop, and the window would stop
// answering altogether.
//
// A message box shown while a frame is handled (a failed answer to an "R" frame) runs
// a modal loop, which may bring the next wake-up here before this batch is done.
// That call leaves the new frames queued and says so; the running delivery takes them
// after its own, so the order holds.
//
// A batch is handed over in slices of at most kFrameSliceMs: a frame can cost a write
// (the answer to an "R" frame), and a full queue of those would hold the window for
// seconds. What a slice leaves waits in `backlog`, ahead of anything queued since, and
// the slice posts the wake-up that brings the rest.
constexpr DWORD kFrameSliceMs = 50;

struct Backlog {
  std::vector<ReceivedFrame> frames;  // taken from the queue at one take
  size_t next = 0;                    // the first not yet handed over
  uint32_t droppedAfter = 0;          // to be told once these are all handed over
};
Backlog backlog;
DropEpisode dropEpisode;

void LogDroppedFrames(uint32_t count) {
  if (count > 0) commsPage.log.Append("%s", DroppedFramesText(count).c_str());
}

// portClosing: the port's last frames are being taken in, all of them now, and an
// episode still open is told before the port's closing is logged.
void DeliverReceivedFrames(bool portClosing) {
  static bool delivering = false;
  static bool wokenMeanwhile = false;
  if (delivering) {
    wokenMeanwhile = true;
    return;
  }
  delivering = true;
  const DWORD sliceStart = GetTickCount();
  do {
    wokenMeanwhile = false;
    uint32_t droppedBefore = 0;
    if (backlog.next == backlog.frames.size()) {
      backlog.next = 0;
      const uint32_t dropped = linkWiring.TakeReceived(&backlog.frames);
      const DropEpisode::Notice notice = dropEpisode.OnTake(dropped, GetTickCount());
      droppedBefore = notice.before;
      backlog.droppedAfter = notice.after;
      if (backlog.frames.empty() && notice.before == 0 && notice.after == 0) break;
    }
    // One batch, so the comms page redraws its log and texts once, not once per frame.
    commsPage.BeginFrames();
    LogDroppedFrames(droppedBefore);
    while (backlog.next < backlog.frames.size() &&
           (portClosing || GetTickCount() - sliceStart < kFrameSliceMs)) {
      const ReceivedFrame& f = backlog.frames[backlog.next++];
      configPage.OnFrame(f.bytes, f.length, f.tick);
      commsPage.OnFrame(f.bytes, f.length);
    }
    if (backlog.next == backlog.frames.size()) {
      LogDroppedFrames(backlog.droppedAfter);
      backlog.droppedAfter = 0;
    }
    commsPage.EndFrames();
    if (backlog.next < backlog.frames.size()) {
      PostMessageA(commsPage.pageWindow, kFramesReceivedMessage, 0, 0);
      break;
    }
  } while (wokenMeanwhile || portClosing);
  if (portClosing) LogDroppedFrames(dropEpisode.Finish());
  delivering = false;
}

// The wake-up for received frames can be lost: Wine's dialog loop drops the posted
// message it fetches after a dialog was ended by a sent message (EndDialog from a
// BM_CLICK sent by another program), and the queue then never empties, so no further
// wake-up is posted and the page stops taking frames in. A slow sweep takes in
// whatever still waits, and a device loss whose notice was dropped the same way; when
// nothing waits it costs one look at an empty queue and at the link's loss flag.
constexpr UINT_PTR kFrameSweepTimer = 1002;
constexpr UINT kFrameSweepMs = 250;

// Posted messages are fetched before input and painting: under a stream of frames
// faster than the page takes them in, a wake-up would always be waiting, and the user
// could not even choose "None". With input or painting waiting, the frames are left
// for a timer, which comes after both.
constexpr UINT_PTR kDeferredFramesTimer = 1003;

void OnFramesReceived(HWND page, WPARAM wParam) {
  if (wParam == kTakeFramesNow || HIWORD(GetQueueStatus(QS_INPUT | QS_PAINT)) == 0) {
    DeliverReceivedFrames(wParam == kTakeFramesNow);
  } else {
    SetTimer(page, kDeferredFramesTimer, USER_TIMER_MINIMUM, nullptr);
  }
}
}  // namespace

INT_PTR CALLBACK CommsPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetTimer(page, kFrameSweepTimer, kFrameSweepMs, nullptr);
      return commsPage.OnInitDialog(page);
    case WM_COMMAND:
      commsPage.OnCommand(page, wParam, lParam);
      return TRUE;
    case WM_TIMER:
      if (wParam == kFrameSweepTimer) {
        DeliverReceivedFrames(false);
        commsPage.CheckPortLost();
      } else if (wParam == kDeferredFramesTimer) {
        KillTimer(page, kDeferredFramesTimer);
        DeliverReceivedFrames(false);
      } else {
        commsPage.OnTimer(page, wParam);
      }
      return TRUE;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
      return reinterpret_cast<INT_PTR>(
          commsPage.OnCtlColor(page, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    case WM_NOTIFY:
      OnNotify(page, wParam, reinterpret_cast<const NMHDR*>(lParam));
      return TRUE;
    case WM_HELP:
      ShowHelp();
      return TRUE;
    case kFramesReceivedMessage:
      OnFramesReceived(page, wParam);
      return TRUE;
    case kDeviceLostMessage:
      commsPage.CheckPortLost();
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK ConfigPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return configPage.OnInitDialog(page);
    case WM_COMMAND:
      configPage.OnCommand(page, wParam, lParam);
      return TRUE;
    case WM_NOTIFY:
      OnNotify(page, wParam, reinterpret_cast<const NMHDR*>(lParam));
      return TRUE;
    case WM_HELP:
      ShowHelp();
      return TRUE;
    default:
      return FALSE;
  }
}

void ShowHelp() {
  char directory[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, directory, sizeof directory);
  directory[length < sizeof directory ? length : sizeof directory - 1] = '\0';
  if (char* lastBackslash = std::strrchr(directory, '\\')) *lastBackslash = '\0';
  const HINSTANCE result =
      ShellExecuteA(sheetWindow, "open", "VTL_K4ZVL.pdf", nullptr, directory, SW_SHOWNORMAL);
  if (reinterpret_cast<INT_PTR>(result) > 32) return;
  // Room for a 259-character directory and the rest of the text.
  char text[292];
  std::snprintf(text, sizeof text, "Failed to open %s\\VTL_K4ZVL.pdf", directory);
  MessageBoxA(sheetWindow, text, kMessageCaption, MB_OK | MB_ICONINFORMATION);
}
