// Stand-in for the "K4 Config" page until its controller lands: it records its window
// and otherwise does nothing, so the sheet can be built and shown.
#include "config/config_page.h"

BOOL ConfigPage::OnInitDialog(HWND page) {
  pageWindow = page;
  return TRUE;
}

void ConfigPage::OnCommand(HWND, WPARAM, LPARAM) {}

void ConfigPage::OnFrame(const uint8_t*, uint8_t, uint32_t) {}
