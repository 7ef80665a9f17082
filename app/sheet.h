#pragma once
// The property sheet: its callback, the two page procedures that route each page's
// messages to its controller, and the notification handler both pages share.
#include <windows.h>

#include <cstdint>

int CALLBACK SheetCallback(HWND sheet, UINT message, LPARAM lParam);
INT_PTR CALLBACK CommsPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ConfigPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
void OnNotify(HWND page, UINT_PTR controlId, const NMHDR* header);
