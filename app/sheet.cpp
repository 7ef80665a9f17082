#include "app/sheet.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "app/dialog_template.h"
#include "app/frame_delivery.h"
#include "app/link_wiring.h"
#include "app/shell.h"
#include "comms/comms_page.h"
#include "config/config_page.h"
#include "platform/wide_text.h"

namespace {
// DS_CENTER centres the sheet at the size of its own template; Wine's sheet then grows
// to fit the pages without moving (SWP_NOMOVE), which leaves it well below the middle.
// By PSCB_INITIALIZED the sheet has its final size, so it is centred again here; where
// DS_CENTER already did it this moves nothing (tests/e2e/test_shell.py,
// test_centred_on_the_screen, shows both).
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

FrameDelivery frameDelivery(linkWiring, commsPage, &configPage);

namespace {
// What both pages answer alike: the sheet's Help button and F1.
BOOL OnHelpMessage(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
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
}  // namespace

INT_PTR CALLBACK CommsPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      frameDelivery.Start(page);
      return commsPage.OnInitDialog(page);
    case WM_COMMAND:
      commsPage.OnCommand(page, wParam, lParam);
      return TRUE;
    case WM_TIMER:
      if (!frameDelivery.OnTimer(wParam)) commsPage.OnTimer(page, wParam);
      return TRUE;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
      return reinterpret_cast<INT_PTR>(
          commsPage.OnCtlColor(page, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    case kFramesReceivedMessage:
      frameDelivery.OnFramesReceived();
      return TRUE;
    case kDeviceLostMessage:
      commsPage.CheckPortLost();
      return TRUE;
    default:
      return OnHelpMessage(page, message, wParam, lParam);
  }
}

INT_PTR CALLBACK ConfigPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return configPage.OnInitDialog(page);
    case WM_COMMAND:
      configPage.OnCommand(page, wParam, lParam);
      return TRUE;
    default:
      return OnHelpMessage(page, message, wParam, lParam);
  }
}

void ShowHelp() {
  // The wide calls: the exe's folder may have a name outside the ANSI code page, which
  // GetModuleFileNameA would give with '?' in its place.
  wchar_t directory[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, directory, MAX_PATH);
  directory[length < MAX_PATH ? length : MAX_PATH - 1] = L'\0';
  if (wchar_t* lastBackslash = std::wcsrchr(directory, L'\\')) *lastBackslash = L'\0';
  const HINSTANCE result =
      ShellExecuteW(sheetWindow, L"open", L"VTL_K4ZVL.pdf", nullptr, directory, SW_SHOWNORMAL);
  if (reinterpret_cast<INT_PTR>(result) > 32) return;
  const std::string text = "Failed to open " + Narrow(directory) + "\\VTL_K4ZVL.pdf";
  MessageBoxW(sheetWindow, Widen(text).c_str(), Widen(kMessageCaption).c_str(),
              MB_OK | MB_ICONINFORMATION);
}
