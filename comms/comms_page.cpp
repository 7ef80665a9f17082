#include "comms/comms_page.h"

BOOL CommsPage::OnInitDialog(HWND page) {
  pageWindow = page;
  return TRUE;
}
void CommsPage::OnCommand(HWND, WPARAM, LPARAM) {}
BOOL CommsPage::OnTimer(HWND, UINT_PTR) { return TRUE; }
HBRUSH CommsPage::OnCtlColor(HWND, HDC, HWND) { return nullptr; }
void CommsPage::OnFrame(const uint8_t*, uint8_t) {}
