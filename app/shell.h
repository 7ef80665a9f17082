#pragma once
// What the application shell offers the pages: the program's instance, the sheet
// window, the one serial link, and help.
//
// Threads: appInstance and sheetWindow are written once on the user-interface thread
// (appInstance first thing in WinMain, sheetWindow when the sheet has initialised),
// both before any port can be opened, and only read afterwards.
#include <windows.h>

#include "link/frame_codec.h"

// The caption of every message box the tool shows but the debug box.
constexpr const char kMessageCaption[] = "Vantrel - Config K4-ZVL";

extern HINSTANCE appInstance;
extern HWND sheetWindow;
extern FrameCodec serialLink;

// Opens VTL_K4ZVL.pdf from the executable's directory, or says it could not.
void ShowHelp();
