// Entry point of VTL_K4ZVL.exe: the program's static objects and the property sheet
// whose modal loop is the program's main loop.
//
// The static objects are defined here, in one file, so that their order is fixed:
// linkWiring (what the serial link calls), then serialLink, commsPage and configPage.
// They are destroyed in the reverse order, serialLink after the pages.
#include <windows.h>
#include <commctrl.h>

#include <cstddef>

#include "app/link_wiring.h"
#include "app/resource.h"
#include "app/shell.h"
#include "app/sheet.h"
#include "comms/comms_page.h"
#include "config/config_page.h"

// The comms page's window exists from the start of the sheet to its end.
LinkWiring linkWiring(commsPage, sheetWindow);
FrameCodec serialLink(&linkWiring);
CommsPage commsPage;
ConfigPage configPage;

HINSTANCE appInstance = nullptr;
HWND sheetWindow = nullptr;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  appInstance = instance;

  // The pages in the form with header title and subtitle, the sheet in the form with
  // the watermark and header fields. On x86_64 these are larger than the 32-bit 48 and
  // 52 bytes; the sheet walks the page array by each record's dwSize, so the records'
  // type and their dwSize must agree. The 32-bit build holds the sizes literally.
  static_assert(sizeof(void*) != 4 || sizeof(PROPSHEETPAGEA_V2) == 48, "32-bit page record is 48 bytes");
  static_assert(sizeof(void*) != 4 || sizeof(PROPSHEETHEADERA) == 52, "32-bit sheet header is 52 bytes");
  PROPSHEETPAGEA_V2 pages[2] = {};
  pages[0].dwSize = sizeof(PROPSHEETPAGEA_V2);
  pages[0].dwFlags = PSP_HASHELP | PSP_PREMATURE;
  pages[0].hInstance = instance;
  pages[0].pszTemplate = MAKEINTRESOURCEA(IDD_COMMS_PAGE);
  pages[0].pfnDlgProc = CommsPageProc;
  pages[0].lParam = 0;
  pages[1].dwSize = sizeof(PROPSHEETPAGEA_V2);
  pages[1].dwFlags = PSP_HASHELP;
  pages[1].hInstance = instance;
  pages[1].pszTemplate = MAKEINTRESOURCEA(IDD_CONFIG_PAGE);
  pages[1].pfnDlgProc = ConfigPageProc;
  pages[1].lParam = 0;

  // MinGW's header type is the V2 form already: it ends with the header-bitmap field.
  // (Its _V2_SIZE macros do not compile in C++, hence offsetof.)
  static_assert(offsetof(PROPSHEETHEADERA, hbmHeader) + sizeof(HBITMAP) == sizeof(PROPSHEETHEADERA),
                "the sheet header is the V2 form");
  PROPSHEETHEADERA header = {};
  header.dwSize = sizeof(PROPSHEETHEADERA);
  header.dwFlags = PSH_USEICONID | PSH_PROPSHEETPAGE | PSH_NOAPPLYNOW | PSH_USECALLBACK;
  header.hwndParent = GetDesktopWindow();
  header.hInstance = instance;
  header.pszIcon = MAKEINTRESOURCEA(IDI_APP_ICON);
  header.pszCaption = "Vantrel (K4 to ZVL)";
  header.nPages = 2;
  header.nStartPage = 0;
  header.ppsp = reinterpret_cast<LPCPROPSHEETPAGEA>(pages);
  header.pfnCallback = SheetCallback;

  const INT_PTR result = PropertySheetA(&header);

  // Close the port now, while the pages still exist: the reader thread reads the
  // comms page's answering setting, and the pages are destroyed before serialLink.
  serialLink.ClosePort();
  return static_cast<int>(result);
}
