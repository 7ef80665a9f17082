#pragma once
// The Set indications dialog (templates 103 and 106): one push-like box per
// indication. A click takes effect at once - the bit changes in the page's
// indications, the "Indications" text is redrawn and the packet is sent - so the
// dialog keeps no indication state of its own. Enter (IDOK) rebuilds the bytes from the
// boxes and ends with 1; "Done", Esc and the close box (IDCANCEL) end with 2.
#include <windows.h>

class CommsPage;

// The control ID of the box of indication n is indicationBoxIds[n - 1].
extern const int indicationBoxIds[64];

// The page the open dialog edits; set from the creation parameter at WM_INITDIALOG.
extern CommsPage* indicationsTarget;

INT_PTR CALLBACK IndicationsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
